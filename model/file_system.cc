#include "model/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "model/file.h"
#include "native/errors.h"
#include "native/log.h"

namespace ombrel {
namespace {

constexpr mode_t DIRECTORY_MODE = 0775;
constexpr size_t COPY_CHUNK = size_t{1} << 20;

// Null while the real layer is in place: constant-initialised, so usable from static objects.
std::atomic<file_system*> installed{nullptr};

file_system& real_file_system() {
  static file_system real;
  return real;
}

// errno is read when the error is constructed: building the message must not disturb it.
[[noreturn]] void fail(const std::string& operation, const std::filesystem::path& path) {
  const int err = errno;
  std::string message = "Failed to " + operation + " " + path.string();
  errno = err;
  throw errors::system_error(message);
}

[[noreturn]] void fail(const std::string& operation, const std::filesystem::path& from,
                       const std::filesystem::path& to) {
  const int err = errno;
  std::string message = "Failed to " + operation + " " + from.string() + " to " + to.string();
  errno = err;
  throw errors::system_error(message);
}

}  // namespace

// ---- file_system: the real calls ----

int file_system::open(const std::filesystem::path& path, int flags, mode_t mode) {
  return ::open(path.c_str(), flags, mode);
}

int file_system::close(int fd) { return ::close(fd); }

ssize_t file_system::pread(int fd, void* buffer, size_t n, off_t offset) {
  return ::pread(fd, buffer, n, offset);
}

ssize_t file_system::write(int fd, const void* buffer, size_t n) { return ::write(fd, buffer, n); }

int file_system::fsync(int fd) { return ::fsync(fd); }

int file_system::fstat(int fd, struct stat* st) { return ::fstat(fd, st); }

int file_system::stat(const std::filesystem::path& path, struct stat* st) {
  return ::stat(path.c_str(), st);
}

int file_system::rename(const std::filesystem::path& from, const std::filesystem::path& to) {
  return ::rename(from.c_str(), to.c_str());
}

int file_system::link(const std::filesystem::path& from, const std::filesystem::path& to) {
  return ::link(from.c_str(), to.c_str());
}

int file_system::unlink(const std::filesystem::path& path) { return ::unlink(path.c_str()); }

int file_system::mkdir(const std::filesystem::path& path, mode_t mode) {
  return ::mkdir(path.c_str(), mode);
}

int file_system::rmdir(const std::filesystem::path& path) { return ::rmdir(path.c_str()); }

int file_system::flock(int fd, int operation) { return ::flock(fd, operation); }

int file_system::list(const std::filesystem::path& path, std::vector<dir_entry>& out) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return -1;
  int result = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) result = -1;
      break;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    bool is_directory = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
      struct stat st {};
      // A dangling link is listed as a non-directory.
      is_directory = ::fstatat(::dirfd(dir), entry->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
    }
    out.push_back({path / name, is_directory});
  }
  const int err = errno;
  ::closedir(dir);
  errno = err;
  return result;
}

file_system& file_system::get() {
  file_system* fs = installed.load(std::memory_order_acquire);
  return fs != nullptr ? *fs : real_file_system();
}

file_system* file_system::install(file_system* fs) {
  file_system* previous = installed.exchange(fs, std::memory_order_acq_rel);
  return previous != nullptr ? previous : &real_file_system();
}

// ---- files ----

