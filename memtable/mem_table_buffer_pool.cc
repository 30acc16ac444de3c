#include "memtable/mem_table_buffer_pool.h"

#include <sys/mman.h>

#include <vector>

#include "memtable/row_set.h"
#include "native/config.h"
#include "native/errors.h"

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
  try {
    for (auto& [_, large] : large_) pages_.deallocate(large->data, large->size);
    if (base_ != nullptr) pages_.deallocate(base_, capacity_);
  } catch (...) {
  }
}

bool mem_table_buffer_pool::is_standard(const mem_table_buffer* buffer) const {
  return descriptor_count_ != 0 && buffer >= &descriptors_[0] &&
         buffer < &descriptors_[0] + descriptor_count_;
}

mem_table_buffer* mem_table_buffer_pool::take_standard(row_set* requester) {
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
    if (!row_set::evict(requester)) return nullptr;
  }
}

mem_table_buffer* mem_table_buffer_pool::get_buffer(row_set* requester, size_t n) {
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

mem_table_buffer* mem_table_buffer_pool::get_large(row_set* requester, size_t n) {
  auto large = std::make_unique<mem_table_buffer>();
  large->size = pages_.round_up(n);
  large->data = pages_.allocate(large->size);
  const uint64_t chunks = (large->size + buffer_size_ - 1) / buffer_size_;
  std::vector<mem_table_buffer*> retired;
  retired.reserve(chunks);
  // Gives back what was taken so far; the request then ends without a buffer.
  auto undo = [&] {
    pages_.deallocate(large->data, large->size);
    std::scoped_lock lock(mutex_);
    for (mem_table_buffer* b : retired) {
      b->next = free_list_;
      free_list_ = b;
      ++stats_.free_buffers;
    }
  };
  try {
    for (uint64_t i = 0; i < chunks; ++i) {
      mem_table_buffer* b = take_standard(requester);
      if (b == nullptr) {
        undo();
        std::scoped_lock lock(mutex_);
        ++stats_.failures;
        return nullptr;
      }
      retired.push_back(b);
      pages_.depopulate(b->data, b->size);
    }
  } catch (...) {
    undo();
    throw;
  }
  std::scoped_lock lock(mutex_);
  for (mem_table_buffer* b : retired) {
    b->next = retired_list_;
    retired_list_ = b;
  }
  mem_table_buffer* result = large.get();
  large_.emplace(result, std::move(large));
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
  pages_.deallocate(large->data, large->size);
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
