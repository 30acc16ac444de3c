#include "memtable/mem_table_buffer_pool.h"

#include <sys/mman.h>

#include <exception>
#include <vector>

#include "native/config.h"
#include "native/errors.h"
#include "native/log.h"

namespace ombrel {

mem_table_buffer_pool& mem_table_buffer_pool::get_instance() {
  static mem_table_buffer_pool instance(config::get_config().memtable_buffer_capacity.load(),
                                        config::get_config().memtable_buffer_pool_capacity.load());
  return instance;
}

mem_table_buffer_pool::mem_table_buffer_pool(uint64_t buffer_capacity, uint64_t pool_capacity,
                                             const page_memory& pages)
    : pages_(pages) {
  // A zero buffer size would make every division below meaningless: use one page.
  buffer_size_ = buffer_capacity == 0 ? pages.page_size() : pages.round_up(buffer_capacity);
  descriptor_count_ = pool_capacity / buffer_size_;
  capacity_ = descriptor_count_ * buffer_size_;
  if (capacity_ == 0) return;
  base_ = pages_.allocate(capacity_);
  madvise(base_, capacity_, MADV_HUGEPAGE);
  descriptors_ = std::make_unique<mem_table_buffer[]>(descriptor_count_);
  // Linked in address order: the first request gets the lowest buffer.
  for (uint64_t i = descriptor_count_; i-- > 0;) {
    mem_table_buffer& d = descriptors_[i];
    d.data = base_ + i * buffer_size_;
    d.size = buffer_size_;
    d.next = free_list_;
    free_list_ = &d;
  }
  stats_.free_buffers = descriptor_count_;
}

mem_table_buffer_pool::~mem_table_buffer_pool() {
  // Destructors must not throw; an unmap failure at process exit leaves nothing to repair.
  for (auto& [_, large] : large_) unmap(large->data, large->size);
  if (base_ != nullptr) unmap(base_, capacity_);
}

void mem_table_buffer_pool::unmap(std::byte* data, uint64_t size) const noexcept {
  try {
    pages_.deallocate(data, size);
  } catch (const std::exception& e) {
    logging::detail::log(logging::level::error, "Failed to unmap {} bytes of mem-table memory: {}",
                         size, errors::describe(e));
  }
}

bool mem_table_buffer_pool::is_standard(const mem_table_buffer* buffer) const {
  return descriptor_count_ != 0 && buffer >= &descriptors_[0] &&
         buffer < &descriptors_[0] + descriptor_count_;
}

mem_table_buffer* mem_table_buffer_pool::take_standard(evictor* requester) {
  for (;;) {
    {
      std::scoped_lock lock(mutex_);
      if (free_list_ != nullptr) {
        mem_table_buffer* b = free_list_;
        free_list_ = b->next;
        b->next = nullptr;
        --stats_.free_buffers;
        return b;
      }
      ++stats_.shortages;
    }
    // Eviction may flush a mem-table, which returns its buffers through put_buffer.
    if (requester == nullptr || !requester->evict_for_buffer()) return nullptr;
  }
}

mem_table_buffer* mem_table_buffer_pool::get_buffer(evictor* requester, size_t n) {
  if (n <= buffer_size_) {
    mem_table_buffer* b = take_standard(requester);
    if (b == nullptr) {
      std::scoped_lock lock(mutex_);
      ++stats_.failures;
    }
    return b;
  }
  if (n > capacity_) throw errors::error("Suspiciously large memory request.");
  return get_large(requester, n);
}

mem_table_buffer* mem_table_buffer_pool::get_large(evictor* requester, size_t n) {
  // What is taken so far goes back on every way out until the request succeeds.
  struct mapping {
    const mem_table_buffer_pool& pool;
    std::unique_ptr<mem_table_buffer> buffer = std::make_unique<mem_table_buffer>();
    ~mapping() {
      if (buffer && buffer->data != nullptr) pool.unmap(buffer->data, buffer->size);
    }
  } large{*this};
  struct retirement {
    mem_table_buffer_pool& pool;
    std::vector<mem_table_buffer*> buffers;
    ~retirement() {
      if (buffers.empty()) return;
      std::scoped_lock lock(pool.mutex_);
      for (mem_table_buffer* b : buffers) {
        b->next = pool.free_list_;
        pool.free_list_ = b;
        ++pool.stats_.free_buffers;
      }
    }
  } retired{*this, {}};

  const uint64_t size = pages_.round_up(n);
  large.buffer->data = pages_.allocate(size);
  large.buffer->size = size;
  const uint64_t chunks = (size + buffer_size_ - 1) / buffer_size_;
  retired.buffers.reserve(chunks);
  for (uint64_t i = 0; i < chunks; ++i) {
    mem_table_buffer* b = take_standard(requester);
    if (b == nullptr) {
      std::scoped_lock lock(mutex_);
      ++stats_.failures;
      return nullptr;
    }
    retired.buffers.push_back(b);
    pages_.depopulate(b->data, b->size);
  }
  std::scoped_lock lock(mutex_);
  mem_table_buffer* result = large.buffer.get();
  large_.emplace(result, std::move(large.buffer));  // the last step that may throw
  for (mem_table_buffer* b : retired.buffers) {
    b->next = retired_list_;
    retired_list_ = b;
  }
  retired.buffers.clear();
  return result;
}

void mem_table_buffer_pool::put_buffer(mem_table_buffer* buffer) {
  if (buffer == nullptr) return;
  if (is_standard(buffer)) {
    std::scoped_lock lock(mutex_);
    buffer->next = free_list_;
    free_list_ = buffer;
    ++stats_.free_buffers;
    return;
  }
  std::unique_ptr<mem_table_buffer> large;
  {
    std::scoped_lock lock(mutex_);
    auto it = large_.find(buffer);
    if (it == large_.end()) throw errors::fatal_error("logic error: buffer of another pool");
    large = std::move(it->second);
    large_.erase(it);
  }
  // The standard buffers it retired come back even if the mapping cannot be undone.
  unmap(large->data, large->size);
  const uint64_t chunks = (large->size + buffer_size_ - 1) / buffer_size_;
  std::scoped_lock lock(mutex_);
  for (uint64_t i = 0; i < chunks && retired_list_ != nullptr; ++i) {
    mem_table_buffer* b = retired_list_;
    retired_list_ = b->next;
    b->next = free_list_;
    free_list_ = b;
    ++stats_.free_buffers;
  }
}

void mem_table_buffer_pool::get_statistics(statistics& out) const {
  std::scoped_lock lock(mutex_);
  out = stats_;
}

}  // namespace ombrel
