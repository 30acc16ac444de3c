#include "tests/support/fault_file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "native/errors.h"

namespace ombrel::testing {
namespace {

// The disk itself, for the layer's own bookkeeping: neither counted nor failed.
file_system& real() {
  static file_system layer;
  return layer;
}

std::filesystem::path normal(const std::filesystem::path& path) {
  std::filesystem::path n = path.lexically_normal();
  if (!n.has_filename() && n.has_relative_path()) n = n.parent_path();  // "a/b/" is "a/b"
  return n;
}

// Moves `path` from below `from` to below `to`; false when it is not below `from`.
bool rebase(std::filesystem::path& path, const std::filesystem::path& from,
            const std::filesystem::path& to) {
  auto [f, p] = std::mismatch(from.begin(), from.end(), path.begin(), path.end());
  if (f != from.end()) return false;
  std::filesystem::path result = to;
  for (; p != path.end(); ++p) result /= *p;
  path = result;
  return true;
}

[[noreturn]] void fail(const std::string& message) {
  const int err = errno;
  std::string text = "Failed to " + message;
  errno = err;
  throw errors::system_error(text);
}

void remove_tree(const std::filesystem::path& path) {
  if (real().unlink(path) == 0 || errno == ENOENT) return;
  if (errno != EISDIR && errno != EPERM) fail("remove " + path.string());
  std::vector<dir_entry> entries;
  if (real().list(path, entries) != 0) fail("list " + path.string());
  for (const dir_entry& entry : entries) remove_tree(entry.path);
  if (real().rmdir(path) != 0 && errno != ENOENT) fail("remove " + path.string());
}

void write_whole(const std::filesystem::path& path, const std::vector<std::byte>& bytes) {
  const int fd = real().open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0664);
  if (fd < 0) fail("restore " + path.string());
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t put = real().write(fd, bytes.data() + done, bytes.size() - done);
    if (put <= 0) {
      real().close(fd);
      fail("restore " + path.string());
    }
    done += static_cast<size_t>(put);
  }
  real().close(fd);
}

}  // namespace

// ---- faults ----

uint64_t fault_file_system::count(fs_op op) const {
  std::scoped_lock lock(mutex_);
  return counts_[static_cast<size_t>(op)];
}

void fault_file_system::reset_counts() {
  std::scoped_lock lock(mutex_);
  counts_.fill(0);
}

void fault_file_system::fail_nth(fs_op op, uint64_t n, int err) {
  std::scoped_lock lock(mutex_);
  nth_faults_.push_back({op, n, err});
}

void fault_file_system::fail_matching(fs_op op, std::string path_substring, int err,
                                      bool persistent) {
  std::scoped_lock lock(mutex_);
  path_faults_.push_back({op, std::move(path_substring), err, persistent});
}

void fault_file_system::clear_faults() {
  std::scoped_lock lock(mutex_);
  nth_faults_.clear();
  path_faults_.clear();
}

int fault_file_system::fault_locked(fs_op op, const std::filesystem::path& path,
                                    const std::filesystem::path& other) {
  ++counts_[static_cast<size_t>(op)];
  int err = 0;
  for (auto it = nth_faults_.begin(); it != nth_faults_.end();) {
    if (it->op != op) {
      ++it;
    } else if (it->remaining > 0) {
      --it->remaining;
      ++it;
    } else {
      err = err != 0 ? err : it->err;
      it = nth_faults_.erase(it);
    }
  }
  if (err != 0) return err;
  const std::string a = path.string();
  const std::string b = other.string();
  for (auto it = path_faults_.begin(); it != path_faults_.end(); ++it) {
    if (it->op != op) continue;
    if (a.find(it->substring) == std::string::npos &&
        (other.empty() || b.find(it->substring) == std::string::npos)) {
      continue;
    }
    err = it->err;
    if (!it->persistent) path_faults_.erase(it);
    return err;
  }
  return 0;
}

int fault_file_system::fd_fault(fs_op op, int fd) {
  std::scoped_lock lock(mutex_);
  const auto it = open_files_.find(fd);
  return fault_locked(op, it != open_files_.end() ? it->second.path : std::filesystem::path());
}

// ---- calls ----

int fault_file_system::open(const std::filesystem::path& path, int flags, mode_t mode) {
  const std::filesystem::path name = normal(path);
  std::scoped_lock lock(mutex_);
  if (const int err = fault_locked(fs_op::open, name)) {
    errno = err;
    return -1;
  }
  struct stat before {};
  const bool existed = (flags & O_CREAT) != 0 && real().stat(path, &before) == 0;
  const int fd = real().open(path, flags, mode);
  if (fd < 0) return -1;
  struct stat st {};
  if (real().fstat(fd, &st) != 0) {
    const int err = errno;
    real().close(fd);
    errno = err;
    return -1;
  }
  const bool writable = (flags & O_ACCMODE) != O_RDONLY;
  open_files_[fd] = {name, {st.st_dev, st.st_ino}, S_ISDIR(st.st_mode), writable};
  const bool created = (flags & O_CREAT) != 0 && !existed;
  if (created) record_entry_locked(entry_kind::created, name);
  if (writable) {
    const uint64_t base = created || (flags & O_TRUNC) != 0 ? 0 : static_cast<uint64_t>(st.st_size);
    auto [it, inserted] = written_.try_emplace({st.st_dev, st.st_ino}, written_file{name, base});
    if (!inserted) {
      it->second.path = name;
      it->second.durable_size = std::min(it->second.durable_size, base);
    }
  }
  return fd;
}

