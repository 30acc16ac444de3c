#include "model/file_system.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "model/file.h"
#include "native/errors.h"

namespace ombrel::files {
namespace fs = std::filesystem;
namespace {
[[noreturn]] void fail(const std::string& what, const std::error_code& ec) {
  errno = ec.value();
  throw errors::system_error(what);
}
}  // namespace

bool exists(const fs::path& path) {
  std::error_code ec;
  bool r = fs::exists(path, ec);
  if (ec) fail("Failed to stat " + path.string(), ec);
  return r;
}
bool is_directory(const fs::path& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}
void create_directory(const fs::path& path) {
  if (::mkdir(path.c_str(), 0775) != 0) throw errors::system_error("Failed to create directory " + path.string());
}
void create_directories(const fs::path& path) {
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec) fail("Failed to create directory " + path.string(), ec);
}
void rename(const fs::path& from, const fs::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0)
    throw errors::system_error("Failed to rename " + from.string() + " to " + to.string());
}
void link(const fs::path& from, const fs::path& to) {
  if (::link(from.c_str(), to.c_str()) != 0)
    throw errors::system_error("Failed to link " + from.string() + " to " + to.string());
}
bool remove(const fs::path& path) {
  std::error_code ec;
  bool r = fs::remove(path, ec);
  if (ec) fail("Failed to remove " + path.string(), ec);
  return r;
}
uint64_t remove_all(const fs::path& path) {
  std::error_code ec;
  auto r = fs::remove_all(path, ec);
  if (ec) fail("Failed to remove " + path.string(), ec);
  return r;
}
std::vector<dir_entry> list_directory(const fs::path& path) {
  std::vector<dir_entry> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(path, ec)) {
    std::error_code ignored;
    out.push_back({e.path(), e.is_directory(ignored)});
  }
  if (ec) fail("Failed to list " + path.string(), ec);
  std::sort(out.begin(), out.end(), [](auto& a, auto& b) { return a.path < b.path; });
  return out;
}
void sync_directory(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throw errors::system_error("Failed to open directory " + path.string());
  const int r = ::fsync(fd);
  const int err = errno;
  ::close(fd);
  if (r != 0) {
    errno = err;
    throw errors::system_error("Failed to sync " + path.string());
  }
}
void replace_file(const fs::path& target, const fs::path& temporary,
                  std::span<const std::byte> bytes) {
  file f = file::for_writing(temporary);
  f.write(bytes.data(), bytes.size());
  if (f.sync() != 0) throw errors::system_error("Failed to sync " + temporary.string());
  f.close();
  files::rename(temporary, target);
  sync_directory(target.parent_path());
}
}  // namespace ombrel::files
