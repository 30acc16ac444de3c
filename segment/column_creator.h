#pragma once
// Writes one column file value by value: values gather in a block buffer that is compressed and
// appended whenever MERGE_TREE_COLUMN_BLOCK_SIZE_HINT values are in it; close() appends the null
// map block, the header table and the trailer. Owned and used by one writer thread.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "model/bitset.h"
#include "model/column_descriptor.h"
#include "model/common.h"
#include "model/file.h"
#include "segment/storage_block.h"

namespace ombrel {

class column_creator {
 public:
  // Creates or truncates the column's file in `directory` (named as column_file names it).
  column_creator(const std::filesystem::path& directory, const column_descriptor& descriptor);
  column_creator(column_creator&&) noexcept = default;
  column_creator& operator=(column_creator&&) = delete;
  // Closes the file; a failure is logged ("Exception in column_creator") and swallowed, so a
  // caller that must know calls close() itself.
  ~column_creator();

  // Pre-sizes the buffers for `rows` values holding `value_bytes` bytes (variable-length
  // columns) in all. Capacity only.
  void reserve_buffers(unsigned rows, size_t value_bytes);

  // Appends the next row's value; no value means null. A fixed-size column takes the first
  // `size` bytes of the value: throws errors::fatal_error when the value is shorter.
  // Throws errors::error when the column would exceed 4,294,967,295 values.
  void add_value(const std::optional<bytes_view>& value);

  // Compresses and writes the current block (data and offsets blocks for variable-length
  // columns), even when it is empty.
  void flush();

  // Writes the remaining values, the null map, the header table and the trailer, and closes
  // the file. Does nothing when already closed. Does not sync. On failure the file is closed
  // in its unfinished state and the error propagates.
  void close();

  // Values already flushed.
  uint32_t row_count() const noexcept { return row_count_; }
  const std::vector<storage_block_header>& headers() const noexcept { return headers_; }
  const std::filesystem::path& path() const noexcept { return path_; }

 private:
  // Indexes of the current block's first smallest and first largest value under the typed
  // comparison, nulls skipped; none for the internal columns. Computed once per block rather
  // than per value, so that appending a value costs only its copy.
  storage_block_meta block_meta() const;
  void write_block(bytes_view block, ombrel_type type, const storage_block_meta& meta);
  void count_rows(uint64_t rows);

  std::filesystem::path path_;
  file file_;
  ombrel_type type_;
  uint32_t fixed_size_;
  bool nullable_;
  bool internal_;

  std::vector<std::byte> block_;
  std::vector<uint64_t> offsets_;
  uint64_t end_offset_ = 0;  // value bytes of the whole column so far
  bitset nulls_;
  uint32_t row_count_ = 0;
  std::vector<storage_block_header> headers_;
};

}  // namespace ombrel
