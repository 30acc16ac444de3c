#include "segment/column_reader.h"

#include <fmt/format.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "model/file.h"
#include "native/errors.h"
#include "segment/column_layout.h"
#include "segment/compression.h"

namespace ombrel {
namespace {

constexpr uint64_t TRAILER_SIZE = 8;

constexpr size_t HUGE_PAGE = size_t{2} << 20;

column_buffer allocate(const std::shared_ptr<column_memory>& memory, uint64_t bytes) {
  if (memory) return memory->take(bytes);
  return column_buffer(column_buffer::allocate(bytes), bytes, nullptr);
}

// Throws "Block hash mismatch!" when a block in [0, last] fails its hash.
void check_hashes(const column_layout& layout, const std::byte* source, size_t last) {
  for (size_t j = 0; j <= last; ++j) {
    const storage_block_header& header = layout.headers()[j];
    if (calculate_hash(source + layout.source(j), header.stored_size) != header.hash) {
      throw errors::error("Block hash mismatch!");
    }
  }
}

// Where the decoded values already lie in the file's bytes: when every value block is stored
// raw, back to back, from an 8-byte boundary (so that typed reads stay aligned). Their offset.
std::optional<uint64_t> values_in_place(const column_layout& layout) {
  std::optional<uint64_t> start;
  uint64_t next = 0;
  for (size_t i = 0; i < layout.headers().size(); ++i) {
    if (layout.part_of(i) != column_layout::part::values) continue;
    const storage_block_header& header = layout.headers()[i];
    if (header.method != METHOD_RAW) return std::nullopt;
    if (!start) start = next = layout.source(i);
    if (layout.source(i) != next) return std::nullopt;
    next += header.stored_size;
  }
  if (start && *start % 8 != 0) return std::nullopt;
  return start;
}

}  // namespace

// ---- column_buffer, column_memory ----

void column_buffer::free_bytes::operator()(std::byte* p) const noexcept { std::free(p); }

column_buffer::storage column_buffer::allocate(size_t bytes) {
  void* p = nullptr;
  if (bytes >= HUGE_PAGE) {
    const size_t rounded = (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    p = std::aligned_alloc(HUGE_PAGE, rounded);
    // Advice only: without huge pages the buffer works the same.
    if (p != nullptr) (void)madvise(p, rounded, MADV_HUGEPAGE);
  } else {
    p = std::malloc(std::max<size_t>(bytes, 1));
  }
  if (p == nullptr) throw std::bad_alloc();
  return storage(static_cast<std::byte*>(p));
}

void column_buffer::reset() noexcept {
  if (home_ && bytes_) {
    home_->give_back(std::move(bytes_), capacity_);
  }
  bytes_.reset();
  home_.reset();
  capacity_ = 0;
}

column_buffer column_memory::take(size_t bytes) {
  const size_t needed = std::max<size_t>(bytes, 1);
  if (needed < MIN_KEPT_BYTES) {
    return column_buffer(column_buffer::allocate(needed), needed, nullptr);
  }
  {
    std::scoped_lock lock(mutex_);
    size_t best = kept_.size();
    for (size_t i = 0; i < kept_.size(); ++i) {
      if (kept_[i].first >= needed &&
          (best == kept_.size() || kept_[i].first < kept_[best].first)) {
        best = i;
      }
    }
    if (best != kept_.size()) {
      auto [capacity, bytes_kept] = std::move(kept_[best]);
      kept_[best] = std::move(kept_.back());
      kept_.pop_back();
      kept_bytes_ -= capacity;
      return column_buffer(std::move(bytes_kept), capacity, shared_from_this());
    }
  }
  return column_buffer(column_buffer::allocate(needed), needed, shared_from_this());
}

void column_memory::give_back(column_buffer::storage bytes, size_t capacity) noexcept {
  column_buffer::storage dropped;  // freed after the lock
  std::scoped_lock lock(mutex_);
  const bool room = max_kept_bytes_ == nullptr || kept_bytes_ + capacity <= max_kept_bytes_->load();
  if (kept_.size() < MAX_KEPT && room) {
    kept_.emplace_back(capacity, std::move(bytes));  // reserved: does not allocate
    kept_bytes_ += capacity;
  } else {
    dropped = std::move(bytes);
  }
}

// ---- column_reader ----

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
  data_offset_ = 0;
  offsets_.reset();
  nulls_.clear();
}

void column_reader::read_file_and_decompress(const std::shared_ptr<column_memory>& memory) {
  clear();
  const column_layout layout(*this);
  column_buffer source = allocate(memory, data_size_);
  file::for_reading(path_).read(0, source.get(), data_size_);

  // Every block must be able to decode to its size before anything is allocated for it; a
  // block that fails its hash, or one before it, is reported as such, as decoding in order
  // would.
  for (size_t i = 0; i < headers_.size(); ++i) {
    try {
      check_block_shape(source.get() + layout.source(i), layout.decoded_type(i), headers_[i]);
    } catch (const corrupted_block_error& e) {
      check_hashes(layout, source.get(), i);
      layout.refuse_block(i, e.detail());
    } catch (const errors::error&) {
      check_hashes(layout, source.get(), i);
      throw;
    }
  }

  // Every byte of these is written by exactly one block (the layout checked the sizes). Raw
  // values are not copied at all when they lie back to back in what was read.
  const std::optional<uint64_t> in_place = values_in_place(layout);
  column_buffer data = in_place ? column_buffer() : allocate(memory, layout.data_bytes());
  column_buffer offsets;
  if (fixed_size_ == 0) offsets = allocate(memory, uint64_t{row_count_} * sizeof(uint64_t));
  bitset nulls;
  if (nullable_) nulls.assign(row_count_, false);

  std::byte* data_cursor = data.get();
  std::byte* offsets_cursor = offsets.get();
  for (size_t i = 0; i < headers_.size(); ++i) {
    const storage_block_header& header = headers_[i];
    std::byte* target = nullptr;
    switch (layout.part_of(i)) {
      case column_layout::part::nulls:
        target = reinterpret_cast<std::byte*>(nulls.data());
        break;
      case column_layout::part::offsets:
        target = offsets_cursor;
        offsets_cursor += header.size;
        break;
      case column_layout::part::values:
        if (!in_place) {
          target = data_cursor;
          data_cursor += header.size;
        }
        break;
    }
    try {
      if (target == nullptr && layout.part_of(i) == column_layout::part::values) {
        verify_block(source.get() + layout.source(i), header);
      } else {
        decompress(target, source.get() + layout.source(i), layout.decoded_type(i), header);
      }
    } catch (const corrupted_block_error& e) {
      layout.refuse_block(i, e.detail());
    }
  }

  if (fixed_size_ == 0) {
    // Value r spans [ends[r-1], ends[r]): the ends must rise and stop at the data's end.
    const auto* ends = reinterpret_cast<const uint64_t*>(offsets.get());
    uint64_t previous = 0;
    for (uint32_t r = 0; r < row_count_; ++r) {
      if (ends[r] < previous) {
        throw errors::error(
            fmt::format("Corrupted column block: {}: end offset {} of row {} "
                        "lies before the previous one {}",
                        path_.string(), ends[r], r, previous));
      }
      previous = ends[r];
    }
    if (previous != layout.data_bytes()) {
      throw errors::error(
          fmt::format("Corrupted column block: {}: end offsets reach {}, the data holds {} bytes",
                      path_.string(), previous, layout.data_bytes()));
    }
  }

  if (in_place) {
    data_ = std::move(source);
    data_offset_ = *in_place;
  } else {
    data_ = std::move(data);
    data_offset_ = 0;
  }
  offsets_ = std::move(offsets);
  nulls_ = std::move(nulls);
  loaded_ = true;
}

}  // namespace ombrel
