#pragma once
// A file layer for tests: it passes calls to the real one, counts them per operation, fails the
// ones a test chose, and can simulate a power loss by undoing on the disk whatever was not made
// durable. Install it with scoped_file_system; it sees only the calls made while installed.
// Thread-safe: mutex_ guards every field. Data calls (pread, write, fsync, stat) run outside it;
// namespace calls run under it so that their records match what happened on the disk.
//
// Durability model of simulate_power_loss(), written for the engine's patterns (files written
// whole then synced, directories synced after their entries are made, temporary file + rename +
// directory sync):
// - A file opened for writing keeps only the size it had at its last fsync through any
//   descriptor, or at the open (0 when the open created or truncated it).
// - A new name (file created, directory made, rename target, link) lasts only if its parent
//   directory was fsynced afterwards. An undone directory goes with everything below it; an
//   undone rename moves the file back and restores the file it replaced, from a copy taken at
//   rename time, when that was a regular file under 1 MiB (a larger file or a directory stays
//   lost). A rename across directories counts as durable once the target's directory is synced.
// - unlink and rmdir are durable at once.
// - Descriptors opened before the layer was installed are passed through and not tracked.
// Paths are compared lexically normalised, as given (mixing relative and absolute names of one
// file defeats the model). A file is found again by its last known name and checked by inode.

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "model/file_system.h"

namespace ombrel::testing {

enum class fs_op {
  open,
  close,
  pread,
  write,
  fsync,
  fstat,
  stat,
  rename,
  link,
  unlink,
  mkdir,
  rmdir,
  flock,
  list
};

class fault_file_system : public file_system {
 public:
  int open(const std::filesystem::path& path, int flags, mode_t mode) override;
  int close(int fd) override;
  ssize_t pread(int fd, void* buffer, size_t n, off_t offset) override;
  ssize_t write(int fd, const void* buffer, size_t n) override;
  int fsync(int fd) override;
  int fstat(int fd, struct stat* st) override;
  int stat(const std::filesystem::path& path, struct stat* st) override;
  int rename(const std::filesystem::path& from, const std::filesystem::path& to) override;
  int link(const std::filesystem::path& from, const std::filesystem::path& to) override;
  int unlink(const std::filesystem::path& path) override;
  int mkdir(const std::filesystem::path& path, mode_t mode) override;
  int rmdir(const std::filesystem::path& path) override;
  int flock(int fd, int operation) override;
  int list(const std::filesystem::path& path, std::vector<dir_entry>& out) override;

  // Calls of `op` since construction or reset_counts(), failed ones included.
  uint64_t count(fs_op op) const;
  void reset_counts();

  // Fails the n-th call of `op` from now on (0 is the next one) once, with errno `err`.
  void fail_nth(fs_op op, uint64_t n, int err);
  // Fails calls of `op` whose path contains `path_substring` (either path of rename and link;
  // for descriptor calls, the path the descriptor was opened with): every one, or only the
  // first when not `persistent`.
  void fail_matching(fs_op op, std::string path_substring, int err, bool persistent = true);
  void clear_faults();

  // Which of the new names made since the last durable point a power loss keeps.
  enum class lost_names {
    all,  // every one not covered by a directory sync (see above)
    // Renames of regular files survive, every other new name goes: a file system may write a
    // directory's blocks in any order, so a file renamed into place must not name a directory
    // whose own name was never synced.
    all_but_renames,
  };
  // Undoes on the disk what was not durable (see above) and starts a new durable point.
  // Throws errors::system_error when the disk refuses an undo.
  void simulate_power_loss(lost_names lost = lost_names::all);

 private:
  static constexpr size_t OP_COUNT = static_cast<size_t>(fs_op::list) + 1;
  static constexpr uint64_t SAVED_FILE_LIMIT = uint64_t{1} << 20;

  struct nth_fault {
    fs_op op;
    uint64_t remaining;  // calls to let through first
    int err;
  };
  struct path_fault {
    fs_op op;
    std::string substring;
    int err;
    bool persistent;
  };
  using inode = std::pair<dev_t, ino_t>;
  struct open_file {
    std::filesystem::path path;
    inode id;
    bool directory = false;
    bool writable = false;
  };
  struct written_file {
    std::filesystem::path path;  // last known name
    uint64_t durable_size = 0;
  };
  enum class entry_kind { created, renamed, linked };
  struct new_entry {
    entry_kind kind;
    uint64_t sequence;             // order of completion, to tell which fsync can cover it
    std::filesystem::path path;    // the new name, as made: undo replays in reverse
    std::filesystem::path from;    // a rename's source
    std::filesystem::path parent;  // its directory's current name: syncing it makes it durable
    std::optional<std::vector<std::byte>> replaced;  // contents of the file a rename replaced
  };

  // Counts a call and returns the errno to inject, 0 for none. REQUIRES: mutex_ held.
  int fault_locked(fs_op op, const std::filesystem::path& path,
                   const std::filesystem::path& other = {});
  int fd_fault(fs_op op, int fd);
  void record_entry_locked(entry_kind kind, const std::filesystem::path& path,
                           const std::filesystem::path& from = {},
                           std::optional<std::vector<std::byte>> replaced = std::nullopt);
  // The inode of the regular file at `path` when that is its only name. REQUIRES: mutex_ held.
  std::optional<inode> last_name_locked(const std::filesystem::path& path);
  // A copy of the regular file at `path` as durable, if small enough. REQUIRES: mutex_ held.
  std::optional<std::vector<std::byte>> save_locked(const std::filesystem::path& path);
  void undo_locked(const new_entry& entry);

  mutable std::mutex mutex_;
  std::array<uint64_t, OP_COUNT> counts_{};
  std::vector<nth_fault> nth_faults_;
  std::vector<path_fault> path_faults_;
  std::unordered_map<int, open_file> open_files_;
  std::map<inode, written_file> written_;
  std::vector<new_entry> new_entries_;
  uint64_t next_sequence_ = 0;
};

}  // namespace ombrel::testing
