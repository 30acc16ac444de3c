#pragma once
// Reads one column file: the constructor reads the trailer and the header table; on request the
// whole column is read and decoded into one contiguous array (plus end offsets and the null
// map), addressed by row number. Filled by one thread; once loaded, read-only for any thread.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "model/bitset.h"
#include "model/common.h"
#include "model/ombrel_type_info.h"
#include "segment/column_file.h"
#include "segment/storage_block.h"

namespace ombrel {

class column_reader {
 public:
  // Reads the trailer and the header table of cf's file. Throws errors::error "Invalid column
  // file content: " + path when the file is shorter than its trailer, "Bad column file data: "
  // + path when it is shorter than its header table; errors::system_error for I/O failures.
  explicit column_reader(const column_file& cf);
  column_reader(column_reader&&) noexcept = default;
  column_reader& operator=(column_reader&&) noexcept = default;

  // Reads and decodes every block. Refuses a file whose blocks do not make up exactly the
  // column that the trailer describes, before allocating for it: "Bad column file data: " +
  // path + what is wrong for an inconsistent header table, "Corrupted column block: " + path +
  // the block for a block that cannot decode to its size or claims more values than a block
  // holds (max_block_values()), the decompress errors ("Block hash mismatch!", ...)
  // unchanged. After a failure the reader holds no data (as after clear()).
  void read_file_and_decompress();

  // Releases the decoded data; the headers stay.
  void clear() noexcept;

  bool loaded() const noexcept { return loaded_; }
  uint32_t row_count() const noexcept { return row_count_; }
  ombrel_type type() const noexcept { return type_; }
  uint32_t fixed_size() const noexcept { return fixed_size_; }
  bool nullable() const noexcept { return nullable_; }
  bool internal() const noexcept { return internal_; }
  const std::filesystem::path& path() const noexcept { return path_; }
  // Where the header table starts: the sum of the blocks' stored sizes.
  uint64_t data_size() const noexcept { return data_size_; }
  const std::vector<storage_block_header>& headers() const noexcept { return headers_; }

  // The decoded column; null before loading. Fixed-size: row r at data() + r * fixed_size().
  // Variable-length: row r spans [offsets()[r-1] (0 for row 0), offsets()[r]) of data();
  // the offsets are checked to be non-decreasing and to end at the data's size.
  const std::byte* data() const noexcept { return data_.get(); }
  const uint64_t* offsets() const noexcept { return offsets_.get(); }
  // One bit per row, set for null (nullable columns only; empty otherwise).
  const bitset& nulls() const noexcept { return nulls_; }

  // REQUIRES: loaded() and row < row_count().
  bool is_null(uint32_t row) const noexcept {
    return nullable_ && row < nulls_.size() && nulls_[row];
  }
  // The value of `row`, empty for null. Valid while the reader is loaded.
  // REQUIRES: loaded() and row < row_count().
  std::optional<bytes_view> value(uint32_t row) const noexcept {
    if (is_null(row)) return std::nullopt;
    if (fixed_size_ != 0) {
      return bytes_view(fixed_size_, data_.get() + static_cast<size_t>(row) * fixed_size_);
    }
    const uint64_t start = row == 0 ? 0 : offsets_[row - 1];
    return bytes_view(offsets_[row] - start, data_.get() + start);
  }

 private:
  struct layout;

  // The destinations of the blocks, checked against each other, the trailer and `source`.
  layout plan(const std::byte* source) const;
  // Throws "Block hash mismatch!" when a block in [0, last] fails its hash. REQUIRES: the
  // blocks' stored bytes tile `source`.
  void check_hashes(const std::byte* source, size_t last) const;
  // Raises the error for block i with `what` wrong, preferring the hash error of any block up
  // to i, as decoding them in order would.
  [[noreturn]] void refuse(const std::byte* source, size_t i, const std::string& what) const;
  [[noreturn]] void refuse_table(const std::string& what) const;

  std::filesystem::path path_;
  ombrel_type type_;
  uint32_t fixed_size_;
  bool nullable_;
  bool internal_;
  uint32_t row_count_ = 0;
  uint64_t data_size_ = 0;
  std::vector<storage_block_header> headers_;

  bool loaded_ = false;
  std::unique_ptr<std::byte[]> data_;
  std::unique_ptr<uint64_t[]> offsets_;
  bitset nulls_;
};

}  // namespace ombrel
