#pragma once
// The layout of one column file, the one place that checks it: where each block's stored bytes
// lie, which blocks hold values, end offsets and the null map, and which rows each value block
// holds. Built from a reader's trailer and header table before anything is decoded, so that
// both the whole-column reader and the block reader refuse the same files with the same
// messages. Immutable; shared freely.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "model/ombrel_type_info.h"
#include "segment/storage_block.h"

namespace ombrel {

class column_reader;

class column_layout {
 public:
  // What a block decodes to.
  enum class part : uint8_t { values, offsets, nulls };

  // One value block: a fixed-size block, or a data block with its offsets block.
  struct block_info {
    uint32_t header = 0;      // header index of the (data) block
    uint32_t first_row = 0;   // row number of its first value
    uint32_t rows = 0;        // values in it
    uint64_t data_start = 0;  // variable-length: column bytes before its data
  };

  // From a reader constructed on the file (trailer and header table only). Throws errors::error
  // "Bad column file data: " + path + ": " + what is wrong when the header table does not
  // describe the column of the trailer (the stored bytes do not tile the data area, the null
  // map is missing, data and offsets blocks do not pair, the blocks do not hold the rows),
  // "Corrupted column block: " + path + ": block " + i + ": " + what is wrong when one block's
  // header cannot be right (a bit set among the value blocks, a null map of the wrong size,
  // partial values, more values than a block holds: max_block_values()).
  explicit column_layout(const column_reader& reader);

  const std::filesystem::path& path() const { return path_; }
  ombrel_type type() const { return type_; }
  uint32_t fixed_size() const { return fixed_size_; }
  uint32_t row_count() const { return row_count_; }
  const std::vector<storage_block_header>& headers() const { return headers_; }
  // Offset in the file of each header's stored bytes.
  uint64_t source(size_t header) const { return sources_[header]; }
  part part_of(size_t header) const { return parts_[header]; }
  // The type a header's block is decoded as: INT64 for end offsets, the column's otherwise.
  ombrel_type decoded_type(size_t header) const {
    return parts_[header] == part::offsets ? INT64 : type_;
  }
  // Decoded bytes of all value (data) blocks together.
  uint64_t data_bytes() const { return data_bytes_; }

  size_t block_count() const { return blocks_.size(); }
  const block_info& block(size_t i) const { return blocks_[i]; }
  // The value block holding `row`. Throws errors::error "Bad column file data: " + path when
  // the column has no such row.
  size_t block_of(uint64_t row) const;

  bool has_null_map() const { return null_map_ != NO_NULL_MAP; }
  uint32_t null_map_header() const { return null_map_; }

  // Throws errors::error "Corrupted column block: " + path + ": block " + i + ": " + what.
  [[noreturn]] void refuse_block(size_t header, const std::string& what) const;

 private:
  static constexpr uint32_t NO_NULL_MAP = ~uint32_t{0};
  [[noreturn]] void refuse(const std::string& what) const;

  std::filesystem::path path_;
  ombrel_type type_;
  uint32_t fixed_size_;
  uint32_t row_count_;
  std::vector<storage_block_header> headers_;
  std::vector<uint64_t> sources_;
  std::vector<part> parts_;
  std::vector<block_info> blocks_;
  uint64_t data_bytes_ = 0;
  uint32_t rows_per_block_ = 0;  // when every block but the last holds this many; else 0
  uint32_t null_map_ = NO_NULL_MAP;
};

}  // namespace ombrel
