#pragma once
// The pool of mem-table buffers: one anonymous mapping reserved up front, cut into standard
// buffers handed out from a free list. Larger requests get a mapping of their own while an
// equal number of standard buffers is retired, so the physical footprint stays within the
// capacity. When the free list is empty the pool asks the requester's evictor to free memory.
// Thread-safe: mutex_ guards the lists and counters and is a leaf lock; it is never held while
// evicting or calling madvise.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "memtable/page_memory.h"

namespace ombrel {

// One buffer: `size` bytes at `data`. `next` links it into whichever pool list holds it.
struct mem_table_buffer {
  std::byte* data = nullptr;
  uint64_t size = 0;
  mem_table_buffer* next = nullptr;
};

class mem_table_buffer_pool {
 public:
  // What frees buffers when the free list runs dry: the row sets, by flushing a mem-table.
  class evictor {
   public:
    // True when memory was (or is being) given back, so that the pool should look again;
    // false when there is nothing more to give. Errors propagate to the requester.
    virtual bool evict_for_buffer() = 0;

   protected:
    ~evictor() = default;
  };

  struct statistics {
    uint64_t free_buffers = 0;  // buffers in the free list
    uint64_t shortages = 0;     // requests that found the free list empty
    uint64_t failures = 0;      // requests that ended without a buffer
  };

  // The process-wide pool, built on first use from MEMTABLE_BUFFER_CAPACITY and
  // MEMTABLE_BUFFER_POOL_CAPACITY; later configuration changes do not affect it.
  static mem_table_buffer_pool& get_instance();

  // A pool of standard buffers of `buffer_capacity` rounded up to whole pages, holding
  // `pool_capacity` rounded down to whole buffers. Maps the whole capacity at once.
  mem_table_buffer_pool(uint64_t buffer_capacity, uint64_t pool_capacity,
                        const page_memory& pages = page_memory::get_instance());
  ~mem_table_buffer_pool();
  mem_table_buffer_pool(const mem_table_buffer_pool&) = delete;
  mem_table_buffer_pool& operator=(const mem_table_buffer_pool&) = delete;

  // A buffer of at least `n` bytes, or null when none could be had even after `requester`
  // evicted what it could (a null requester evicts nothing). Requests above capacity() throw
  // errors::error "Suspiciously large memory request."; errors of the eviction propagate.
  mem_table_buffer* get_buffer(evictor* requester, size_t n);

  // Takes back a buffer of this pool. Its memory is not cleared. A buffer of another pool:
  // errors::fatal_error. A large buffer whose mapping cannot be removed is logged, not thrown.
  void put_buffer(mem_table_buffer* buffer);

  void get_statistics(statistics& out) const;

  uint64_t buffer_size() const { return buffer_size_; }
  uint64_t capacity() const { return capacity_; }

 private:
  // Pops a standard buffer, evicting while the free list is empty. Null (without counting a
  // failure) when eviction has nothing more to give.
  mem_table_buffer* take_standard(evictor* requester);
  mem_table_buffer* get_large(evictor* requester, size_t n);
  bool is_standard(const mem_table_buffer* buffer) const;
  // Unmaps a large buffer or the pool's mapping; a failure is logged.
  void unmap(std::byte* data, uint64_t size) const noexcept;

  const page_memory& pages_;
  uint64_t buffer_size_;
  uint64_t capacity_;
  std::byte* base_ = nullptr;
  std::unique_ptr<mem_table_buffer[]> descriptors_;
  uint64_t descriptor_count_ = 0;

  mutable std::mutex mutex_;
  mem_table_buffer* free_list_ = nullptr;
  mem_table_buffer* retired_list_ = nullptr;
  std::unordered_map<const mem_table_buffer*, std::unique_ptr<mem_table_buffer>> large_;
  statistics stats_;
};

}  // namespace ombrel
