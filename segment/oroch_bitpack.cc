#include "segment/oroch_bitpack.h"

#include <array>
#include <bit>
#include <limits>
#include <utility>

namespace ombrel::oroch::detail {
namespace {

static_assert(std::endian::native == std::endian::little, "units are read as native words");

// Value at compile-time bit offset OFF of a unit: every shift and mask is a constant, and a
// value straddling the two words costs one extra shift and or.
template <typename U, unsigned W, unsigned OFF>
inline U extract(uint64_t lo, uint64_t hi) {
  constexpr uint64_t MASK = W == 64 ? ~uint64_t{0} : (uint64_t{1} << W) - 1;
  if constexpr (OFF + W <= 64) {
    return static_cast<U>((lo >> OFF) & MASK);
  } else if constexpr (OFF >= 64) {
    return static_cast<U>((hi >> (OFF - 64)) & MASK);
  } else {
    return static_cast<U>(((lo >> OFF) | (hi << (64 - OFF))) & MASK);
  }
}

template <typename U, unsigned W, size_t... I>
inline void unpack_unit(uint64_t lo, uint64_t hi, U* out, std::index_sequence<I...>) {
  ((out[I] = extract<U, W, static_cast<unsigned>(I * W)>(lo, hi)), ...);
}

// Decodes `units` full units at width W: one unrolled, branch-free body per unit.
template <typename U, unsigned W>
void unpack_full_units(const std::byte* src, size_t units, U* dst) {
  constexpr size_t K = 128 / W;
  for (size_t u = 0; u < units; ++u) {
    uint64_t lo;
    uint64_t hi;
    std::memcpy(&lo, src, 8);
    std::memcpy(&hi, src + 8, 8);
    unpack_unit<U, W>(lo, hi, dst, std::make_index_sequence<K>{});
    src += UNIT_BYTES;
    dst += K;
  }
}

template <typename U>
using unpack_kernel = void (*)(const std::byte*, size_t, U*);

template <typename U, size_t... W>
constexpr std::array<unpack_kernel<U>, sizeof...(W)> make_kernels(std::index_sequence<W...>) {
  return {&unpack_full_units<U, static_cast<unsigned>(W + 1)>...};
}

// Kernel for width w at index w - 1.
template <typename U>
inline constexpr auto KERNELS =
    make_kernels<U>(std::make_index_sequence<std::numeric_limits<U>::digits>{});

}  // namespace

template <typename U>
void unpack(const std::byte* src, size_t n, unsigned w, U* dst) {
  const size_t k = values_per_unit(w);
  const size_t full = n / k;
  KERNELS<U>[w - 1](src, full, dst);
  const size_t rest = n - full * k;
  if (rest == 0) return;
  // The last, partial unit: only its first `rest` values are meaningful.
  using u128 = unsigned __int128;
  uint64_t lo;
  uint64_t hi;
  std::memcpy(&lo, src + full * UNIT_BYTES, 8);
  std::memcpy(&hi, src + full * UNIT_BYTES + 8, 8);
  const u128 unit = (static_cast<u128>(hi) << 64) | lo;
  const uint64_t mask = w == 64 ? ~uint64_t{0} : (uint64_t{1} << w) - 1;
  U* out = dst + full * k;
  for (size_t j = 0; j < rest; ++j) {
    out[j] = static_cast<U>(static_cast<uint64_t>(unit >> (j * w)) & mask);
  }
}

template void unpack<uint8_t>(const std::byte*, size_t, unsigned, uint8_t*);
template void unpack<uint16_t>(const std::byte*, size_t, unsigned, uint16_t*);
template void unpack<uint32_t>(const std::byte*, size_t, unsigned, uint32_t*);
template void unpack<uint64_t>(const std::byte*, size_t, unsigned, uint64_t*);

}  // namespace ombrel::oroch::detail
