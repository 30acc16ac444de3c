#pragma once
// Block compression of column files: each block is stored raw, as LZ4 or, for signed integer
// columns, with the oroch integer codec, whichever is smallest, and is checked by a 128-bit hash.
// Pure functions apart from reading the configuration switches; safe on any thread.

#include <cstddef>
#include <memory>
#include <string>
#include <utility>

#include "model/common.h"
#include "model/ombrel_type_info.h"
#include "native/errors.h"
#include "segment/storage_block.h"

namespace ombrel {

// A block whose stored bytes cannot be what its header claims (sizes, codec metadata, bit widths,
// exception positions). what() is "Corrupted column block: " followed by detail().
class corrupted_block_error : public errors::error {
 public:
  explicit corrupted_block_error(const std::string& detail)
      : errors::error("Corrupted column block: " + detail), detail_(detail) {}

  const std::string& detail() const noexcept { return detail_; }

 private:
  std::string detail_;
};

// The header of `block` and its stored bytes (header.stored_size of them; null when the block
// is empty). The method is chosen under ENABLE_LZ4_COMPRESSION and ENABLE_OROCH_COMPRESSION,
// read on every call; the integer codec is tried only for INT8, INT16, INT32 and INT64.
// `meta` is copied into the header of a non-empty block.
std::pair<storage_block_header, std::unique_ptr<std::byte[]>> compress(bytes_view block,
                                                                       ombrel_type type,
                                                                       storage_block_meta meta);

// Restores header.size bytes at `destination` from the header.stored_size bytes at `source`.
// Never reads or writes outside those two ranges. Throws errors::error: "Block hash mismatch!"
// (checked first), "Unsupported data type for integer compression", "Unsupported compression
// method", the two LZ4 messages, or corrupted_block_error. `destination` may then be partly
// written.
void decompress(std::byte* destination, const std::byte* source, ombrel_type type,
                const storage_block_header& header);

// The checks decompress makes before it decodes: a stored size the hash can cover, then the
// hash ("Block hash mismatch!"). Bytes that passed may be trusted as the block's.
void verify_block(const std::byte* source, const storage_block_header& header);
// decompress without the checks of verify_block. REQUIRES: verify_block passed on `source`.
void decompress_verified(std::byte* destination, const std::byte* source, ombrel_type type,
                         const storage_block_header& header);

// The checks of decompress that need no hash and no output: whether the stored bytes can
// decode to header.size bytes under the header's method, and an integer-coded block to at most
// max_block_values() values. Lets a reader refuse a lying size before it allocates. Throws as
// decompress does (except for the hash and LZ4's own checks).
void check_block_shape(const std::byte* source, ombrel_type type,
                       const storage_block_header& header);

// {bytes, bytes, METHOD_BITSET, no indexes, hash of the bytes}: the null map block.
storage_block_header make_bitset_header(const std::byte* words, size_t bytes);

inline bool is_bitset_header(const storage_block_header& header) {
  return header.method == METHOD_BITSET;
}

// The most values a column block holds: config::MAX_COLUMN_BLOCK_SIZE_HINT, the largest hint
// at which a writer cuts blocks. Not the current hint, so that lowering it keeps older files
// readable. A reader refuses larger claims before allocating for them.
uint64_t max_block_values();

// Whether the integer codec applies to columns of `type`.
bool is_integer_codec_type(ombrel_type type);

}  // namespace ombrel
