#pragma once
// Owner of one POSIX file descriptor with positional, all-or-error reads and whole writes, made
// through file_system::get(). No lock: reads use pread and leave the file position alone, so
// threads may read concurrently; write, sync, close and moves need external exclusion.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace ombrel {

// Failed system calls raise errors::system_error naming the path; the open operations' message
// is the path alone.
class file {
 public:
  file() noexcept = default;  // closed
  file(const file&) = delete;
  file& operator=(const file&) = delete;
  file(file&& other) noexcept;
  file& operator=(file&& other) noexcept;
  ~file() { close(); }

  // New file, write-only; fails if the path exists. Permissions 0664.
  static file create(const std::filesystem::path& path);
  static file for_reading(const std::filesystem::path& path);
  // Write-only, created or truncated. Permissions 0664.
  static file for_writing(const std::filesystem::path& path);
  // A directory, read-only: for syncing or locking it.
  static file for_directory(const std::filesystem::path& path);

  // Idempotent; errors from close are ignored.
  void close() noexcept;
  // Makes the written contents durable; errors::system_error "Failed to sync <path>".
  void sync();
  uint64_t size() const;
  // An exclusive flock, not waiting: false when another open of the file holds one (in this
  // process or another). Held until the file is closed.
  bool try_lock_exclusive();

  // Exactly n bytes at offset; errors::error "unexpected end of file" when the file is shorter.
  void read(uint64_t offset, void* buffer, size_t n) const;
  // The whole file.
  std::string read_as_string() const;
  std::vector<std::byte> read_as_bytes() const;
  // Up to n bytes at offset, fewer when the file ends first.
  std::vector<std::byte> read_as_bytes(uint64_t offset, size_t n) const;
  // All n bytes at the current position.
  void write(const void* buffer, size_t n);

  int descriptor() const noexcept { return fd_; }
  // The path the file was opened with; empty when never opened.
  const std::filesystem::path& path() const noexcept { return path_; }
  bool is_open() const noexcept { return fd_ >= 0; }

 private:
  file(int fd, std::filesystem::path path) noexcept : fd_(fd), path_(std::move(path)) {}
  static file open(const std::filesystem::path& path, int flags);
  // Reads until n bytes or end of file; returns the count read.
  size_t read_some(uint64_t offset, std::byte* buffer, size_t n) const;

  // Reports errno as a failure to `operation` this file.
  [[noreturn]] void fail(const char* operation) const;

  int fd_ = -1;
  std::filesystem::path path_;
};

}  // namespace ombrel
