#pragma once
// The process-wide least-recently-used list of mem-tables that eviction picks from, and the
// row set's entry on it. Internal to the row set's sources.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "memtable/row_set.h"

namespace ombrel::detail {

// Links of the global least-recently-used list of mem-tables (a ring through a sentinel).
struct cache_link {
  cache_link* prev = nullptr;
  cache_link* next = nullptr;
};

struct row_set_cache {
  std::mutex mutex;
  cache_link head{&head, &head};  // head.next is the least recently used
  uint64_t memtables = 0;         // live mem-tables, listed or not
};

// The one list of the process.
row_set_cache& cache();

// Counts a mem-table as live from before it is built until after its buffers are returned.
struct cache_member : cache_link {
  cache_member() {
    std::scoped_lock lock(cache().mutex);
    ++cache().memtables;
  }
  ~cache_member() {
    std::scoped_lock lock(cache().mutex);
    --cache().memtables;
  }
};

// REQUIRES: the cache mutex held.
inline void unlink(cache_link& link) {
  if (link.prev == nullptr) return;
  link.prev->next = link.next;
  link.next->prev = link.prev;
  link.prev = link.next = nullptr;
}

}  // namespace ombrel::detail

namespace ombrel {

struct row_set::mem_table_cache_entry : detail::cache_member {
  std::shared_ptr<row_set> owner;  // keeps the row set alive while its mem-table exists
  mem_table table;

  mem_table_cache_entry(std::shared_ptr<row_set> rows, const schema_descriptor& schema,
                        mem_table_buffer_pool& pool)
      : owner(std::move(rows)), table(schema, pool) {}

  ~mem_table_cache_entry() {
    std::scoped_lock lock(detail::cache().mutex);
    detail::unlink(*this);
  }

  // Moves the entry to the most recently used end. Only one call in TOUCH_INTERVAL takes the
  // global mutex: writers of different trees would otherwise contend on every row, and the
  // order only needs to be roughly right. An unlinked entry is relinked at its next call.
  void touch() {
    // Never below 0: an eviction may reset the count to 0 at any moment, and a decrement past
    // it would wrap around and keep the unlinked entry off the list for good.
    uint32_t left = touch_countdown.load(std::memory_order_relaxed);
    while (left > 0) {
      if (touch_countdown.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) return;
    }
    detail::row_set_cache& c = detail::cache();
    std::scoped_lock lock(c.mutex);
    detail::unlink(*this);
    prev = c.head.prev;
    next = &c.head;
    c.head.prev->next = this;
    c.head.prev = this;
    touch_countdown.store(TOUCH_INTERVAL, std::memory_order_relaxed);
  }

  static constexpr uint32_t TOUCH_INTERVAL = 64;
  std::atomic<uint32_t> touch_countdown{0};
};

}  // namespace ombrel
