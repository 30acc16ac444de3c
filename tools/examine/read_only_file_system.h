#pragma once
// A file layer that lets the storage be read and nothing else: every call that would create,
// change, rename, delete, sync or lock a file fails with EROFS before it reaches the disk. The
// inspection tool installs it around each command, so that no engine code path it reuses (a
// segment open that would rebuild a missing index, say) can touch the storage. Stateless and
// thread-safe.

#include "model/file_system.h"

namespace ombrel::inspect {

class read_only_file_system : public file_system {
 public:
  // Opens read-only only; anything asking to write, create or truncate is refused.
  int open(const std::filesystem::path& path, int flags, mode_t mode) override;
  ssize_t write(int fd, const void* buffer, size_t n) override;
  int fsync(int fd) override;
  int rename(const std::filesystem::path& from, const std::filesystem::path& to) override;
  int link(const std::filesystem::path& from, const std::filesystem::path& to) override;
  int unlink(const std::filesystem::path& path) override;
  int mkdir(const std::filesystem::path& path, mode_t mode) override;
  int rmdir(const std::filesystem::path& path) override;
  int flock(int fd, int operation) override;
};

}  // namespace ombrel::inspect
