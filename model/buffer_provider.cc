#include "model/buffer_provider.h"

#include <algorithm>

namespace ombrel {

buffer_provider& buffer_provider::instance() {
  thread_local buffer_provider provider;
  return provider;
}

std::byte* buffer_provider::ensure_buffer(size_t n) {
  const size_t size = buffer_.size();
  if (size >= n && size <= std::max(n, MAX_KEPT_BUFFER_SIZE)) return buffer_.data();
  const size_t wanted = std::max(n, MIN_BUFFER_SIZE);
  if (wanted < size) {
    // Give the memory back, not just the size: that is the point of shrinking.
    std::vector<std::byte>(wanted).swap(buffer_);
  } else {
    buffer_.resize(wanted);
  }
  return buffer_.data();
}

}  // namespace ombrel
