#pragma once
// The process-wide cache of decoded blocks that searches walk, least recently used first out,
// within SEGMENT_CACHE_CAPACITY bytes. Point reads keep one entry per run of rows of a segment
// (a row_group: the rows of one timestamp block, with every column's block as searches reach
// it), so that one lookup serves all columns of a row; whole null maps are kept per column.
// Its mutex is a leaf lock, never held during I/O or decoding.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "segment/column_block_reader.h"
#include "segment/column_reader.h"

namespace ombrel {

// The decoded blocks of the rows [first_row, first_row + rows) of one segment: per slot, the
// blocks that hold these rows (one when the column's blocks line up with the timestamp
// column's). Slots fill once as searches reach them and never change after, so readers find
// blocks without a lock; adding takes the group's own mutex, a leaf. Shared through the cache.
class row_group final : public cache_entry {
 public:
  row_group(uint32_t group, uint32_t first_row, uint32_t rows, uint32_t slots);
  ~row_group() override;
  row_group(const row_group&) = delete;
  row_group& operator=(const row_group&) = delete;

  uint32_t group() const { return group_; }
  uint32_t first_row() const { return first_row_; }
  uint32_t rows() const { return rows_; }
  bool contains(uint64_t row) const { return row - first_row_ < rows_; }

  // The held block of `slot` that holds `row`, or null.
  const decoded_block* find(uint32_t slot, uint64_t row) const {
    for (const node* n = heads_[slot].load(std::memory_order_acquire); n != nullptr; n = n->next) {
      if (n->block->contains(row)) return n->block.get();
    }
    return nullptr;
  }
  // Holds `block` (which holds `row`) in `slot` unless another thread added a block holding
  // `row` first; returns the block held. Adds to `added` the bytes the group grew by.
  const decoded_block* add(uint32_t slot, uint64_t row, std::shared_ptr<const decoded_block> block,
                           uint64_t& added) const;
  uint64_t memory() const override { return memory_.load(std::memory_order_relaxed); }

 private:
  struct node {
    std::shared_ptr<const decoded_block> block;
    const node* next = nullptr;
  };

  const uint32_t group_;
  const uint32_t first_row_;
  const uint32_t rows_;
  std::unique_ptr<std::atomic<const node*>[]> heads_;  // nodes are published here, never taken
  mutable std::mutex mutex_;                           // serialises add
  mutable std::vector<std::unique_ptr<node>> nodes_;   // owns every published node; under mutex_
  mutable std::atomic<uint64_t> memory_;
};

class segment_cache {
 public:
  // An entry of one segment: a column's block (`block` is the header index) or, under the
  // column ROW_GROUP, the row group numbered `block`.
  struct key {
    uint64_t segment = 0;
    uint32_t column = 0;
    uint32_t block = 0;
    friend bool operator==(const key&, const key&) = default;
  };
  static constexpr uint32_t ROW_GROUP = ~uint32_t{0};
  using entry_ptr = std::shared_ptr<const cache_entry>;
  using block_ptr = std::shared_ptr<const decoded_block>;

  // Bounded by `capacity` bytes, read at every call; 0 keeps nothing and drops what is held.
  explicit segment_cache(const std::atomic<uint64_t>& capacity) : capacity_(capacity) {}
  segment_cache(const segment_cache&) = delete;
  segment_cache& operator=(const segment_cache&) = delete;

  // The process-wide cache, bounded by SEGMENT_CACHE_CAPACITY.
  static segment_cache& instance();
  // A number that identifies one segment object in the cache for the process's lifetime.
  static uint64_t new_segment_id();

  // The cached entry, marked most recently used; null when absent.
  entry_ptr find(const key& k);
  // Keeps `entry` (most recently used) unless it alone exceeds the capacity, dropping least
  // recently used entries to make room. Returns the entry held under `k`: `entry`, or the one
  // another thread inserted first.
  entry_ptr insert(const key& k, entry_ptr entry);
  // find, else load() (outside the lock) and insert.
  template <typename Load>
  entry_ptr get(const key& k, Load&& load) {
    if (entry_ptr e = find(k)) return e;
    return insert(k, load());
  }
  // Counts `bytes` more for `entry` when it is the one held under `k` (a row group that grew),
  // dropping least recently used entries, this one too if it alone exceeds the capacity.
  void charge(const key& k, const cache_entry* entry, uint64_t bytes);

  // Drops every entry of `segment`.
  void erase_segment(uint64_t segment) noexcept;
  void clear() noexcept;

  uint64_t memory() const;
  size_t size() const;
  // Buffers for decoding whole columns, reused from scan to scan (pages already faulted in).
  // Bounded apart from the blocks, by the same capacity.
  const std::shared_ptr<column_memory>& scan_memory() const { return scan_memory_; }

  uint64_t hits() const { return hits_.load(std::memory_order_relaxed); }
  uint64_t misses() const { return misses_.load(std::memory_order_relaxed); }

 private:
  struct entry {
    key k;
    entry_ptr value;
    uint64_t bytes;
  };
  using lru_list = std::list<entry>;
  struct key_hash {
    size_t operator()(const key& k) const noexcept {
      uint64_t h = k.segment * 0x9E3779B97F4A7C15ULL;
      h ^= (uint64_t{k.column} << 32 | k.block) * 0xBF58476D1CE4E5B9ULL;
      return static_cast<size_t>(h ^ (h >> 29));
    }
  };
  using entry_map = std::unordered_map<key, lru_list::iterator, key_hash>;

  // Moves least recently used entries to `dropped` until at most `budget` bytes are held.
  // REQUIRES: mutex_ held.
  void evict_to(uint64_t budget, std::vector<entry_ptr>& dropped);
  void erase(entry_map::iterator it) noexcept;  // REQUIRES: mutex_ held

  const std::atomic<uint64_t>& capacity_;
  mutable std::mutex mutex_;
  lru_list lru_;  // most recently used first
  entry_map entries_;
  uint64_t memory_ = 0;
  std::atomic<uint64_t> hits_{0};
  std::atomic<uint64_t> misses_{0};
  std::shared_ptr<column_memory> scan_memory_ = column_memory::create(&capacity_);
};

}  // namespace ombrel
