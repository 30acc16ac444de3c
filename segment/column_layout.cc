#include "segment/column_layout.h"

#include <fmt/format.h>

#include <algorithm>

#include "native/errors.h"
#include "segment/column_reader.h"
#include "segment/compression.h"

namespace ombrel {

column_layout::column_layout(const column_reader& reader)
    : path_(reader.path()),
      type_(reader.type()),
      fixed_size_(reader.fixed_size()),
      row_count_(reader.row_count()),
      headers_(reader.headers()) {
  const size_t count = headers_.size();
  const uint64_t data_size = reader.data_size();

  // The stored bytes tile the data area exactly.
  sources_.resize(count);
  uint64_t position = 0;
  for (size_t i = 0; i < count; ++i) {
    sources_[i] = position;
    if (headers_[i].stored_size > data_size - position) {
      refuse(fmt::format("block {} of {} stored bytes runs past the data area of {}", i,
                         headers_[i].stored_size, data_size));
    }
    position += headers_[i].stored_size;
  }
  if (position != data_size) {
    refuse(fmt::format("blocks end at {}, the header table starts at {}", position, data_size));
  }

  // The null map: exactly one bit set block, the last, in a nullable column with rows.
  parts_.assign(count, part::values);
  size_t value_headers = count;
  if (reader.nullable() && row_count_ > 0) {
    if (count == 0 || !is_bitset_header(headers_[count - 1])) {
      refuse("the null map block is missing");
    }
    const uint64_t bytes = (uint64_t{row_count_} + 63) / 64 * 8;
    if (headers_[count - 1].size != bytes) {
      refuse_block(count - 1, fmt::format("null map of {} bytes for {} rows",
                                          headers_[count - 1].size, row_count_));
    }
    null_map_ = static_cast<uint32_t>(count - 1);
    parts_[count - 1] = part::nulls;
    value_headers = count - 1;
  }
  const size_t step = fixed_size_ != 0 ? 1 : 2;
  if (value_headers % step != 0) {
    refuse(fmt::format("{} value blocks do not pair data and offsets", value_headers));
  }

  // Each value block holds whole values, no more than the writer puts in a block, so that the
  // sizes add up to what a reader allocates.
  uint64_t offsets_bytes = 0;
  for (size_t i = 0; i < value_headers; ++i) {
    const storage_block_header& header = headers_[i];
    const bool offsets = step == 2 && i % 2 == 1;
    if (is_bitset_header(header)) refuse_block(i, "bit set block among the value blocks");
    const uint64_t value_size = offsets ? sizeof(uint64_t) : fixed_size_;
    if (value_size != 0 && header.size / value_size > max_block_values()) {
      refuse_block(i, fmt::format("{} values claimed, a block holds at most {}",
                                  header.size / value_size, max_block_values()));
    }
    if (offsets) {
      parts_[i] = part::offsets;
      if (header.size % sizeof(uint64_t) != 0) {
        refuse_block(i, fmt::format("offsets block of {} bytes", header.size));
      }
      if (__builtin_add_overflow(offsets_bytes, header.size, &offsets_bytes)) {
        refuse_block(i, "end offset bytes overflow");
      }
    } else if (fixed_size_ != 0 && header.size % fixed_size_ != 0) {
      refuse_block(i, fmt::format("{} bytes of {}-byte values", header.size, fixed_size_));
    } else if (__builtin_add_overflow(data_bytes_, header.size, &data_bytes_)) {
      refuse_block(i, "value bytes overflow");
    }
  }
  if (fixed_size_ != 0) {
    const uint64_t expected = uint64_t{row_count_} * fixed_size_;
    if (data_bytes_ != expected) {
      refuse(fmt::format("value blocks hold {} bytes, {} rows need {}", data_bytes_, row_count_,
                         expected));
    }
  } else if (offsets_bytes != uint64_t{row_count_} * sizeof(uint64_t)) {
    refuse(fmt::format("offsets blocks hold {} bytes for {} rows", offsets_bytes, row_count_));
  }

  // The rows of each value block; they add up to the row count, checked above.
  uint32_t rows = 0;
  uint64_t data_start = 0;
  for (size_t i = 0; i < value_headers; i += step) {
    const uint64_t width = step == 2 ? sizeof(uint64_t) : fixed_size_;
    const auto block_rows = static_cast<uint32_t>(headers_[i + step - 1].size / width);
    if (block_rows > 0) {
      blocks_.push_back({static_cast<uint32_t>(i), rows, block_rows, data_start});
    }
    rows += block_rows;
    if (step == 2) data_start += headers_[i].size;
  }
  if (!blocks_.empty()) {
    rows_per_block_ = blocks_[0].rows;
    for (size_t b = 1; b + 1 < blocks_.size(); ++b) {
      if (blocks_[b].rows != rows_per_block_) rows_per_block_ = 0;
    }
    if (blocks_.size() > 1 && blocks_.back().rows > rows_per_block_) rows_per_block_ = 0;
  }
}

void column_layout::refuse(const std::string& what) const {
  throw errors::error(fmt::format("Bad column file data: {}: {}", path_.string(), what));
}

void column_layout::refuse_block(size_t header, const std::string& what) const {
  throw errors::error(
      fmt::format("Corrupted column block: {}: block {}: {}", path_.string(), header, what));
}

size_t column_layout::block_of(uint64_t row) const {
  if (row >= row_count_) {
    refuse(fmt::format("no row {} in a column of {} rows", row, row_count_));
  }
  if (rows_per_block_ != 0) return std::min<size_t>(row / rows_per_block_, blocks_.size() - 1);
  const auto it = std::upper_bound(blocks_.begin(), blocks_.end(), row,
                                   [](uint64_t r, const block_info& b) { return r < b.first_row; });
  return static_cast<size_t>(it - blocks_.begin()) - 1;
}

}  // namespace ombrel