int fault_file_system::close(int fd) {
  int err = 0;
  {
    std::scoped_lock lock(mutex_);
    const auto it = open_files_.find(fd);
    err = fault_locked(fs_op::close, it != open_files_.end() ? it->second.path : "");
    if (it != open_files_.end()) open_files_.erase(it);
  }
  // As on Linux, a failed close still releases the descriptor.
  const int result = real().close(fd);
  if (err != 0) {
    errno = err;
    return -1;
  }
  return result;
}

ssize_t fault_file_system::pread(int fd, void* buffer, size_t n, off_t offset) {
  if (const int err = fd_fault(fs_op::pread, fd)) {
    errno = err;
    return -1;
  }
  return real().pread(fd, buffer, n, offset);
}

ssize_t fault_file_system::write(int fd, const void* buffer, size_t n) {
  if (const int err = fd_fault(fs_op::write, fd)) {
    errno = err;
    return -1;
  }
  return real().write(fd, buffer, n);
}

int fault_file_system::fsync(int fd) {
  std::optional<open_file> synced;
  uint64_t covered = 0;  // entries completed before this call are covered by it
  {
    std::scoped_lock lock(mutex_);
    const auto it = open_files_.find(fd);
    if (it != open_files_.end()) synced = it->second;
    if (const int err = fault_locked(fs_op::fsync, synced ? synced->path : "")) {
      errno = err;
      return -1;
    }
    covered = next_sequence_;
  }
  // The size before the call is what the call is sure to cover.
  struct stat st {};
  const bool sized = real().fstat(fd, &st) == 0;
  if (real().fsync(fd) != 0) return -1;
  if (!synced || !sized) return 0;
  std::scoped_lock lock(mutex_);
  if (synced->directory) {
    std::erase_if(new_entries_, [&](const new_entry& e) {
      return e.sequence < covered && e.parent == synced->path;
    });
  } else if (const auto it = written_.find(synced->id); it != written_.end()) {
    it->second.durable_size = std::max(it->second.durable_size, static_cast<uint64_t>(st.st_size));
  }
  return 0;
}

int fault_file_system::fstat(int fd, struct stat* st) {
  if (const int err = fd_fault(fs_op::fstat, fd)) {
    errno = err;
    return -1;
  }
  return real().fstat(fd, st);
}

int fault_file_system::stat(const std::filesystem::path& path, struct stat* st) {
  {
    std::scoped_lock lock(mutex_);
    if (const int err = fault_locked(fs_op::stat, normal(path))) {
      errno = err;
      return -1;
    }
  }
  return real().stat(path, st);
}

int fault_file_system::rename(const std::filesystem::path& from, const std::filesystem::path& to) {
  const std::filesystem::path source = normal(from);
  const std::filesystem::path target = normal(to);
  std::scoped_lock lock(mutex_);
  if (const int err = fault_locked(fs_op::rename, source, target)) {
    errno = err;
    return -1;
  }
  std::optional<std::vector<std::byte>> replaced = save_locked(target);
  const std::optional<inode> moved = last_name_locked(from);
  const std::optional<inode> dropped = last_name_locked(to);
  if (real().rename(from, to) != 0) return -1;
  if (source == target || (moved && moved == dropped)) return 0;  // nothing moved
  if (dropped) written_.erase(*dropped);
  for (auto& [id, written] : written_) rebase(written.path, source, target);
  for (auto& [fd, opened] : open_files_) rebase(opened.path, source, target);
  for (new_entry& entry : new_entries_) rebase(entry.parent, source, target);
  record_entry_locked(entry_kind::renamed, target, source, std::move(replaced));
  return 0;
}

int fault_file_system::link(const std::filesystem::path& from, const std::filesystem::path& to) {
  const std::filesystem::path target = normal(to);
  std::scoped_lock lock(mutex_);
  if (const int err = fault_locked(fs_op::link, normal(from), target)) {
    errno = err;
    return -1;
  }
  if (real().link(from, to) != 0) return -1;
  record_entry_locked(entry_kind::linked, target);
  return 0;
}

int fault_file_system::unlink(const std::filesystem::path& path) {
  std::scoped_lock lock(mutex_);
  if (const int err = fault_locked(fs_op::unlink, normal(path))) {
    errno = err;
    return -1;
  }
  const std::optional<inode> dropped = last_name_locked(path);
  if (real().unlink(path) != 0) return -1;
  if (dropped) written_.erase(*dropped);  // its inode number may come back for another file
  return 0;
}

