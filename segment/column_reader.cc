#include "segment/column_reader.h"

#include <fmt/format.h>

#include <cstring>
#include <string>
#include <utility>

#include "model/file.h"
#include "native/errors.h"
#include "segment/compression.h"

namespace ombrel {
namespace {

constexpr uint64_t TRAILER_SIZE = 8;

enum class destination : uint8_t { data, offsets, nulls };

}  // namespace

// Where each block goes and how large the decoded buffers are.
struct column_reader::layout {
  std::vector<destination> destinations;  // one per header
  std::vector<uint64_t> sources;          // offset of each block's stored bytes
  uint64_t data_bytes = 0;
};

column_reader::column_reader(const column_file& cf)
    : path_(cf.path()),
      type_(cf.descriptor.type),
      fixed_size_(cf.descriptor.size),
      nullable_(cf.descriptor.nullable),
      internal_(cf.descriptor.internal) {
  const file f = file::for_reading(path_);
  const uint64_t size = f.size();
  if (size < TRAILER_SIZE) {
    throw errors::error("Invalid column file content: " + path_.string());
  }
  uint32_t trailer[2];
  f.read(size - TRAILER_SIZE, trailer, sizeof(trailer));
  row_count_ = trailer[0];
  const uint64_t count = trailer[1];
  if (size < count * storage_block_header::SIZE + TRAILER_SIZE) {
    throw errors::error("Bad column file data: " + path_.string());
  }
  data_size_ = size - count * storage_block_header::SIZE - TRAILER_SIZE;
  std::vector<std::byte> table(count * storage_block_header::SIZE);
  f.read(data_size_, table.data(), table.size());
  headers_.reserve(count);
  for (uint64_t i = 0; i < count; ++i) {
    headers_.push_back(
        storage_block_header::deserialize(table.data() + i * storage_block_header::SIZE));
  }
}

void column_reader::clear() noexcept {
  loaded_ = false;
  data_.reset();
  offsets_.reset();
  nulls_.clear();
}

void column_reader::refuse_table(const std::string& what) const {
  throw errors::error(fmt::format("Bad column file data: {}: {}", path_.string(), what));
}

void column_reader::check_hashes(const std::byte* source, size_t last) const {
  uint64_t position = 0;
  for (size_t j = 0; j <= last; ++j) {
    const storage_block_header& header = headers_[j];
    if (calculate_hash(source + position, header.stored_size) != header.hash) {
      throw errors::error("Block hash mismatch!");
    }
    position += header.stored_size;
  }
}

void column_reader::refuse(const std::byte* source, size_t i, const std::string& what) const {
  check_hashes(source, i);
  throw errors::error(
      fmt::format("Corrupted column block: {}: block {}: {}", path_.string(), i, what));
}

column_reader::layout column_reader::plan(const std::byte* source) const {
  const size_t count = headers_.size();
  layout result;
  result.destinations.resize(count, destination::data);
  result.sources.resize(count);

  // The stored bytes tile the data area exactly.
  uint64_t position = 0;
  for (size_t i = 0; i < count; ++i) {
    result.sources[i] = position;
    if (headers_[i].stored_size > data_size_ - position) {
      refuse_table(fmt::format("block {} of {} stored bytes runs past the data area of {}", i,
                               headers_[i].stored_size, data_size_));
    }
    position += headers_[i].stored_size;
  }
  if (position != data_size_) {
    refuse_table(
        fmt::format("blocks end at {}, the header table starts at {}", position, data_size_));
  }

  // The null map: exactly one bit set block, the last, in a nullable column with rows.
  size_t value_blocks = count;
  if (nullable_ && row_count_ > 0) {
    const uint64_t bytes = (uint64_t{row_count_} + 63) / 64 * 8;
    if (count == 0 || !is_bitset_header(headers_[count - 1])) {
      refuse_table("the null map block is missing");
    }
    if (headers_[count - 1].size != bytes) {
      refuse(source, count - 1,
             fmt::format("null map of {} bytes for {} rows", headers_[count - 1].size, row_count_));
    }
    value_blocks = count - 1;
    result.destinations[count - 1] = destination::nulls;
  }
  if (fixed_size_ == 0 && value_blocks % 2 != 0) {
    refuse_table(fmt::format("{} value blocks do not pair data and offsets", value_blocks));
  }

  uint64_t offsets_bytes = 0;
  for (size_t i = 0; i < count; ++i) {
    const storage_block_header& header = headers_[i];
    const bool offsets = fixed_size_ == 0 && i % 2 == 1 && i < value_blocks;
    const ombrel_type type = offsets ? INT64 : type_;
    const std::byte* block = source + result.sources[i];
    if (i < value_blocks && is_bitset_header(header)) {
      refuse(source, i, "bit set block among the value blocks");
    }
    try {
      check_block_shape(block, type, header);
    } catch (const corrupted_block_error& e) {
      refuse(source, i, e.detail());
    } catch (const errors::error&) {
      check_hashes(source, i);
      throw;
    }
    if (i >= value_blocks) continue;
    // No more values than the writer puts in a block: the sizes add up to what is allocated.
    const uint64_t value_size = offsets ? sizeof(uint64_t) : fixed_size_;
    if (value_size != 0 && header.size / value_size > max_block_values()) {
      refuse(source, i,
             fmt::format("{} values claimed, a block holds at most {}", header.size / value_size,
                         max_block_values()));
    }
    if (offsets) {
      result.destinations[i] = destination::offsets;
      if (header.size % sizeof(uint64_t) != 0) {
        refuse(source, i, fmt::format("offsets block of {} bytes", header.size));
      }
      if (__builtin_add_overflow(offsets_bytes, header.size, &offsets_bytes)) {
        refuse(source, i, "end offset bytes overflow");
      }
    } else if (fixed_size_ != 0 && header.size % fixed_size_ != 0) {
      refuse(source, i, fmt::format("{} bytes of {}-byte values", header.size, fixed_size_));
    } else if (__builtin_add_overflow(result.data_bytes, header.size, &result.data_bytes)) {
      refuse(source, i, "value bytes overflow");
    }
  }

  if (fixed_size_ != 0) {
    const uint64_t expected = uint64_t{row_count_} * fixed_size_;
    if (result.data_bytes != expected) {
      refuse_table(fmt::format("value blocks hold {} bytes, {} rows need {}", result.data_bytes,
                               row_count_, expected));
    }
  } else if (offsets_bytes != uint64_t{row_count_} * sizeof(uint64_t)) {
    refuse_table(
        fmt::format("offsets blocks hold {} bytes for {} rows", offsets_bytes, row_count_));
  }
  return result;
}

void column_reader::read_file_and_decompress() {
  clear();
  std::unique_ptr<std::byte[]> source;
  {
    const file f = file::for_reading(path_);
    source = std::make_unique_for_overwrite<std::byte[]>(data_size_);
    f.read(0, source.get(), data_size_);
  }
  const layout blocks = plan(source.get());

  // Every byte of these is written by exactly one block (the plan checked the sizes).
  auto data = std::make_unique_for_overwrite<std::byte[]>(std::max<uint64_t>(blocks.data_bytes, 1));
  std::unique_ptr<uint64_t[]> offsets;
  if (fixed_size_ == 0) offsets = std::make_unique_for_overwrite<uint64_t[]>(row_count_);
  bitset nulls;
  if (nullable_) nulls.assign(row_count_, false);

  std::byte* data_cursor = data.get();
  auto* offsets_cursor = reinterpret_cast<std::byte*>(offsets.get());
  for (size_t i = 0; i < headers_.size(); ++i) {
    const storage_block_header& header = headers_[i];
    std::byte* target = nullptr;
    ombrel_type type = type_;
    switch (blocks.destinations[i]) {
      case destination::nulls:
        target = reinterpret_cast<std::byte*>(nulls.data());
        break;
      case destination::offsets:
        target = offsets_cursor;
        offsets_cursor += header.size;
        type = INT64;
        break;
      case destination::data:
        target = data_cursor;
        data_cursor += header.size;
        break;
    }
    try {
      decompress(target, source.get() + blocks.sources[i], type, header);
    } catch (const corrupted_block_error& e) {
      throw errors::error(
          fmt::format("Corrupted column block: {}: block {}: {}", path_.string(), i, e.detail()));
    }
  }

  if (fixed_size_ == 0) {
    // Value r spans [offsets[r-1], offsets[r]): the ends must rise and stop at the data's end.
    uint64_t previous = 0;
    for (uint32_t r = 0; r < row_count_; ++r) {
      if (offsets[r] < previous) {
        throw errors::error(
            fmt::format("Corrupted column block: {}: end offset {} of row {} "
                        "lies before the previous one {}",
                        path_.string(), offsets[r], r, previous));
      }
      previous = offsets[r];
    }
    if (previous != blocks.data_bytes) {
      throw errors::error(
          fmt::format("Corrupted column block: {}: end offsets reach {}, the data holds {} bytes",
                      path_.string(), previous, blocks.data_bytes));
    }
  }

  data_ = std::move(data);
  offsets_ = std::move(offsets);
  nulls_ = std::move(nulls);
  loaded_ = true;
}

}  // namespace ombrel
