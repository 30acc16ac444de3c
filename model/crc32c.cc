#include "model/crc32c.h"

#include <nmmintrin.h>

#include <array>
#include <cstring>

namespace ombrel {
namespace {

// Castagnoli polynomial, bit-reflected: bit 31 is x^0, bit 0 is x^31.
constexpr uint32_t POLY = 0x82F63B78u;

inline uint64_t load64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof(v));  // little-endian host
  return v;
}

// ---- Portable path: slicing-by-8 ----

// TABLES[k][b]: register after byte b followed by k zero bytes, from a zero register.
using slice_tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr slice_tables make_slice_tables() {
  slice_tables t{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t c = b;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ POLY : c >> 1;
    t[0][b] = c;
  }
  for (int k = 1; k < 8; ++k) {
    for (uint32_t b = 0; b < 256; ++b) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
  }
  return t;
}

constexpr slice_tables TABLES = make_slice_tables();

// Raw register update without the initial and final inversion.
uint32_t portable_update(uint32_t reg, const unsigned char* p, size_t n) {
  for (; n >= 8; n -= 8, p += 8) {
    const uint64_t w = load64(p) ^ reg;
    reg = TABLES[7][w & 0xFF] ^ TABLES[6][(w >> 8) & 0xFF] ^ TABLES[5][(w >> 16) & 0xFF] ^
          TABLES[4][(w >> 24) & 0xFF] ^ TABLES[3][(w >> 32) & 0xFF] ^ TABLES[2][(w >> 40) & 0xFF] ^
          TABLES[1][(w >> 48) & 0xFF] ^ TABLES[0][w >> 56];
  }
  for (; n > 0; --n, ++p) reg = TABLES[0][(reg ^ *p) & 0xFF] ^ (reg >> 8);
  return reg;
}

// ---- Hardware path: three interleaved crc32 streams, combined by a zero-extension shift ----

// The crc32 instruction has a latency of about three cycles but issues one per cycle, so three
// independent streams over adjacent stripes keep it busy. Their registers are then joined:
// reg(A|B) = shift(reg(A), |B|) ^ reg_from_zero(B), where shift multiplies by x^(8|B|) mod P.
constexpr size_t LONG_STRIPE = 8192;
constexpr size_t SHORT_STRIPE = 256;

// a(x) * b(x) mod P, reflected.
constexpr uint32_t multiply_mod_p(uint32_t a, uint32_t b) {
  uint32_t product = 0;
  for (uint32_t m = 1u << 31; m != 0; m >>= 1) {
    if (a & m) product ^= b;
    b = (b & 1) ? (b >> 1) ^ POLY : b >> 1;
  }
  return product;
}

// Tables for reg -> reg * x^(8 * bytes) mod P, one per register byte (the map is linear).
struct shift_tables {
  std::array<std::array<uint32_t, 256>, 4> t{};

  explicit shift_tables(size_t bytes) {
    // x^(8 * bytes) mod P: the register x^0 followed by `bytes` zero bytes.
    uint32_t power = 1u << 31;
    for (size_t i = 0; i < bytes; ++i) power = TABLES[0][power & 0xFF] ^ (power >> 8);
    for (int k = 0; k < 4; ++k) {
      for (uint32_t b = 0; b < 256; ++b) t[k][b] = multiply_mod_p(power, b << (8 * k));
    }
  }

  uint32_t operator()(uint32_t reg) const {
    return t[0][reg & 0xFF] ^ t[1][(reg >> 8) & 0xFF] ^ t[2][(reg >> 16) & 0xFF] ^ t[3][reg >> 24];
  }
};

const shift_tables& long_shift() {
  static const shift_tables tables(LONG_STRIPE);
  return tables;
}

const shift_tables& short_shift() {
  static const shift_tables tables(SHORT_STRIPE);
  return tables;
}

__attribute__((target("sse4.2"))) inline uint64_t step64(uint64_t reg, const unsigned char* p) {
  return _mm_crc32_u64(reg, load64(p));
}

// Consumes whole groups of three stripes of `stripe` bytes.
__attribute__((target("sse4.2"))) uint32_t hardware_stripes(uint32_t reg, const unsigned char*& p,
                                                            size_t& n, size_t stripe,
                                                            const shift_tables& shift) {
  while (n >= 3 * stripe) {
    uint64_t r0 = reg;
    uint64_t r1 = 0;
    uint64_t r2 = 0;
    const unsigned char* end = p + stripe;
    for (; p < end; p += 8) {
      r0 = step64(r0, p);
      r1 = step64(r1, p + stripe);
      r2 = step64(r2, p + 2 * stripe);
    }
    reg = shift(static_cast<uint32_t>(r0)) ^ static_cast<uint32_t>(r1);
    reg = shift(reg) ^ static_cast<uint32_t>(r2);
    p += 2 * stripe;
    n -= 3 * stripe;
  }
  return reg;
}

__attribute__((target("sse4.2"))) uint32_t hardware_update(uint32_t reg, const unsigned char* p,
                                                           size_t n) {
  // Align so that the eight-byte loads do not straddle cache lines.
  while (n > 0 && (reinterpret_cast<uintptr_t>(p) & 7) != 0) {
    reg = _mm_crc32_u8(reg, *p++);
    --n;
  }
  reg = hardware_stripes(reg, p, n, LONG_STRIPE, long_shift());
  reg = hardware_stripes(reg, p, n, SHORT_STRIPE, short_shift());
  uint64_t r = reg;
  for (; n >= 8; n -= 8, p += 8) r = step64(r, p);
  reg = static_cast<uint32_t>(r);
  for (; n > 0; --n) reg = _mm_crc32_u8(reg, *p++);
  return reg;
}

using crc_function = uint32_t (*)(const void*, size_t, uint32_t);

crc_function pick_implementation() {
  return detail::crc32c_hardware_available() ? detail::crc32c_hardware : detail::crc32c_portable;
}

}  // namespace

namespace detail {

uint32_t crc32c_portable(const void* data, size_t n, uint32_t crc) {
  return ~portable_update(~crc, static_cast<const unsigned char*>(data), n);
}

uint32_t crc32c_hardware(const void* data, size_t n, uint32_t crc) {
  return ~hardware_update(~crc, static_cast<const unsigned char*>(data), n);
}

bool crc32c_hardware_available() {
  static const bool available = [] {
    __builtin_cpu_init();  // may run before the runtime's own initialiser
    return __builtin_cpu_supports("sse4.2") != 0;
  }();
  return available;
}

}  // namespace detail

uint32_t crc32c(const void* data, size_t n, uint32_t crc) {
  static const crc_function implementation = pick_implementation();
  return implementation(data, n, crc);
}

}  // namespace ombrel
