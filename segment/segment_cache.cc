#include "segment/segment_cache.h"

#include <fmt/format.h>

#include <algorithm>
#include <string>
#include <utility>

#include "model/file.h"
#include "model/hash.h"
#include "native/config.h"
#include "native/errors.h"
#include "segment/compression.h"

namespace ombrel {
namespace {

std::atomic<uint64_t> g_decoded_blocks{0};

// Bytes an entry costs beyond its buffers: the block object, its control block and the
// cache's list and map nodes.
constexpr uint64_t ENTRY_OVERHEAD = 192;

std::unique_ptr<std::byte[]> read_stored(const column_layout& layout, uint64_t offset,
                                         uint64_t bytes) {
  auto source = std::make_unique_for_overwrite<std::byte[]>(std::max<uint64_t>(bytes, 1));
  file::for_reading(layout.path()).read(offset, source.get(), bytes);
  return source;
}

[[noreturn]] void refuse_block(const column_layout& layout, size_t header,
                               const std::string& what) {
  throw errors::error(fmt::format("Corrupted column block: {}: block {}: {}",
                                  layout.path().string(), header, what));
}

// Refuses a block that cannot decode to its size before anything is allocated for it; a
// block that fails its hash is reported as such first, as decoding it would.
void check_shape(const column_layout& layout, size_t header, const std::byte* source,
                 ombrel_type type) {
  const storage_block_header& h = layout.headers()[header];
  try {
    check_block_shape(source, type, h);
  } catch (const errors::error& e) {
    if (calculate_hash(source, std::min<uint64_t>(h.stored_size, INT32_MAX)) != h.hash) {
      throw errors::error("Block hash mismatch!");
    }
    if (const auto* corrupted = dynamic_cast<const corrupted_block_error*>(&e)) {
      refuse_block(layout, header, corrupted->detail());
    }
    throw;
  }
}

void decode(const column_layout& layout, size_t header, std::byte* destination,
            const std::byte* source, ombrel_type type) {
  try {
    decompress(destination, source, type, layout.headers()[header]);
  } catch (const corrupted_block_error& e) {
    refuse_block(layout, header, e.detail());
  }
}

}  // namespace

// ---- column_layout ----

column_layout::column_layout(const column_reader& reader)
    : path_(reader.path()),
      type_(reader.type()),
      fixed_size_(reader.fixed_size()),
      row_count_(reader.row_count()),
      headers_(reader.headers()) {
  const size_t count = headers_.size();
  const uint64_t data_size = reader.data_size();
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

  size_t value_headers = count;
  if (reader.nullable() && row_count_ > 0) {
    const uint64_t bytes = (uint64_t{row_count_} + 63) / 64 * 8;
    if (count == 0 || !is_bitset_header(headers_[count - 1]) || headers_[count - 1].size != bytes) {
      refuse("the null map block is missing or has the wrong size");
    }
    null_map_ = static_cast<uint32_t>(count - 1);
    value_headers = count - 1;
  }
  const size_t step = fixed_size_ != 0 ? 1 : 2;
  if (value_headers % step != 0) {
    refuse(fmt::format("{} value blocks do not pair data and offsets", value_headers));
  }

  uint64_t rows = 0;
  uint64_t data_start = 0;
  for (size_t i = 0; i < value_headers; i += step) {
    if (is_bitset_header(headers_[i]) || is_bitset_header(headers_[i + step - 1])) {
      refuse(fmt::format("bit set block {} among the value blocks", i));
    }
    const uint64_t divisor = fixed_size_ != 0 ? fixed_size_ : sizeof(uint64_t);
    const uint64_t size = headers_[i + step - 1].size;
    if (size % divisor != 0) {
      refuse(fmt::format("block {} of {} bytes does not hold whole values", i + step - 1, size));
    }
    const uint64_t block_rows = size / divisor;
    if (block_rows > uint64_t{row_count_} - rows) {
      refuse(fmt::format("blocks hold more than the {} rows of the column", row_count_));
    }
    if (block_rows > 0) {
      blocks_.push_back({static_cast<uint32_t>(i), static_cast<uint32_t>(rows),
                         static_cast<uint32_t>(block_rows), data_start});
    }
    rows += block_rows;
    if (step == 2 && __builtin_add_overflow(data_start, headers_[i].size, &data_start)) {
      refuse("value bytes overflow");
    }
  }
  if (rows != row_count_) {
    refuse(fmt::format("blocks hold {} rows, the column {}", rows, row_count_));
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

size_t column_layout::block_of(uint64_t row) const {
  if (row >= row_count_) {
    refuse(fmt::format("no row {} in a column of {} rows", row, row_count_));
  }
  if (rows_per_block_ != 0) return std::min<size_t>(row / rows_per_block_, blocks_.size() - 1);
  const auto it = std::upper_bound(blocks_.begin(), blocks_.end(), row,
                                   [](uint64_t r, const block_info& b) { return r < b.first_row; });
  return static_cast<size_t>(it - blocks_.begin()) - 1;
}

// ---- decoded blocks ----

uint64_t decoded_block::memory() const {
  return ENTRY_OVERHEAD + data_size + (ends ? uint64_t{rows} * sizeof(uint64_t) : 0);
}

uint64_t decoded_block_count() { return g_decoded_blocks.load(std::memory_order_relaxed); }

std::shared_ptr<const decoded_block> read_value_block(const column_layout& layout, size_t b) {
  const column_layout::block_info& info = layout.block(b);
  const auto& headers = layout.headers();
  auto result = std::make_shared<decoded_block>();
  result->first_row = info.first_row;
  result->rows = info.rows;
  result->fixed_size = layout.fixed_size();

  const storage_block_header& data = headers[info.header];
  if (layout.fixed_size() != 0) {
    const auto source = read_stored(layout, layout.source(info.header), data.stored_size);
    check_shape(layout, info.header, source.get(), layout.type());
    result->data = std::make_unique_for_overwrite<std::byte[]>(std::max<uint64_t>(data.size, 1));
    result->data_size = data.size;
    decode(layout, info.header, result->data.get(), source.get(), layout.type());
  } else {
    // The data block and its offsets block lie back to back: one read for both.
    const storage_block_header& offsets = headers[info.header + 1];
    const auto source =
        read_stored(layout, layout.source(info.header), data.stored_size + offsets.stored_size);
    const std::byte* offsets_source = source.get() + data.stored_size;
    check_shape(layout, info.header, source.get(), layout.type());
    check_shape(layout, info.header + 1, offsets_source, INT64);
    result->data = std::make_unique_for_overwrite<std::byte[]>(std::max<uint64_t>(data.size, 1));
    result->data_size = data.size;
    decode(layout, info.header, result->data.get(), source.get(), layout.type());
    result->ends = std::make_unique_for_overwrite<uint64_t[]>(info.rows);
    decode(layout, info.header + 1, reinterpret_cast<std::byte*>(result->ends.get()),
           offsets_source, INT64);
    // End offsets count over the whole column: they must rise through this block's data.
    uint64_t previous = info.data_start;
    for (uint32_t i = 0; i < info.rows; ++i) {
      const uint64_t end = result->ends[i];
      if (end < previous || end - info.data_start > data.size) {
        refuse_block(layout, info.header + 1,
                     fmt::format("end offset {} of row {} lies outside [{}, {}]", end,
                                 info.first_row + i, previous, info.data_start + data.size));
      }
      previous = end;
      result->ends[i] = end - info.data_start;
    }
    if (previous - info.data_start != data.size) {
      refuse_block(layout, info.header + 1,
                   fmt::format("end offsets reach {}, the block's data ends at {}", previous,
                               info.data_start + data.size));
    }
  }
  g_decoded_blocks.fetch_add(1, std::memory_order_relaxed);
  return result;
}

std::shared_ptr<const decoded_block> read_null_map(const column_layout& layout) {
  const uint32_t header = layout.null_map_header();
  const storage_block_header& h = layout.headers()[header];
  const auto source = read_stored(layout, layout.source(header), h.stored_size);
  check_shape(layout, header, source.get(), layout.type());
  auto result = std::make_shared<decoded_block>();
  result->rows = layout.row_count();
  result->data = std::make_unique_for_overwrite<std::byte[]>(std::max<uint64_t>(h.size, 1));
  result->data_size = h.size;
  decode(layout, header, result->data.get(), source.get(), layout.type());
  g_decoded_blocks.fetch_add(1, std::memory_order_relaxed);
  return result;
}

// ---- segment_cache ----

segment_cache& segment_cache::instance() {
  static segment_cache cache(config::get_config().segment_cache_capacity);
  return cache;
}

uint64_t segment_cache::new_segment_id() {
  static std::atomic<uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

segment_cache::block_ptr segment_cache::find(const key& k) {
  std::vector<block_ptr> dropped;  // released after the lock
  std::scoped_lock lock(mutex_);
  if (capacity_.load(std::memory_order_relaxed) == 0) {
    evict_to(0, dropped);
    return nullptr;
  }
  const auto it = entries_.find(k);
  if (it == entries_.end()) {
    misses_.fetch_add(1, std::memory_order_relaxed);
    return nullptr;
  }
  hits_.fetch_add(1, std::memory_order_relaxed);
  lru_.splice(lru_.begin(), lru_, it->second);
  return it->second->block;
}

segment_cache::block_ptr segment_cache::insert(const key& k, block_ptr block) {
  const uint64_t bytes = block->memory();
  std::vector<block_ptr> dropped;
  std::scoped_lock lock(mutex_);
  const uint64_t capacity = capacity_.load(std::memory_order_relaxed);
  const auto it = entries_.find(k);
  if (it != entries_.end()) {
    lru_.splice(lru_.begin(), lru_, it->second);
    return it->second->block;
  }
  if (bytes > capacity) {
    evict_to(capacity, dropped);
    return block;
  }
  evict_to(capacity - bytes, dropped);
  lru_.push_front({k, block, bytes});
  entries_.emplace(k, lru_.begin());
  memory_ += bytes;
  return block;
}

void segment_cache::evict_to(uint64_t budget, std::vector<block_ptr>& dropped) {
  while (memory_ > budget && !lru_.empty()) {
    dropped.push_back(std::move(lru_.back().block));
    erase(entries_.find(lru_.back().k));
  }
}

void segment_cache::erase(std::map<key, lru_list::iterator>::iterator it) noexcept {
  memory_ -= it->second->bytes;
  lru_.erase(it->second);
  entries_.erase(it);
}

void segment_cache::erase_segment(uint64_t segment) noexcept {
  lru_list dropped;  // its blocks are released after the lock
  std::scoped_lock lock(mutex_);
  auto it = entries_.lower_bound(key{segment, 0, 0});
  while (it != entries_.end() && it->first.segment == segment) {
    memory_ -= it->second->bytes;
    dropped.splice(dropped.end(), lru_, it->second);
    it = entries_.erase(it);
  }
}

void segment_cache::clear() noexcept {
  lru_list dropped;
  std::scoped_lock lock(mutex_);
  dropped.swap(lru_);
  entries_.clear();
  memory_ = 0;
}

uint64_t segment_cache::memory() const {
  std::scoped_lock lock(mutex_);
  return memory_;
}

size_t segment_cache::size() const {
  std::scoped_lock lock(mutex_);
  return entries_.size();
}

}  // namespace ombrel
