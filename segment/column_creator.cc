#include "segment/column_creator.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

#include "model/tuple.h"
#include "native/config.h"
#include "native/errors.h"
#include "native/log.h"
#include "segment/column_file.h"
#include "segment/compression.h"

namespace ombrel {
column_creator::column_creator(const std::filesystem::path& directory,
                               const column_descriptor& descriptor)
    : path_(directory / descriptor.file_name()),
      file_(file::for_writing(path_)),
      type_(descriptor.type),
      fixed_size_(descriptor.size),
      nullable_(descriptor.nullable),
      internal_(descriptor.internal) {}

column_creator::~column_creator() {
  try {
    close();
  } catch (...) {
    logging::detail::log(logging::level::info, "Exception in column_creator: {}",
                         errors::describe(std::current_exception()));
  }
}

void column_creator::reserve_buffers(unsigned rows, size_t value_bytes) {
  if (nullable_) nulls_.reserve(rows);
  if (fixed_size_ != 0) {
    block_.reserve(static_cast<size_t>(rows) * fixed_size_);
  } else {
    block_.reserve(value_bytes);
    offsets_.reserve(rows);
  }
}

void column_creator::add_value(const std::optional<bytes_view>& value) {
  const size_t pending = fixed_size_ != 0 ? block_.size() / fixed_size_ : offsets_.size();
  if (row_count_ + static_cast<uint64_t>(pending) >= UINT32_MAX) {
    throw errors::error("Column file row count overflow: " + path_.string());
  }
  if (fixed_size_ != 0 && value && value->size() < fixed_size_) {
    throw errors::fatal_error("Value of " + std::to_string(value->size()) +
                              " bytes in a column of " + std::to_string(fixed_size_) +
                              "-byte values");
  }
  if (nullable_) nulls_.push_back(!value);
  if (value) {
    if (fixed_size_ != 0) {
      const size_t at = block_.size();
      block_.resize(at + fixed_size_);
      std::memcpy(block_.data() + at, value->data, fixed_size_);
    } else {
      block_.insert(block_.end(), value->begin(), value->end());
      end_offset_ += value->size();
      offsets_.push_back(end_offset_);
    }
  } else if (fixed_size_ != 0) {
    block_.resize(block_.size() + fixed_size_);
  } else {
    offsets_.push_back(end_offset_);
  }
  // Never a block larger than readers accept, even under a hint stored around set_param.
  const uint64_t hint = std::min(
      config::get_config().merge_tree_column_block_size_hint.load(std::memory_order_relaxed),
      config::MAX_COLUMN_BLOCK_SIZE_HINT);
  if (pending + 1 >= hint) flush();
}

namespace {

// Indexes of the first smallest and the first largest of n values.
template <typename T>
storage_block_meta integer_extremes(const std::byte* values, size_t n) {
  storage_block_meta meta;
  if (n == 0) return meta;
  T low;
  T high;
  std::memcpy(&low, values, sizeof(T));
  high = low;
  meta.min_index = 0;
  meta.max_index = 0;
  for (size_t i = 1; i < n; ++i) {
    T v;
    std::memcpy(&v, values + i * sizeof(T), sizeof(T));
    if (v < low) {
      low = v;
      meta.min_index = i;
    }
    if (v > high) {
      high = v;
      meta.max_index = i;
    }
  }
  return meta;
}

}  // namespace

storage_block_meta column_creator::block_meta() const {
  if (type_ == INTERNAL_TYPE) return {};
  const size_t n = fixed_size_ != 0 ? block_.size() / fixed_size_ : offsets_.size();
  if (!nullable_ && fixed_size_ != 0) {
    switch (type_) {
      case INT8:
        return integer_extremes<int8_t>(block_.data(), n);
      case INT16:
        return integer_extremes<int16_t>(block_.data(), n);
      case INT32:
        return integer_extremes<int32_t>(block_.data(), n);
      case INT64:
        return integer_extremes<int64_t>(block_.data(), n);
      default:
        break;
    }
  }
  // Value i of the block is row row_count_ + i of the column.
  const uint64_t data_base = end_offset_ - block_.size();  // column bytes before this block
  auto value = [&](size_t i) {
    if (fixed_size_ != 0) return bytes_view(fixed_size_, block_.data() + i * fixed_size_);
    const uint64_t start = i == 0 ? data_base : offsets_[i - 1];
    return bytes_view(offsets_[i] - start, block_.data() + (start - data_base));
  };
  storage_block_meta meta;
  bytes_view low;
  bytes_view high;
  for (size_t i = 0; i < n; ++i) {
    if (nullable_ && nulls_[row_count_ + i]) continue;
    const bytes_view v = value(i);
    if (meta.min_index == storage_block_meta::NO_INDEX ||
        compare_payload(type_, fixed_size_, low, v) > 0) {
      meta.min_index = i;
      low = v;
    }
    if (meta.max_index == storage_block_meta::NO_INDEX ||
        compare_payload(type_, fixed_size_, high, v) < 0) {
      meta.max_index = i;
      high = v;
    }
  }
  return meta;
}

void column_creator::write_block(bytes_view block, ombrel_type type,
                                 const storage_block_meta& meta) {
  auto [header, stored] = compress(block, type, meta);
  headers_.push_back(header);
  if (header.stored_size != 0) file_.write(stored.get(), header.stored_size);
}

void column_creator::count_rows(uint64_t rows) {
  row_count_ = static_cast<uint32_t>(row_count_ + rows);  // add_value keeps this below 2^32
}

void column_creator::flush() {
  const storage_block_meta meta = block_meta();
  write_block({block_.size(), block_.data()}, type_, meta);
  if (fixed_size_ != 0) {
    count_rows(block_.size() / fixed_size_);
  } else {
    write_block({offsets_.size() * sizeof(uint64_t), reinterpret_cast<std::byte*>(offsets_.data())},
                INT64, meta);
    count_rows(offsets_.size());
  }
  block_.clear();
  offsets_.clear();
}

void column_creator::close() {
  if (!file_.is_open()) return;
  try {
    if (!block_.empty() || !offsets_.empty()) flush();
    if (nullable_ && !nulls_.empty()) {
      const uint64_t tail_bits = nulls_.size() % 64;
      if (tail_bits != 0) {  // bits past the last row are unspecified in memory, zero on disk
        nulls_.data()[nulls_.word_count() - 1] &= (uint64_t{1} << tail_bits) - 1;
      }
      const size_t bytes = nulls_.word_count() * sizeof(uint64_t);
      const auto* words = reinterpret_cast<const std::byte*>(nulls_.data());
      headers_.push_back(make_bitset_header(words, bytes));
      file_.write(words, bytes);
      nulls_.clear();
    }
    if (headers_.size() > UINT32_MAX) {
      throw errors::error("Too many blocks for a column file: " + path_.string());
    }
    std::vector<std::byte> tail(headers_.size() * storage_block_header::SIZE + 8);
    std::byte* out = tail.data();
    for (const storage_block_header& header : headers_) {
      header.serialize(out);
      out += storage_block_header::SIZE;
    }
    const uint32_t trailer[2] = {row_count_, static_cast<uint32_t>(headers_.size())};
    std::memcpy(out, trailer, sizeof(trailer));
    file_.write(tail.data(), tail.size());
  } catch (...) {
    file_.close();
    throw;
  }
  file_.close();
}

}  // namespace ombrel
