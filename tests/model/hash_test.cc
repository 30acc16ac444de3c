#include "model/hash.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "model/MurmurHash3.h"
#include "native/errors.h"

namespace ombrel {
namespace {

TEST(HashTest, MurmurHash3MatchesReferenceVerificationValue) {
  // Hash keys {}, {0}, {0, 1}, ... {0..254} with seed 256 - length, hash the concatenated
  // results with seed 0 and read the first four bytes as a little-endian word.
  uint8_t key[256];
  uint8_t hashes[256 * 16];
  for (int len = 0; len < 256; ++len) {
    key[len] = static_cast<uint8_t>(len);
    MurmurHash3_x64_128(key, len, static_cast<uint32_t>(256 - len), hashes + len * 16);
  }
  uint8_t final_hash[16];
  MurmurHash3_x64_128(hashes, sizeof(hashes), 0, final_hash);
  const uint32_t verification = final_hash[0] | (final_hash[1] << 8) | (final_hash[2] << 16) |
                                (static_cast<uint32_t>(final_hash[3]) << 24);
  EXPECT_EQ(verification, 0x6384BA69u);
}

TEST(HashTest, WordsComeInTheHashOrderWithSeedZeroWhateverTheAlignment) {
  std::vector<std::byte> data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = std::byte(i * 7 + 3);
  for (size_t len : {1u, 15u, 16u, 17u, 31u, 32u, 999u}) {
    uint64_t words[2];
    MurmurHash3_x64_128(data.data(), static_cast<int>(len), 0, words);
    EXPECT_EQ(calculate_hash(data.data(), len), (hash_value{words[0], words[1]})) << len;
  }
  EXPECT_EQ(calculate_hash(nullptr, 0), (hash_value{0, 0}));
  // Unaligned input hashes the same.
  std::vector<std::byte> shifted(data.size() + 8);
  for (size_t offset = 1; offset < 8; ++offset) {
    std::memcpy(shifted.data() + offset, data.data(), 999);
    EXPECT_EQ(calculate_hash(shifted.data() + offset, 999), calculate_hash(data.data(), 999));
  }
  // A length beyond a signed int is refused before any byte is read: no buffer is needed.
  EXPECT_THROW(calculate_hash(nullptr, size_t{INT_MAX} + 1), errors::error);
}

}  // namespace
}  // namespace ombrel
