#include "segment/segment_cache.h"

#include <utility>

#include "native/config.h"

namespace ombrel {

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
