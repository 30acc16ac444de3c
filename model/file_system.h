#pragma once
// The one door of the storage path to the disk. The engine makes every file system call through
// file_system::get(), so that a test can install a layer that fails chosen calls or forgets what
// was not synced. The real layer is stateless and thread-safe; installing is an atomic swap and
// the caller keeps ownership of what it installs. The files:: helpers turn the raw calls into
// throwing operations.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

namespace ombrel {

struct dir_entry {
  std::filesystem::path path;  // directory / name
  bool is_directory = false;   // follows symbolic links
};

// The raw calls of the storage path, POSIX conventions: -1 with errno set on failure. No call
// retries on EINTR. The base class is the real layer: overrides call it to reach the disk.
class file_system {
 public:
  virtual ~file_system() = default;
  virtual int open(const std::filesystem::path& path, int flags, mode_t mode);
  virtual int close(int fd);
  virtual ssize_t pread(int fd, void* buffer, size_t n, off_t offset);
  virtual ssize_t write(int fd, const void* buffer, size_t n);
  virtual int fsync(int fd);
  virtual int fstat(int fd, struct stat* st);
  virtual int stat(const std::filesystem::path& path, struct stat* st);
  virtual int rename(const std::filesystem::path& from, const std::filesystem::path& to);
  virtual int link(const std::filesystem::path& from, const std::filesystem::path& to);
  virtual int unlink(const std::filesystem::path& path);
  virtual int mkdir(const std::filesystem::path& path, mode_t mode);
  virtual int rmdir(const std::filesystem::path& path);
  virtual int flock(int fd, int operation);
  // Entries of `path` except "." and "..", in directory order; -1 with errno on failure.
  virtual int list(const std::filesystem::path& path, std::vector<dir_entry>& out);

  // The installed layer: the real one unless a test installed another.
  static file_system& get();
  // Installs `fs` (non-null, outliving its installation) and returns the previous one. For tests.
  static file_system* install(file_system* fs);
};

// Installs a layer for its lifetime and restores the previous one. Scopes must nest.
class scoped_file_system {
 public:
  explicit scoped_file_system(file_system& fs) : previous_(file_system::install(&fs)) {}
  ~scoped_file_system() { file_system::install(previous_); }
  scoped_file_system(const scoped_file_system&) = delete;
  scoped_file_system& operator=(const scoped_file_system&) = delete;

 private:
  file_system* previous_;
};

// Throwing helpers over file_system::get(). Every failure is errors::system_error naming the
// operation and the path(s), "Failed to <operation> <path>: <system text>". Call them qualified:
// with path arguments, unqualified names also find their std::filesystem namesakes.
namespace files {

// ENOENT and ENOTDIR mean false; other errors throw.
bool exists(const std::filesystem::path& path);
// False when absent.
bool is_directory(const std::filesystem::path& path);
// One level; fails if the path exists (EEXIST).
void create_directory(const std::filesystem::path& path);
// Parents too; fine if the path is a directory already.
void create_directories(const std::filesystem::path& path);
void rename(const std::filesystem::path& from, const std::filesystem::path& to);
void link(const std::filesystem::path& from, const std::filesystem::path& to);
// A file, a symbolic link or an empty directory; false when absent.
bool remove(const std::filesystem::path& path);
// The path and, for a directory, everything below it (symbolic links are not followed).
// Returns the count of entries removed, 0 when absent.
uint64_t remove_all(const std::filesystem::path& path);
// Sorted by name.
std::vector<dir_entry> list_directory(const std::filesystem::path& path);
// Makes the directory's entries durable: open, fsync, close.
void sync_directory(const std::filesystem::path& path);
// Writes `bytes` whole to `temporary` (created or truncated), syncs and closes it, renames it onto
// `target` and syncs target's parent directory. On failure the target is untouched (or already
// replaced when only the final directory sync failed) and the temporary is removed.
void replace_file(const std::filesystem::path& target, const std::filesystem::path& temporary,
                  std::span<const std::byte> bytes);
// Copies the regular files of `from` into `to` (created when missing, one level), each synced,
// then syncs `to`. Subdirectories are created empty. Fails when a target file exists.
void copy_directory(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace files
}  // namespace ombrel
