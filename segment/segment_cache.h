#pragma once
// Point reads of segment columns one block at a time, and the process-wide cache of decoded
// blocks that searches walk. column_layout locates the blocks of a column file from its header
// table; read_value_block and read_null_map read and decode one block; segment_cache keeps
// decoded blocks of timestamp, key and tombstone columns and null maps, least recently used
// first out, within SEGMENT_CACHE_CAPACITY bytes. Layouts and blocks are immutable and shared
// freely; the cache's mutex is a leaf lock, never held during I/O or decoding.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "model/common.h"
#include "model/ombrel_type_info.h"
#include "segment/column_reader.h"
#include "segment/storage_block.h"

namespace ombrel {

// Where the blocks of one column file lie and which rows each holds.
class column_layout {
 public:
  // One value block: a fixed-size block, or a data block with its offsets block.
  struct block_info {
    uint32_t header = 0;      // header index of the (data) block
    uint32_t first_row = 0;   // row number of its first value
    uint32_t rows = 0;        // values in it
    uint64_t data_start = 0;  // variable-length: column bytes before its data
  };

  // From a reader constructed on the file (trailer and header table only). Throws
  // errors::error "Bad column file data: " + path + ": " + what is wrong when the blocks do
  // not tile the data area or do not make up the trailer's row count.
  explicit column_layout(const column_reader& reader);

  const std::filesystem::path& path() const { return path_; }
  ombrel_type type() const { return type_; }
  uint32_t fixed_size() const { return fixed_size_; }
  uint32_t row_count() const { return row_count_; }
  const std::vector<storage_block_header>& headers() const { return headers_; }
  // Offset in the file of each header's stored bytes.
  uint64_t source(size_t header) const { return sources_[header]; }

  size_t block_count() const { return blocks_.size(); }
  const block_info& block(size_t i) const { return blocks_[i]; }
  // The value block holding `row`. Throws errors::error "Bad column file data: " + path when
  // the column has no such row.
  size_t block_of(uint64_t row) const;

  bool has_null_map() const { return null_map_ != NO_NULL_MAP; }
  uint32_t null_map_header() const { return null_map_; }

 private:
  static constexpr uint32_t NO_NULL_MAP = ~uint32_t{0};
  [[noreturn]] void refuse(const std::string& what) const;

  std::filesystem::path path_;
  ombrel_type type_;
  uint32_t fixed_size_;
  uint32_t row_count_;
  std::vector<storage_block_header> headers_;
  std::vector<uint64_t> sources_;
  std::vector<block_info> blocks_;
  uint32_t rows_per_block_ = 0;  // when every block but the last holds this many; else 0
  uint32_t null_map_ = NO_NULL_MAP;
};

// One decoded value block (rows [first_row, first_row + rows)), or a column's null map (the map's
// words in `data`, rows = the column's row count).
struct decoded_block {
  uint32_t first_row = 0;
  uint32_t rows = 0;
  uint32_t fixed_size = 0;  // 0 for variable-length values
  uint64_t data_size = 0;
  std::unique_ptr<std::byte[]> data;
  std::unique_ptr<uint64_t[]> ends;  // variable-length: end of each value within data

  bool contains(uint64_t row) const { return row - first_row < rows; }
  // REQUIRES: contains(row), a value block.
  bytes_view value(uint64_t row) const {
    const uint64_t i = row - first_row;
    if (fixed_size != 0) return bytes_view(fixed_size, data.get() + i * fixed_size);
    const uint64_t start = i == 0 ? 0 : ends[i - 1];
    return bytes_view(ends[i] - start, data.get() + start);
  }
  // REQUIRES: contains(row), a null map.
  bool bit(uint64_t row) const {
    uint64_t word;
    std::memcpy(&word, data.get() + row / 64 * 8, 8);
    return (word >> (row % 64)) & 1;
  }
  // Heap bytes held, for the cache's budget.
  uint64_t memory() const;
};

// Reads and decodes value block `block` of the column (both blocks of a variable-length pair).
// Throws the hash and decoding errors of the column files, errors::error "Corrupted column
// block: " + path + ... for offsets that leave the block, errors::system_error for I/O.
std::shared_ptr<const decoded_block> read_value_block(const column_layout& layout, size_t block);
// Reads the column's null map. REQUIRES: layout.has_null_map().
std::shared_ptr<const decoded_block> read_null_map(const column_layout& layout);
// Blocks decoded by the two functions above since the process started (for tests and
// benchmarks).
uint64_t decoded_block_count();

class segment_cache {
 public:
  // A block of one column of one segment; `block` is the header index.
  struct key {
    uint64_t segment = 0;
    uint32_t column = 0;
    uint32_t block = 0;
    friend auto operator<=>(const key&, const key&) = default;
  };
  using block_ptr = std::shared_ptr<const decoded_block>;

  // Bounded by `capacity` bytes, read at every call; 0 keeps nothing and drops what is held.
  explicit segment_cache(const std::atomic<uint64_t>& capacity) : capacity_(capacity) {}
  segment_cache(const segment_cache&) = delete;
  segment_cache& operator=(const segment_cache&) = delete;

  // The process-wide cache, bounded by SEGMENT_CACHE_CAPACITY.
  static segment_cache& instance();
  // A number that identifies one segment object in the cache for the process's lifetime.
  static uint64_t new_segment_id();

  // The cached block, marked most recently used; null when absent.
  block_ptr find(const key& k);
  // Keeps `block` (most recently used) unless it alone exceeds the capacity, dropping least
  // recently used blocks to make room. Returns the block held under `k`: `block`, or the one
  // another thread inserted first.
  block_ptr insert(const key& k, block_ptr block);
  // find, else load() (outside the lock) and insert.
  template <typename Load>
  block_ptr get(const key& k, Load&& load) {
    if (block_ptr b = find(k)) return b;
    return insert(k, load());
  }

  // Drops every block of `segment`.
  void erase_segment(uint64_t segment) noexcept;
  void clear() noexcept;

  uint64_t memory() const;
  size_t size() const;
  uint64_t hits() const { return hits_.load(std::memory_order_relaxed); }
  uint64_t misses() const { return misses_.load(std::memory_order_relaxed); }

 private:
  struct entry {
    key k;
    block_ptr block;
    uint64_t bytes;
  };
  using lru_list = std::list<entry>;

  // Moves least recently used blocks to `dropped` until at most `budget` bytes are held.
  // REQUIRES: mutex_ held.
  void evict_to(uint64_t budget, std::vector<block_ptr>& dropped);
  void erase(std::map<key, lru_list::iterator>::iterator it) noexcept;  // REQUIRES: mutex_ held

  const std::atomic<uint64_t>& capacity_;
  mutable std::mutex mutex_;
  lru_list lru_;  // most recently used first
  std::map<key, lru_list::iterator> entries_;
  uint64_t memory_ = 0;
  std::atomic<uint64_t> hits_{0};
  std::atomic<uint64_t> misses_{0};
};

}  // namespace ombrel