int fault_file_system::mkdir(const std::filesystem::path& path, mode_t mode) {
  const std::filesystem::path name = normal(path);
  std::scoped_lock lock(mutex_);
  if (const int err = fault_locked(fs_op::mkdir, name)) {
    errno = err;
    return -1;
  }
  if (real().mkdir(path, mode) != 0) return -1;
  record_entry_locked(entry_kind::created, name);
  return 0;
}

int fault_file_system::rmdir(const std::filesystem::path& path) {
  {
    std::scoped_lock lock(mutex_);
    if (const int err = fault_locked(fs_op::rmdir, normal(path))) {
      errno = err;
      return -1;
    }
  }
  return real().rmdir(path);
}

int fault_file_system::flock(int fd, int operation) {
  if (const int err = fd_fault(fs_op::flock, fd)) {
    errno = err;
    return -1;
  }
  return real().flock(fd, operation);
}

int fault_file_system::list(const std::filesystem::path& path, std::vector<dir_entry>& out) {
  {
    std::scoped_lock lock(mutex_);
    if (const int err = fault_locked(fs_op::list, normal(path))) {
      errno = err;
      return -1;
    }
  }
  return real().list(path, out);
}

// ---- power loss ----

void fault_file_system::record_entry_locked(entry_kind kind, const std::filesystem::path& path,
                                            const std::filesystem::path& from,
                                            std::optional<std::vector<std::byte>> replaced) {
  std::filesystem::path parent = path.parent_path();
  if (parent.empty()) parent = ".";
  new_entries_.push_back(
      {kind, next_sequence_++, path, from, std::move(parent), std::move(replaced)});
}

std::optional<fault_file_system::inode> fault_file_system::last_name_locked(
    const std::filesystem::path& path) {
  struct stat st {};
  if (real().stat(path, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) return std::nullopt;
  return inode{st.st_dev, st.st_ino};
}

std::optional<std::vector<std::byte>> fault_file_system::save_locked(
    const std::filesystem::path& path) {
  struct stat st {};
  if (real().stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  uint64_t size = static_cast<uint64_t>(st.st_size);
  if (const auto it = written_.find({st.st_dev, st.st_ino}); it != written_.end()) {
    size = std::min(size, it->second.durable_size);
  }
  if (size >= SAVED_FILE_LIMIT) return std::nullopt;
  const int fd = real().open(path, O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) fail("save " + path.string());
  std::vector<std::byte> bytes(size);
  for (size_t done = 0; done < size;) {
    const ssize_t got =
        real().pread(fd, bytes.data() + done, size - done, static_cast<off_t>(done));
    if (got <= 0) {
      real().close(fd);
      if (got == 0) errno = EIO;
      fail("save " + path.string());
    }
    done += static_cast<size_t>(got);
  }
  real().close(fd);
  return bytes;
}

void fault_file_system::undo_locked(const new_entry& entry) {
  switch (entry.kind) {
    case entry_kind::created:
      remove_tree(entry.path);
      break;
    case entry_kind::linked:
      if (real().unlink(entry.path) != 0 && errno != ENOENT) fail("unlink " + entry.path.string());
      break;
    case entry_kind::renamed: {
      if (real().rename(entry.path, entry.from) != 0) {
        if (errno == ENOENT) break;  // removed since: unlink is durable
        fail("move back " + entry.path.string());
      }
      if (entry.replaced) write_whole(entry.path, *entry.replaced);
      break;
    }
  }
}

void fault_file_system::simulate_power_loss(lost_names lost) {
  std::scoped_lock lock(mutex_);
  // Contents first, while every file still has the name it was last known by.
  for (const auto& [id, written] : written_) {
    const int fd = real().open(written.path, O_WRONLY | O_CLOEXEC, 0);
    if (fd < 0) continue;  // gone or replaced by a directory: nothing of it to forget
    struct stat st {};
    const bool same = real().fstat(fd, &st) == 0 && inode{st.st_dev, st.st_ino} == id;
    if (same && static_cast<uint64_t>(st.st_size) > written.durable_size &&
        ::ftruncate(fd, static_cast<off_t>(written.durable_size)) != 0) {
      real().close(fd);
      fail("truncate " + written.path.string());
    }
    real().close(fd);
  }
  for (auto it = new_entries_.rbegin(); it != new_entries_.rend(); ++it) {
    struct stat st {};
    if (lost == lost_names::all_but_renames && it->kind == entry_kind::renamed &&
        real().stat(it->path, &st) == 0 && S_ISREG(st.st_mode)) {
      continue;
    }
    undo_locked(*it);
  }
  new_entries_.clear();
  written_.clear();
  // Descriptors still open write on from what survived.
  for (const auto& [fd, opened] : open_files_) {
    struct stat st {};
    if (opened.writable && real().fstat(fd, &st) == 0) {
      written_[opened.id] = {opened.path, static_cast<uint64_t>(st.st_size)};
    }
  }
}

}  // namespace ombrel::testing
