// Eviction: when the buffer pool runs dry, the least recently used mem-table of any tree is
// flushed early through its owner.

#include <memory>
#include <mutex>
#include <thread>

#include "memtable/mem_table_lru.h"
#include "memtable/row_set.h"
#include "native/errors.h"

namespace ombrel {

detail::row_set_cache& detail::cache() {
  static row_set_cache instance;
  return instance;
}

bool row_set::evict(row_set* requester) {
  detail::row_set_cache& c = detail::cache();
  std::shared_ptr<row_set> victim;
  {
    std::scoped_lock lock(c.mutex);
    if (c.head.next == &c.head) {
      // Mem-tables off the list (being flushed, or skipped as requesters) still free their
      // memory soon: the request fails softly, as if only its own mem-table were left.
      if (c.memtables > 0) return false;
      throw errors::fatal_error("Failed to find any mem-tables to evict");
    }
    auto* entry = static_cast<mem_table_cache_entry*>(c.head.next);
    detail::unlink(*entry);
    entry->touch_countdown.store(0, std::memory_order_relaxed);
    victim = entry->owner;
    victim->owner_.eviction_started();
  }
  // The owner (a tree that may be closing on another thread) waits for this before it goes.
  struct eviction_scope {
    owner& tree;
    ~eviction_scope() { tree.eviction_finished(); }
  } scope{victim->owner_};
  // A row set never evicts itself; it is linked again by its next ensure_tuple_size.
  if (victim.get() == requester) return false;
  // Puts the victim back at the most recently used end while it still holds its mem-table.
  auto relink = [&victim](std::unique_lock<std::mutex>& lock) {
    mem_table_cache_entry* entry = victim->memtable_.get();
    if (entry == nullptr || victim->flush_ == flush_state::flushed) return;
    ++victim->readers_;  // pins the entry while the cache mutex is taken
    lock.unlock();
    entry->touch();  // unlinked, its countdown is 0: this links it
    victim->leave_read();
  };
  {
    // Its writer waits for memory itself while the flush would wait for that writer. It stays
    // evictable.
    std::unique_lock lock(victim->mutex_);
    if (victim->writers_ > 0 && victim->writer_fetching_ &&
        victim->writer_thread_ != std::this_thread::get_id()) {
      relink(lock);
      return false;
    }
  }
  try {
    victim->owner_.evict_memtable(victim);
  } catch (...) {
    // Its rows are still in memory: it must stay evictable for a later attempt.
    std::unique_lock lock(victim->mutex_);
    relink(lock);
    std::throw_with_nested(errors::fatal_error("memtable flush failed"));
  }
  return true;
}

size_t row_set::cached_memtables() {
  detail::row_set_cache& c = detail::cache();
  std::scoped_lock lock(c.mutex);
  size_t n = 0;
  for (auto* l = c.head.next; l != &c.head; l = l->next) ++n;
  return n;
}

}  // namespace ombrel
