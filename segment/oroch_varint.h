#pragma once
// Scalar building blocks of the oroch integer codec: zigzag mapping, bit lengths and LEB128
// varints. Stateless inline functions; safe on any thread. The reader never passes the given
// end pointer and reports malformed input through its status.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

namespace ombrel::oroch::detail {

template <typename T>
inline constexpr unsigned BITS = std::numeric_limits<std::make_unsigned_t<T>>::digits;

// Longest varint of a BITS-bit value: 2, 3, 5 or 10 bytes.
template <typename T>
inline constexpr size_t MAX_VARINT_SIZE = (BITS<T> + 6) / 7;

// Maps signed values onto unsigned ones with small magnitudes first; identity for unsigned
// types, so the same coders serve the unsigned streams (exception gaps and high parts).
template <typename T>
constexpr std::make_unsigned_t<T> zigzag_encode(T v) {
  using U = std::make_unsigned_t<T>;
  if constexpr (std::is_unsigned_v<T>) {
    return v;
  } else {
    return static_cast<U>(static_cast<U>(static_cast<U>(v) << 1) ^
                          static_cast<U>(v >> (BITS<T> - 1)));
  }
}

template <typename T>
constexpr T zigzag_decode(std::make_unsigned_t<T> u) {
  using U = std::make_unsigned_t<T>;
  if constexpr (std::is_unsigned_v<T>) {
    return u;
  } else {
    return static_cast<T>(static_cast<U>(static_cast<U>(u >> 1) ^ static_cast<U>(-(u & 1U))));
  }
}

// Number of significant bits; 0 for 0.
template <typename U>
constexpr unsigned bit_length(U x) {
  return static_cast<unsigned>(std::bit_width(x));
}

// Varint size by bit length: 1 byte for 0, else ceil(bits / 7).
inline constexpr std::array<uint8_t, 65> VARINT_SIZE_BY_BITS = [] {
  std::array<uint8_t, 65> table{};
  table[0] = 1;
  for (unsigned b = 1; b <= 64; ++b) table[b] = static_cast<uint8_t>((b + 6) / 7);
  return table;
}();

template <typename U>
constexpr size_t varint_size(U x) {
  return VARINT_SIZE_BY_BITS[bit_length(x)];
}

// Writes the varint of x at out; returns the position after it.
template <typename U>
inline std::byte* write_varint(U x, std::byte* out) {
  uint64_t v = x;
  while (v >= 0x80) {
    *out++ = static_cast<std::byte>(v | 0x80);
    v >>= 7;
  }
  *out++ = static_cast<std::byte>(v);
  return out;
}

// Outcome of reading one varint; anything but ok means the input is malformed.
enum class varint_status { ok, unterminated, too_long, overflow };

// Reads one varint of a U from [p, end) into x and advances p. Accepts at most
// MAX_VARINT_SIZE<U> bytes and refuses values that do not fit in U.
template <typename U>
inline varint_status read_varint(const std::byte*& p, const std::byte* end, U& x) {
  constexpr size_t LIMIT = MAX_VARINT_SIZE<U>;
  constexpr unsigned LAST_SHIFT = 7 * (LIMIT - 1);
  uint64_t v = 0;
  for (size_t i = 0; i < LIMIT; ++i) {
    if (p == end) return varint_status::unterminated;
    const auto b = static_cast<uint8_t>(*p++);
    v |= static_cast<uint64_t>(b & 0x7F) << (7 * i);
    if ((b & 0x80) == 0) {
      // The last permitted byte may only carry the bits that still fit.
      if (i == LIMIT - 1 && (b >> (BITS<U> - LAST_SHIFT)) != 0) return varint_status::overflow;
      x = static_cast<U>(v);
      return varint_status::ok;
    }
  }
  return varint_status::too_long;
}

}  // namespace ombrel::oroch::detail
