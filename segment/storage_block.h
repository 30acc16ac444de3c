#pragma once
// The 56-byte record that describes one stored block of a column file: its sizes, how it was
// compressed, where the block's extreme values lie and the checksum of its stored bytes.
// Plain values; safe to copy and read from any thread.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "model/hash.h"

namespace ombrel {

// Indexes within a block of its smallest and largest value; NO_INDEX when there is none.
struct storage_block_meta {
  static constexpr uint64_t NO_INDEX = ~uint64_t{0};

  uint64_t min_index = NO_INDEX;
  uint64_t max_index = NO_INDEX;

  friend bool operator==(const storage_block_meta&, const storage_block_meta&) = default;
};

// Stored method numbers of a block.
enum block_method : uint64_t {
  METHOD_RAW = 0,            // stored bytes are the block
  METHOD_LZ4 = 1,            // LZ4 block format
  METHOD_INTEGER_CODEC = 2,  // oroch integer codec
  METHOD_BITSET = 3,         // null map words, stored as they are
};

struct storage_block_header {
  // Bytes of one serialised header.
  static constexpr size_t SIZE = 56;

  uint64_t size = 0;         // bytes of the block before compression
  uint64_t stored_size = 0;  // bytes of the block in the file
  uint64_t method = METHOD_RAW;
  storage_block_meta meta;
  hash_value hash;  // calculate_hash of the stored bytes

  // Writes the SIZE bytes of the file form: seven little-endian 64-bit words in field order.
  void serialize(std::byte* out) const {
    const uint64_t words[7] = {size,           stored_size, method, meta.min_index,
                               meta.max_index, hash.h1,     hash.h2};
    std::memcpy(out, words, SIZE);
  }

  // Reads the SIZE bytes at `in`; every bit pattern is accepted (validation is the reader's).
  static storage_block_header deserialize(const std::byte* in) {
    uint64_t words[7];
    std::memcpy(words, in, SIZE);
    return {words[0], words[1], words[2], {words[3], words[4]}, {words[5], words[6]}};
  }

  friend bool operator==(const storage_block_header&, const storage_block_header&) = default;
};

static_assert(std::endian::native == std::endian::little, "column files are little-endian");

}  // namespace ombrel
