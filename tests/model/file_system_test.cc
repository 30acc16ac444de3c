#include "model/file_system.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "model/file.h"
#include "native/errors.h"
#include "tests/support/fault_file_system.h"
#include "tests/support/test_dir.h"

namespace ombrel {
namespace {

using testing::fault_file_system;
using testing::fs_op;

void write_text(const std::filesystem::path& path, const std::string& text) {
  file f = file::for_writing(path);
  f.write(text.data(), text.size());
}

void write_synced(const std::filesystem::path& path, const std::string& text) {
  file f = file::create(path);
  f.write(text.data(), text.size());
  f.sync();
}

std::string read_text(const std::filesystem::path& path) {
  return file::for_reading(path).read_as_string();
}

std::vector<std::string> names_in(const std::filesystem::path& path) {
  std::vector<std::string> names;
  for (const dir_entry& e : files::list_directory(path))
    names.push_back(e.path.filename().string());
  return names;
}

std::span<const std::byte> bytes_of(const std::string& text) {
  return std::as_bytes(std::span(text.data(), text.size()));
}

TEST(FileSystemTest, HelpersReportFailedCallsNamingThePaths) {
  testing::test_dir dir;
  const auto first = dir / "first.dat";
  const auto second = dir / "second.dat";
  write_text(first, "x");
  fault_file_system fs;
  scoped_file_system installed(fs);
  const std::string eio = std::strerror(EIO);
  const struct {
    fs_op op;
    std::function<void()> call;
    std::string message;  // whole, or only the path the message must contain
  } cases[] = {
      {fs_op::rename, [&] { files::rename(first, second); },
       "Failed to rename " + first.string() + " to " + second.string() + ": " + eio},
      {fs_op::fsync, [&] { files::sync_directory(dir.path()); },
       "Failed to sync " + dir.path().string() + ": " + eio},
      {fs_op::stat, [&] { files::exists(first); }, first.string()},
      {fs_op::stat, [&] { files::is_directory(first); }, first.string()},
      {fs_op::mkdir, [&] { files::create_directory(dir / "d"); }, (dir / "d").string()},
      {fs_op::mkdir, [&] { files::create_directories(dir / "p" / "q"); }, (dir / "p").string()},
      {fs_op::link, [&] { files::link(first, second); }, second.string()},
      {fs_op::unlink, [&] { files::remove(first); }, first.string()},
      {fs_op::unlink, [&] { files::remove_all(first); }, first.string()},
      {fs_op::list, [&] { files::list_directory(dir.path()); }, dir.path().string()},
      {fs_op::fsync, [&] { file::for_reading(first).sync(); }, "Failed to sync " + first.string()},
      {fs_op::pread, [&] { read_text(first); }, "Failed to read " + first.string()},
      {fs_op::write, [&] { write_text(second, "y"); }, "Failed to write " + second.string()},
  };
  for (const auto& c : cases) {
    fs.fail_nth(c.op, 0, EIO);
    try {
      c.call();
      ADD_FAILURE() << "no error for " << c.message;
    } catch (const errors::system_error& e) {
      const std::string message = e.what();
      if (c.message.ends_with(eio)) {
        EXPECT_EQ(message, c.message);
      } else {
        EXPECT_NE(message.find(c.message), std::string::npos) << message;
      }
      EXPECT_EQ(e.code().value(), EIO) << message;
    }
    fs.clear_faults();
  }

  // A failed replacement leaves the target as it was and no temporary behind.
  fs.fail_matching(fs_op::fsync, "first.tmp", ENOSPC);
  EXPECT_THROW(files::replace_file(first, dir / "first.tmp", bytes_of("new")),
               errors::system_error);
  EXPECT_EQ(read_text(first), "x");
  EXPECT_FALSE(files::exists(dir / "first.tmp"));
}

TEST(FileSystemTest, FaultsCountCallsFromNowAndMatchOpenedPaths) {
  testing::test_dir dir;
  const auto first = dir / "first.dat";
  const auto second = dir / "second.dat";
  write_text(first, "1");
  write_text(second, "2");
  fault_file_system fs;
  scoped_file_system installed(fs);
  EXPECT_TRUE(files::exists(first));
  EXPECT_TRUE(files::exists(first));
  fs.fail_nth(fs_op::stat, 1, EACCES);  // the second call from now, once
  EXPECT_TRUE(files::exists(first));
  EXPECT_THROW(files::exists(first), errors::system_error);
  EXPECT_TRUE(files::exists(first));
  EXPECT_EQ(fs.count(fs_op::stat), 5u);
  EXPECT_EQ(fs.count(fs_op::open), 0u);
  fs.reset_counts();
  EXPECT_EQ(fs.count(fs_op::stat), 0u);

  // Descriptor calls match the path the descriptor was opened with.
  fs.fail_matching(fs_op::pread, "second.dat", EIO);
  fs.fail_matching(fs_op::open, "first.dat", ENOENT, false);
  EXPECT_THROW(read_text(first), errors::system_error);
  EXPECT_EQ(read_text(first), "1");
  EXPECT_THROW(read_text(second), errors::system_error);
  EXPECT_THROW(read_text(second), errors::system_error);
  EXPECT_EQ(fs.count(fs_op::open), 4u);
  EXPECT_EQ(fs.count(fs_op::close), 3u);
  fs.clear_faults();
  EXPECT_EQ(read_text(second), "2");
}

TEST(FileSystemTest, PowerLossKeepsOnlyWhatWasSynced) {
  testing::test_dir dir;
  const auto d = dir / "t";
  std::filesystem::create_directories(d);
  std::ofstream(d / "replaced") << "old";  // before the layer: durable
  fault_file_system fs;
  scoped_file_system installed(fs);

  write_synced(d / "kept", "kept");
  {
    file f = file::create(d / "partial");
    f.write("abc", 3);
    f.sync();
    f.write("def", 3);
  }
  write_text(d / "unsynced", "lost");
  files::sync_directory(d);
  // New names after the directory's last sync.
  write_synced(d / "late", "late");
  files::create_directories(d / "sub");
  write_synced(d / "sub" / "inner", "inner");
  files::sync_directory(d / "sub");
  files::link(d / "kept", d / "kept_link");
  write_synced(d / "replaced_tmp", "new");
  files::rename(d / "replaced_tmp", d / "replaced");

  fs.simulate_power_loss();
  EXPECT_EQ(names_in(d), (std::vector<std::string>{"kept", "partial", "replaced", "unsynced"}));
  EXPECT_EQ(read_text(d / "kept"), "kept");
  EXPECT_EQ(read_text(d / "partial"), "abc");
  EXPECT_EQ(read_text(d / "unsynced"), "");
  EXPECT_EQ(read_text(d / "replaced"), "old");

  // A whole replacement lasts; the power loss before it does not count again.
  files::replace_file(d / "replaced", d / "replaced_tmp", bytes_of("v2"));
  fs.simulate_power_loss();
  EXPECT_EQ(names_in(d), (std::vector<std::string>{"kept", "partial", "replaced", "unsynced"}));
  EXPECT_EQ(read_text(d / "replaced"), "v2");
}

}  // namespace
}  // namespace ombrel
