#pragma once
// Point reads of a column file one block at a time: read_value_block, read_point_block and
// read_null_map read and decode one block located by the column's layout, for searches that
// touch a few rows. Decoded blocks are immutable and shared freely (the segment cache keeps
// them).

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>

#include "model/common.h"
#include "segment/column_layout.h"
#include "segment/oroch.h"

namespace ombrel {

// Scratch for one value that a point-form block computes rather than holds.
struct value_scratch {
  alignas(8) std::byte bytes[8];
};

// What the segment cache holds: anything that can say how many bytes it keeps.
struct cache_entry {
  virtual ~cache_entry() = default;
  // Heap bytes held, for the cache's budget.
  virtual uint64_t memory() const = 0;
};

// One decoded value block (rows [first_row, first_row + rows)), or a null map of those rows (the
// map's words in `data`, bit i for row first_row + i; a column's whole map starts at row 0). A
// point-form block (read_point_block) may instead keep its integer values or end offsets coded,
// each read from its bit position.
struct decoded_block final : cache_entry {
  uint32_t first_row = 0;
  uint32_t rows = 0;
  uint32_t fixed_size = 0;  // 0 for variable-length values
  uint64_t data_size = 0;
  std::unique_ptr<std::byte[]> data;
  std::unique_ptr<uint64_t[]> ends;  // variable-length: end of each value within data
  // Point form: the verified stored bytes that `values` or `coded_ends` read, and where the
  // values' bytes lie when they were stored raw (the data block of a variable-length pair).
  std::unique_ptr<std::byte[]> stored;
  uint64_t stored_size = 0;
  const std::byte* raw = nullptr;
  uint64_t data_start = 0;  // column bytes before this block's data, for coded end offsets
  std::optional<oroch::value_picker> coded_values;
  std::optional<oroch::value_picker> coded_ends;

  bool contains(uint64_t row) const { return row - first_row < rows; }
  // REQUIRES: contains(row), a value block not in point form.
  bytes_view value(uint64_t row) const {
    const uint64_t i = row - first_row;
    if (fixed_size != 0) return bytes_view(fixed_size, data.get() + i * fixed_size);
    const uint64_t start = i == 0 ? 0 : ends[i - 1];
    return bytes_view(ends[i] - start, data.get() + start);
  }
  // Either form; the view may point into `scratch`. REQUIRES: contains(row), a value block.
  bytes_view value(uint64_t row, value_scratch& scratch) const {
    const uint64_t i = row - first_row;
    if (coded_values) {
      const uint64_t bits = coded_values->bits(i);
      std::memcpy(scratch.bytes, &bits, fixed_size);  // little-endian: the low bytes
      return bytes_view(fixed_size, scratch.bytes);
    }
    const std::byte* base = raw != nullptr ? raw : data.get();
    if (fixed_size != 0) return bytes_view(fixed_size, base + i * fixed_size);
    if (!coded_ends) {
      const uint64_t start = i == 0 ? 0 : ends[i - 1];
      return bytes_view(ends[i] - start, base + start);
    }
    const uint64_t start = i == 0 ? 0 : coded_ends->bits(i - 1) - data_start;
    return bytes_view(coded_ends->bits(i) - data_start - start, base + start);
  }
  // REQUIRES: contains(row), a null map.
  bool bit(uint64_t row) const {
    const uint64_t i = row - first_row;
    uint64_t word;
    std::memcpy(&word, data.get() + i / 64 * 8, 8);
    return (word >> (i % 64)) & 1;
  }
  uint64_t memory() const override;
};

// Reads and decodes value block `block` of the column (both blocks of a variable-length pair).
// Throws the hash and decoding errors of the column files, errors::error "Corrupted column
// block: " + path + ... for offsets that leave the block, errors::system_error for I/O.
std::shared_ptr<const decoded_block> read_value_block(const column_layout& layout, size_t block);
// The same block for point reads, hash-verified and checked as read_value_block does, with the
// same errors: raw values are kept as stored, constant, plain and bit-packed integers (and end
// offsets) stay coded, so the block costs its stored size and no whole decode; other blocks are
// decoded whole.
std::shared_ptr<const decoded_block> read_point_block(const column_layout& layout, size_t block);
// Reads the column's null map. REQUIRES: layout.has_null_map().
std::shared_ptr<const decoded_block> read_null_map(const column_layout& layout);
// The bits of rows [first_row, first_row + rows) of a whole null map, clipped to its rows.
std::shared_ptr<const decoded_block> slice_null_map(const decoded_block& map, uint32_t first_row,
                                                    uint32_t rows);
// Blocks read by the three functions above since the process started (for tests and
// benchmarks).
uint64_t decoded_block_count();

}  // namespace ombrel
