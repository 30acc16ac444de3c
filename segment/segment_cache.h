#pragma once
// The process-wide cache of decoded column blocks that searches walk: it keeps decoded blocks of
// timestamp, key and tombstone columns and null maps (read by column_block_reader.h), least
// recently used first out, within SEGMENT_CACHE_CAPACITY bytes. Its mutex is a leaf lock, never
// held during I/O or decoding.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "segment/column_block_reader.h"
#include "segment/column_reader.h"

namespace ombrel {

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
  // Buffers for decoding whole columns, reused from scan to scan (pages already faulted in).
  // Bounded apart from the blocks, by the same capacity.
  const std::shared_ptr<column_memory>& scan_memory() const { return scan_memory_; }

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
  std::shared_ptr<column_memory> scan_memory_ = column_memory::create(&capacity_);
};

}  // namespace ombrel
