#pragma once
// MurmurHash3, x64 128-bit variant: the non-cryptographic hash behind block checksums.
// Pure function, safe from any thread.

#include <cstdint>

namespace ombrel {

// Writes the 128-bit hash of len bytes at key as two 64-bit words (h1, h2) to out.
// The result is defined only for len >= 0; out needs 16 bytes and may be unaligned.
void MurmurHash3_x64_128(const void* key, int len, uint32_t seed, void* out);

}  // namespace ombrel
