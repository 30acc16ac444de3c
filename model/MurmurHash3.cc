#include "model/MurmurHash3.h"

#include <bit>
#include <cstring>

namespace ombrel {
namespace {

constexpr uint64_t C1 = 0x87c37b91114253d5ull;
constexpr uint64_t C2 = 0x4cf5ad432745937full;

inline uint64_t load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof(v));  // little-endian host
  return v;
}

inline uint64_t mix_k1(uint64_t k1) { return std::rotl(k1 * C1, 31) * C2; }
inline uint64_t mix_k2(uint64_t k2) { return std::rotl(k2 * C2, 33) * C1; }

// Final avalanche: every input bit affects every output bit.
inline uint64_t fmix64(uint64_t k) {
  k ^= k >> 33;
  k *= 0xff51afd7ed558ccdull;
  k ^= k >> 33;
  k *= 0xc4ceb9fe1a85ec53ull;
  k ^= k >> 33;
  return k;
}

}  // namespace

void MurmurHash3_x64_128(const void* key, int len, uint32_t seed, void* out) {
  const auto* data = static_cast<const uint8_t*>(key);
  const int nblocks = len / 16;
  uint64_t h1 = seed;
  uint64_t h2 = seed;

  for (int i = 0; i < nblocks; ++i) {
    const uint8_t* block = data + static_cast<size_t>(i) * 16;
    h1 ^= mix_k1(load64(block));
    h1 = std::rotl(h1, 27) + h2;
    h1 = h1 * 5 + 0x52dce729;
    h2 ^= mix_k2(load64(block + 8));
    h2 = std::rotl(h2, 31) + h1;
    h2 = h2 * 5 + 0x38495ab5;
  }

  // Tail: up to 15 bytes, little-endian into k1 (bytes 0-7) and k2 (bytes 8-14).
  const uint8_t* tail = data + static_cast<size_t>(nblocks > 0 ? nblocks : 0) * 16;
  const int rest = len & 15;
  uint64_t k1 = 0;
  uint64_t k2 = 0;
  for (int i = rest - 1; i >= 8; --i) k2 = (k2 << 8) | tail[i];
  if (rest > 8) h2 ^= mix_k2(k2);
  for (int i = (rest < 8 ? rest : 8) - 1; i >= 0; --i) k1 = (k1 << 8) | tail[i];
  if (rest > 0) h1 ^= mix_k1(k1);

  h1 ^= static_cast<uint64_t>(len);
  h2 ^= static_cast<uint64_t>(len);
  h1 += h2;
  h2 += h1;
  h1 = fmix64(h1);
  h2 = fmix64(h2);
  h1 += h2;
  h2 += h1;

  std::memcpy(out, &h1, sizeof(h1));
  std::memcpy(static_cast<uint8_t*>(out) + sizeof(h1), &h2, sizeof(h2));
}

}  // namespace ombrel
