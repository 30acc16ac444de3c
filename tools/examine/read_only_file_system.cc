#include "tools/examine/read_only_file_system.h"

#include <fcntl.h>

#include <cerrno>

namespace ombrel::inspect {
namespace {

int refuse() {
  errno = EROFS;
  return -1;
}

}  // namespace

int read_only_file_system::open(const std::filesystem::path& path, int flags, mode_t mode) {
  if ((flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC | O_APPEND)) != 0) {
    return refuse();
  }
  return file_system::open(path, flags, mode);
}

ssize_t read_only_file_system::write(int, const void*, size_t) { return refuse(); }
int read_only_file_system::fsync(int) { return refuse(); }
int read_only_file_system::rename(const std::filesystem::path&, const std::filesystem::path&) {
  return refuse();
}
int read_only_file_system::link(const std::filesystem::path&, const std::filesystem::path&) {
  return refuse();
}
int read_only_file_system::unlink(const std::filesystem::path&) { return refuse(); }
int read_only_file_system::mkdir(const std::filesystem::path&, mode_t) { return refuse(); }
int read_only_file_system::rmdir(const std::filesystem::path&) { return refuse(); }
int read_only_file_system::flock(int, int) { return refuse(); }

}  // namespace ombrel::inspect
