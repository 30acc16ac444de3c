// Feeds arbitrary blocks to decompress with a matching hash, so that the decoders themselves are
// reached. Input: byte 0 picks the column type (bit 7: compress mode), byte 1 the method, bytes
// 2-5 the claimed size (little-endian, capped), the rest the stored bytes. A block that decodes
// must compress and decode back to the same bytes; compress mode round-trips the rest as a block.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

#include "model/column_descriptor.h"
#include "model/hash.h"
#include "native/errors.h"
#include "segment/compression.h"

namespace {

using namespace ombrel;

constexpr ombrel_type TYPES[] = {INT8, INT16, INT32, INT64, STRING, DOUBLE, INTERNAL_TYPE, BOOL};

void round_trip(const std::byte* data, size_t size, ombrel_type type) {
  auto [header, stored] = compress({size, data}, type, {});
  std::vector<std::byte> out(header.size);
  decompress(out.data(), stored.get(), type, header);
  if (header.size != size || (size != 0 && std::memcmp(out.data(), data, size) != 0)) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  const ombrel_type type = TYPES[data[0] % std::size(TYPES)];
  const auto* rest = reinterpret_cast<const std::byte*>(data + 6);
  const size_t rest_size = size - 6;
  if (data[0] & 0x80) {
    round_trip(rest, rest_size, type);
    return 0;
  }
  uint32_t claimed;
  std::memcpy(&claimed, data + 2, 4);
  storage_block_header header;
  header.method = data[1] % 5;
  header.size = claimed % (1u << 20);  // the destination is allocated for real
  header.stored_size = rest_size;
  // An exact-size copy, so that reading past the stored bytes is caught.
  std::vector<std::byte> stored(rest, rest + rest_size);
  header.hash = calculate_hash(stored.data(), stored.size());
  std::vector<std::byte> out(header.size);
  try {
    decompress(out.data(), stored.data(), type, header);
  } catch (const errors::error&) {
    return 0;
  }
  round_trip(out.data(), out.size(), type);
  return 0;
}
