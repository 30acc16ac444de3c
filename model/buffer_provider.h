#pragma once
// Per-thread scratch buffer in which entry points assemble byte results for the host.
// One instance per thread (created on first use, destroyed at thread exit); no lock needed.

#include <cstddef>
#include <vector>

namespace ombrel {

class buffer_provider {
 public:
  // Sizes between which an existing buffer is kept, or to which it is resized.
  static constexpr size_t MIN_BUFFER_SIZE = 8192;
  static constexpr size_t MAX_KEPT_BUFFER_SIZE = 2 * 1024 * 1024;

  // The calling thread's instance.
  static buffer_provider& instance();

  // A buffer of at least n bytes, valid until the next ensure_buffer on this thread. Kept when
  // n <= size <= max(n, 2 MiB); otherwise resized to max(n, 8192) bytes so a one-off large
  // result does not pin its memory.
  std::byte* ensure_buffer(size_t n);
  size_t buffer_size() const noexcept { return buffer_.size(); }

 private:
  buffer_provider() = default;
  std::vector<std::byte> buffer_;
};

}  // namespace ombrel
