#pragma once
// Page-granular anonymous memory: mapping, unmapping and returning physical pages to the system.
// One process-wide instance (get_instance()), immutable after construction, so any thread may
// use it; each call is a single system call.

#include <cstddef>
#include <cstdint>

namespace ombrel {

class page_memory {
 public:
  // The process-wide instance, built on first use from sysconf(_SC_PAGESIZE). Throws
  // errors::fatal_error "Cannot determine system page size" (nesting the system error) or
  // "Page size must be a power of 2".
  static page_memory& get_instance();

  // An instance for a given page size; throws errors::fatal_error "Page size must be a power
  // of 2" for anything else.
  explicit page_memory(uint64_t page_size);

  uint64_t page_size() const { return page_size_; }
  // `n` rounded up (down) to a multiple of the page size. round_up throws errors::error
  // "Size <n> is too large to round up to whole pages" where the result would wrap around.
  uint64_t round_up(uint64_t n) const;
  uint64_t round_down(uint64_t n) const { return n & ~(page_size_ - 1); }

  // Maps `length` bytes of zeroed, private, readable and writable memory.
  // REQUIRES: `length` a non-zero multiple of page_size(); else errors::error
  // "Size must be a multiple of the page size". A failed mapping: errors::error "mmap failed".
  std::byte* allocate(uint64_t length) const;

  // Unmaps a range. REQUIRES: `address` non-null and page-aligned ("Address must be a multiple
  // of the page size"), `length` as for allocate. Failure: errors::system_error.
  void deallocate(void* address, uint64_t length) const;

  // Keeps the range mapped but hands its physical pages back; it reads as zeros afterwards.
  // Same argument rules as deallocate. Failure: errors::system_error "madvise() failed".
  void depopulate(void* address, uint64_t length) const;

 private:
  void check_length(uint64_t length) const;
  void check_address(const void* address) const;

  uint64_t page_size_;
};

}  // namespace ombrel
