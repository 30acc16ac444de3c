#pragma once
// Names and numbers segment directories: each lies directly in the merge tree's directory and is
// named by its decimal sequence number. Owned by the merge tree; no lock of its own, so callers
// must not call make_new_path() concurrently.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

namespace ombrel {

// The value of `text` when it is non-empty, holds only the digits 0 to 9 and fits in 64 bits.
std::optional<uint64_t> parse_seqno(std::string_view text);

class seqno_helper {
 public:
  explicit seqno_helper(std::filesystem::path base, uint64_t next = 1)
      : base_(std::move(base)), next_(next) {}

  // base / decimal text of n.
  std::filesystem::path make_path(uint64_t n) const;
  // A fresh path: make_path(next), then next advances by one.
  std::filesystem::path make_new_path();

  // Whether the path's last component (empty when it ends in a separator) is a sequence number.
  static bool is_valid_path(const std::filesystem::path& path);
  // That number; errors::error "Could not parse segment name \"<name>\"" when there is none.
  static uint64_t parse_path(const std::filesystem::path& path);

  const std::filesystem::path& base() const { return base_; }
  uint64_t next() const { return next_; }
  // Raised by recovery past every number found on disk.
  void set_next(uint64_t next) { next_ = next; }

 private:
  std::filesystem::path base_;
  uint64_t next_;
};

}  // namespace ombrel
