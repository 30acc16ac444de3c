#include "model/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <utility>

#include "model/file_system.h"
#include "native/errors.h"

namespace ombrel {
namespace {

constexpr mode_t FILE_MODE = 0664;

}  // namespace

file::file(file&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

file& file::operator=(file&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

file file::open(const std::filesystem::path& path, int flags) {
  const int fd = file_system::get().open(path, flags | O_CLOEXEC, FILE_MODE);
  if (fd < 0) {
    const int err = errno;
    std::string name = path.string();
    errno = err;  // the message reads errno; building the name must not disturb it
    throw errors::system_error(name);
  }
  return file(fd, path);
}

void file::fail(const char* operation) const {
  const int err = errno;
  std::string message = std::string("Failed to ") + operation + " " + path_.string();
  errno = err;
  throw errors::system_error(message);
}

file file::create(const std::filesystem::path& path) {
  return open(path, O_WRONLY | O_CREAT | O_EXCL);
}

file file::for_reading(const std::filesystem::path& path) { return open(path, O_RDONLY); }

file file::for_writing(const std::filesystem::path& path) {
  return open(path, O_WRONLY | O_CREAT | O_TRUNC);
}

file file::for_directory(const std::filesystem::path& path) {
  return open(path, O_RDONLY | O_DIRECTORY);
}

bool file::try_lock_exclusive() {
  if (file_system::get().flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
  if (errno == EWOULDBLOCK) return false;
  fail("lock");
}

void file::close() noexcept {
  if (fd_ >= 0) {
    // The descriptor is released even when close reports an error, and what was written is
    // durable only through sync: nothing is left to act on.
    file_system::get().close(fd_);
    fd_ = -1;
  }
}

void file::sync() {
  if (file_system::get().fsync(fd_) != 0) fail("sync");
}

uint64_t file::size() const {
  struct stat st {};
  if (file_system::get().fstat(fd_, &st) != 0) fail("stat");
  return static_cast<uint64_t>(st.st_size);
}

size_t file::read_some(uint64_t offset, std::byte* buffer, size_t n) const {
  file_system& fs = file_system::get();
  size_t done = 0;
  while (done < n) {
    const ssize_t got = fs.pread(fd_, buffer + done, n - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      fail("read");
    }
    if (got == 0) break;  // end of file
    done += static_cast<size_t>(got);
  }
  return done;
}

void file::read(uint64_t offset, void* buffer, size_t n) const {
  if (read_some(offset, static_cast<std::byte*>(buffer), n) != n) {
    throw errors::error("unexpected end of file");
  }
}

std::string file::read_as_string() const {
  std::string result(size(), '\0');
  result.resize(read_some(0, reinterpret_cast<std::byte*>(result.data()), result.size()));
  return result;
}

std::vector<std::byte> file::read_as_bytes() const { return read_as_bytes(0, size()); }

std::vector<std::byte> file::read_as_bytes(uint64_t offset, size_t n) const {
  std::vector<std::byte> result(n);
  result.resize(read_some(offset, result.data(), n));
  return result;
}

void file::write(const void* buffer, size_t n) {
  file_system& fs = file_system::get();
  const auto* p = static_cast<const std::byte*>(buffer);
  while (n > 0) {
    const ssize_t put = fs.write(fd_, p, n);
    if (put < 0) {
      if (errno == EINTR) continue;
      fail("write");
    }
    if (put == 0) {
      errno = EIO;  // no progress on a regular file: do not spin
      fail("write");
    }
    p += put;
    n -= static_cast<size_t>(put);
  }
}

}  // namespace ombrel
