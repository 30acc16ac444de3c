#include "segment/segment_cache.h"

#include <utility>

#include "native/config.h"

namespace ombrel {
namespace {

// Bytes a group costs beyond its blocks: the group, its control block, its slot heads and the
// cache's list and map nodes; and each block's node.
constexpr uint64_t GROUP_OVERHEAD = 256;
constexpr uint64_t NODE_OVERHEAD = 48;

}  // namespace

// ---- row_group ----

row_group::row_group(uint32_t group, uint32_t first_row, uint32_t rows, uint32_t slots)
    : group_(group),
      first_row_(first_row),
      rows_(rows),
      heads_(std::make_unique<std::atomic<const node*>[]>(slots)),
      memory_(GROUP_OVERHEAD + uint64_t{slots} * sizeof(std::atomic<const node*>)) {
  for (uint32_t s = 0; s < slots; ++s) heads_[s].store(nullptr, std::memory_order_relaxed);
}

row_group::~row_group() = default;

const decoded_block* row_group::add(uint32_t slot, uint64_t row,
                                    std::shared_ptr<const decoded_block> block,
                                    uint64_t& added) const {
  std::scoped_lock lock(mutex_);
  if (const decoded_block* held = find(slot, row)) return held;
  const uint64_t bytes = NODE_OVERHEAD + block->memory();
  auto n = std::make_unique<node>();
  n->block = std::move(block);
  n->next = heads_[slot].load(std::memory_order_relaxed);
  const decoded_block* result = n->block.get();
  nodes_.push_back(std::move(n));  // owned before it is published
  heads_[slot].store(nodes_.back().get(), std::memory_order_release);
  memory_.fetch_add(bytes, std::memory_order_relaxed);
  added += bytes;
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

segment_cache::entry_ptr segment_cache::find(const key& k) {
  std::vector<entry_ptr> dropped;  // released after the lock
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
  return it->second->value;
}

segment_cache::entry_ptr segment_cache::insert(const key& k, entry_ptr value) {
  const uint64_t bytes = value->memory();
  std::vector<entry_ptr> dropped;
  std::scoped_lock lock(mutex_);
  const uint64_t capacity = capacity_.load(std::memory_order_relaxed);
  const auto it = entries_.find(k);
  if (it != entries_.end()) {
    lru_.splice(lru_.begin(), lru_, it->second);
    return it->second->value;
  }
  if (bytes > capacity) {
    evict_to(capacity, dropped);
    return value;
  }
  evict_to(capacity - bytes, dropped);
  lru_.push_front({k, value, bytes});
  entries_.emplace(k, lru_.begin());
  memory_ += bytes;
  return value;
}

void segment_cache::charge(const key& k, const cache_entry* value, uint64_t bytes) {
  std::vector<entry_ptr> dropped;
  std::scoped_lock lock(mutex_);
  const auto it = entries_.find(k);
  if (it == entries_.end() || it->second->value.get() != value) return;
  it->second->bytes += bytes;
  memory_ += bytes;
  evict_to(capacity_.load(std::memory_order_relaxed), dropped);
}

void segment_cache::evict_to(uint64_t budget, std::vector<entry_ptr>& dropped) {
  while (memory_ > budget && !lru_.empty()) {
    dropped.push_back(std::move(lru_.back().value));
    erase(entries_.find(lru_.back().k));
  }
}

void segment_cache::erase(entry_map::iterator it) noexcept {
  memory_ -= it->second->bytes;
  lru_.erase(it->second);
  entries_.erase(it);
}

void segment_cache::erase_segment(uint64_t segment) noexcept {
  lru_list dropped;  // its entries are released after the lock
  std::scoped_lock lock(mutex_);
  for (auto it = lru_.begin(); it != lru_.end();) {
    const auto next = std::next(it);
    if (it->k.segment == segment) {
      memory_ -= it->bytes;
      entries_.erase(it->k);
      dropped.splice(dropped.end(), lru_, it);
    }
    it = next;
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
