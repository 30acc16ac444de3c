#pragma once
// CRC-32C (Castagnoli) for layout file checksums: initial value all ones, final inversion.
// Uses the SSE4.2 crc32 instruction when the processor has it, else a table-driven loop.
// Pure functions, safe from any thread.

#include <cstddef>
#include <cstdint>

namespace ombrel {

// CRC-32C of n bytes. Chainable: crc32c(b, nb, crc32c(a, na)) is the CRC of a followed by b.
uint32_t crc32c(const void* data, size_t n, uint32_t crc = 0);

namespace detail {

// The two implementations behind crc32c(), same contract; exposed for tests and benchmarks.
uint32_t crc32c_portable(const void* data, size_t n, uint32_t crc = 0);
// REQUIRES: crc32c_hardware_available().
uint32_t crc32c_hardware(const void* data, size_t n, uint32_t crc = 0);
bool crc32c_hardware_available();

}  // namespace detail
}  // namespace ombrel