namespace files {

bool exists(const std::filesystem::path& path) {
  struct stat st {};
  if (file_system::get().stat(path, &st) == 0) return true;
  if (errno == ENOENT || errno == ENOTDIR) return false;
  fail("stat", path);
}

bool is_directory(const std::filesystem::path& path) {
  struct stat st {};
  if (file_system::get().stat(path, &st) == 0) return S_ISDIR(st.st_mode);
  if (errno == ENOENT || errno == ENOTDIR) return false;
  fail("stat", path);
}

void create_directory(const std::filesystem::path& path) {
  if (file_system::get().mkdir(path, DIRECTORY_MODE) != 0) fail("create directory", path);
}

void create_directories(const std::filesystem::path& path) {
  if (path.empty() || files::is_directory(path)) return;
  const std::filesystem::path parent = path.parent_path();
  if (parent != path) files::create_directories(parent);
  if (file_system::get().mkdir(path, DIRECTORY_MODE) == 0) return;
  const int err = errno;
  if (err == EEXIST && files::is_directory(path)) return;  // another creator came first
  errno = err;
  fail("create directory", path);
}

void rename(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (file_system::get().rename(from, to) != 0) fail("rename", from, to);
}

void link(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (file_system::get().link(from, to) != 0) fail("link", from, to);
}

bool remove(const std::filesystem::path& path) {
  file_system& fs = file_system::get();
  if (fs.unlink(path) == 0) return true;
  // Linux refuses directories with EISDIR, POSIX allows EPERM.
  if (errno == EISDIR || errno == EPERM) {
    const int unlink_error = errno;
    if (fs.rmdir(path) == 0) return true;
    if (errno == ENOTDIR) errno = unlink_error;  // not a directory after all: report the unlink
  }
  if (errno == ENOENT) return false;
  fail("remove", path);
}

uint64_t remove_all(const std::filesystem::path& path) {
  file_system& fs = file_system::get();
  // Unlinking first never follows a symbolic link into the directory it names.
  if (fs.unlink(path) == 0) return 1;
  if (errno == ENOENT) return 0;
  if (errno != EISDIR && errno != EPERM) fail("remove", path);
  uint64_t count = 0;
  std::vector<dir_entry> entries;
  if (fs.list(path, entries) != 0) {
    if (errno == ENOENT) return 0;
    fail("list", path);
  }
  for (const dir_entry& entry : entries) count += files::remove_all(entry.path);
  if (fs.rmdir(path) != 0) {
    if (errno == ENOENT) return count;
    fail("remove", path);
  }
  return count + 1;
}

std::vector<dir_entry> list_directory(const std::filesystem::path& path) {
  std::vector<dir_entry> entries;
  if (file_system::get().list(path, entries) != 0) fail("list", path);
  std::sort(entries.begin(), entries.end(), [](const dir_entry& a, const dir_entry& b) {
    return a.path.filename() < b.path.filename();
  });
  return entries;
}

void sync_directory(const std::filesystem::path& path) {
  file_system& fs = file_system::get();
  const int fd = fs.open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) fail("open directory", path);
  const int result = fs.fsync(fd);
  const int err = errno;
  fs.close(fd);  // a read-only directory descriptor has nothing left to report
  errno = err;
  if (result != 0) fail("sync", path);
}

void replace_file(const std::filesystem::path& target, const std::filesystem::path& temporary,
                  std::span<const std::byte> bytes) {
  try {
    file out = file::for_writing(temporary);
    out.write(bytes.data(), bytes.size());
    out.sync();
  } catch (...) {
    // The temporary name is ours: leave nothing half-written behind.
    try {
      files::remove(temporary);
    } catch (const errors::error& e) {
      logging::detail::log(logging::level::error, "{}", errors::describe(e));
    }
    throw;
  }
  files::rename(temporary, target);
  const std::filesystem::path parent = target.parent_path();
  files::sync_directory(parent.empty() ? std::filesystem::path(".") : parent);
}

void copy_directory(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (!files::is_directory(to)) files::create_directory(to);
  std::vector<std::byte> chunk;
  for (const dir_entry& entry : files::list_directory(from)) {
    const std::filesystem::path target = to / entry.path.filename();
    if (entry.is_directory) {
      files::create_directory(target);
      continue;
    }
    const file in = file::for_reading(entry.path);
    file out = file::create(target);
    for (uint64_t offset = 0;; offset += chunk.size()) {
      chunk = in.read_as_bytes(offset, COPY_CHUNK);
      if (chunk.empty()) break;
      out.write(chunk.data(), chunk.size());
    }
    out.sync();
  }
  files::sync_directory(to);
}

}  // namespace files
}  // namespace ombrel
