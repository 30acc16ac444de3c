#pragma once
// Small value types shared by every layer: timestamps, transaction ids and byte views.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace ombrel {

// Signed; a greater value is newer. TX_TIMESTAMP_LATEST stands for the newest version.
using tx_timestamp = int64_t;
inline constexpr tx_timestamp TX_TIMESTAMP_LATEST = INT64_MAX;

// Key position of a column outside the primary key.
inline constexpr uint32_t NO_COLUMN = 0xFFFFFFFFu;

// A transaction id: the most significant half first, both halves ordered as signed numbers.
struct uuid {
  int64_t first = 0;
  int64_t second = 0;
  friend constexpr auto operator<=>(const uuid&, const uuid&) = default;
};

// Non-owning view of bytes. Length 0 with a null pointer stands for an absent (null) value.
struct bytes_view {
  size_t length = 0;
  const std::byte* data = nullptr;

  constexpr bytes_view() = default;
  constexpr bytes_view(size_t n, const std::byte* p) : length(n), data(p) {}
  bytes_view(const void* p, size_t n) : length(n), data(static_cast<const std::byte*>(p)) {}

  constexpr bool is_null() const { return length == 0 && data == nullptr; }
  constexpr size_t size() const { return length; }
  constexpr const std::byte* begin() const { return data; }
  constexpr const std::byte* end() const { return data + length; }
  std::string_view as_string() const { return {reinterpret_cast<const char*>(data), length}; }
};

// Copies n bytes, mostly few: overlapping word moves instead of a call to memcpy.
inline void copy_short(std::byte* to, const std::byte* from, size_t n) noexcept {
  if (n >= 8) {
    if (n > 16) {
      std::memcpy(to, from, n);
      return;
    }
    uint64_t head, tail;
    std::memcpy(&head, from, 8);
    std::memcpy(&tail, from + n - 8, 8);
    std::memcpy(to, &head, 8);
    std::memcpy(to + n - 8, &tail, 8);
  } else if (n >= 4) {
    uint32_t head, tail;
    std::memcpy(&head, from, 4);
    std::memcpy(&tail, from + n - 4, 4);
    std::memcpy(to, &head, 4);
    std::memcpy(to + n - 4, &tail, 4);
  } else if (n != 0) {
    const std::byte a = from[0], b = from[n / 2], c = from[n - 1];
    to[0] = a;
    to[n / 2] = b;
    to[n - 1] = c;
  }
}

}  // namespace ombrel
