#include "model/file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "native/errors.h"
#include "tests/support/test_dir.h"

namespace ombrel {
namespace {

void write_text(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string as_string(const std::vector<std::byte>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

TEST(FileTest, OpenFailuresAreSystemErrorsNamingThePath) {
  testing::test_dir dir;
  const auto existing = dir / "existing";
  write_text(existing, "x");
  const struct {
    std::function<file()> open;
    std::filesystem::path path;
    int err;
  } cases[] = {
      {[&] { return file::create(existing); }, existing, EEXIST},
      {[&] { return file::for_reading(dir / "missing"); }, dir / "missing", ENOENT},
      {[&] { return file::for_writing(dir / "no" / "dir"); }, dir / "no" / "dir", ENOENT},
  };
  for (const auto& c : cases) {
    try {
      c.open();
      ADD_FAILURE() << "opened " << c.path;
    } catch (const errors::system_error& e) {
      EXPECT_EQ(std::string(e.what()), c.path.string() + ": " + std::strerror(c.err));
      EXPECT_EQ(e.code().value(), c.err);
    }
  }
}

TEST(FileTest, WriteThenReadBackAndTruncate) {
  testing::test_dir dir;
  const auto path = dir / "data";
  std::string text;
  for (int i = 0; i < 100000; ++i) text += static_cast<char>('a' + i % 26);
  {
    file f = file::create(path);
    f.write(text.data(), 10);
    f.write(text.data() + 10, text.size() - 10);  // continues at the current position
    f.sync();
  }
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0664u & ~mask);

  const file f = file::for_reading(path);
  EXPECT_EQ(f.size(), text.size());
  EXPECT_EQ(f.read_as_string(), text);
  EXPECT_EQ(as_string(f.read_as_bytes()), text);
  char middle[5];
  f.read(26 * 3 + 2, middle, 5);
  EXPECT_EQ(std::string(middle, 5), "cdefg");

  // for_writing truncates an existing file and creates a missing one.
  {
    file w = file::for_writing(path);
    EXPECT_EQ(w.size(), 0u);
    w.write("new", 3);
  }
  EXPECT_EQ(file::for_reading(path).read_as_string(), "new");
  file::for_writing(dir / "fresh");
  EXPECT_TRUE(std::filesystem::exists(dir / "fresh"));
}

TEST(FileTest, ReadsNearTheEnd) {
  testing::test_dir dir;
  const auto path = dir / "data";
  write_text(path, "0123456789");
  const file f = file::for_reading(path);
  char buffer[16];
  const struct {
    uint64_t offset;
    size_t n;
    std::string tail;  // what read_as_bytes returns
    bool read_fails;
  } cases[] = {
      {0, 10, "0123456789", false}, {8, 2, "89", false}, {8, 5, "89", true},
      {10, 0, "", false},           {10, 1, "", true},   {50, 3, "", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(as_string(f.read_as_bytes(c.offset, c.n)), c.tail) << c.offset << "+" << c.n;
    if (c.read_fails) {
      try {
        f.read(c.offset, buffer, c.n);
        ADD_FAILURE() << "read past end " << c.offset << "+" << c.n;
      } catch (const errors::system_error&) {
        ADD_FAILURE() << "end of file is not a system error";
      } catch (const errors::error& e) {
        EXPECT_STREQ(e.what(), "unexpected end of file");
      }
    } else {
      f.read(c.offset, buffer, c.n);
      EXPECT_EQ(std::string(buffer, c.n), c.tail);
    }
  }
}

TEST(FileTest, CloseIsIdempotentMoveTransfersOwnershipAndEmptyTransfersNeedNoDescriptor) {
  testing::test_dir dir;
  file a = file::create(dir / "data");
  const int fd = a.descriptor();
  file b = std::move(a);
  EXPECT_FALSE(a.is_open());
  EXPECT_EQ(b.descriptor(), fd);
  b.write("abc", 3);
  b.close();
  b.close();
  EXPECT_EQ(b.descriptor(), -1);
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);  // really closed
  // Empty transfers make no system call, which on a closed descriptor would fail with EBADF.
  char buffer[1];
  EXPECT_NO_THROW(b.read(0, buffer, 0));
  EXPECT_NO_THROW(b.write(buffer, 0));
  EXPECT_TRUE(b.read_as_bytes(7, 0).empty());
  EXPECT_THROW(b.read(0, buffer, 1), errors::system_error);
  EXPECT_THROW(b.write(buffer, 1), errors::system_error);
  EXPECT_THROW(b.size(), errors::system_error);
  EXPECT_THROW(b.sync(), errors::system_error);
  file c = file::for_reading(dir / "data");
  c = file::for_reading(dir / "data");
  EXPECT_EQ(c.read_as_string(), "abc");
}

TEST(FileTest, ConcurrentReadersSeeTheirOwnRanges) {
  testing::test_dir dir;
  std::vector<uint32_t> values(1 << 16);
  for (uint32_t i = 0; i < values.size(); ++i) values[i] = i * 2654435761u;
  file::for_writing(dir / "data").write(values.data(), values.size() * sizeof(uint32_t));
  const file f = file::for_reading(dir / "data");
  std::vector<std::thread> readers;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&, t] {
      for (uint32_t i = t; i < values.size(); i += 4 * 97) {
        uint32_t v = 0;
        f.read(uint64_t{i} * sizeof(v), &v, sizeof(v));
        mismatches[t] += v != values[i];
      }
    });
  }
  for (auto& r : readers) r.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace ombrel
