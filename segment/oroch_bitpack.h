#pragma once
// Bit packing of the oroch integer codec: values of w bits (1 to 64) in 16-byte units of
// floor(128 / w) values, value j of a unit at bit j * w of the unit's two little-endian 64-bit
// words (low word first), unused bits zero. Stateless; safe on any thread.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ombrel::oroch::detail {

inline constexpr size_t UNIT_BYTES = 16;

// REQUIRES: 1 <= w <= 128.
constexpr size_t values_per_unit(unsigned w) { return 128 / w; }

// Bytes taken by n values at width w: whole units. REQUIRES: 1 <= w <= 64.
constexpr size_t packed_size(size_t n, unsigned w) {
  const size_t k = values_per_unit(w);
  return (n / k + (n % k != 0)) * UNIT_BYTES;
}

// Writes packed_size(n, w) bytes at out (every byte, padding included), packing the low w bits
// of value(i) for i in [0, n). REQUIRES: 1 <= w <= 64. `value` returns an unsigned integer.
template <typename Source>
void pack(size_t n, unsigned w, std::byte* out, Source value) {
  using u128 = unsigned __int128;
  const size_t k = values_per_unit(w);
  const uint64_t mask = w == 64 ? ~uint64_t{0} : (uint64_t{1} << w) - 1;
  size_t i = 0;
  while (i < n) {
    const size_t stop = n - i < k ? n : i + k;
    u128 unit = 0;
    unsigned shift = 0;
    for (; i < stop; ++i, shift += w) unit |= static_cast<u128>(value(i) & mask) << shift;
    const auto lo = static_cast<uint64_t>(unit);
    const auto hi = static_cast<uint64_t>(unit >> 64);
    std::memcpy(out, &lo, 8);
    std::memcpy(out + 8, &hi, 8);
    out += UNIT_BYTES;
  }
}

// Reads packed_size(n, w) bytes at src and writes n values to dst.
// REQUIRES: 1 <= w <= bits of U; U is uint8_t, uint16_t, uint32_t or uint64_t.
template <typename U>
void unpack(const std::byte* src, size_t n, unsigned w, U* dst);

extern template void unpack<uint8_t>(const std::byte*, size_t, unsigned, uint8_t*);
extern template void unpack<uint16_t>(const std::byte*, size_t, unsigned, uint16_t*);
extern template void unpack<uint32_t>(const std::byte*, size_t, unsigned, uint32_t*);
extern template void unpack<uint64_t>(const std::byte*, size_t, unsigned, uint64_t*);

}  // namespace ombrel::oroch::detail
