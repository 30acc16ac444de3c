#pragma once
// The 128-bit checksum stored in column block headers: MurmurHash3 x64 128 with seed 0.
// Pure functions, safe from any thread.

#include <cstddef>
#include <cstdint>
#include <memory>

namespace ombrel {

// The two words in the order the hash produces them.
struct hash_value {
  uint64_t h1 = 0;
  uint64_t h2 = 0;
  friend bool operator==(const hash_value&, const hash_value&) = default;
};

// Hash of `length` bytes at `data` (null allowed when length is 0).
// Throws errors::error when length does not fit the hash's signed 32-bit length.
hash_value calculate_hash(const std::byte* data, size_t length);
hash_value calculate_hash(const std::unique_ptr<std::byte[]>& data, size_t length);

}  // namespace ombrel
