#include "memtable/page_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <exception>
#include <string>

#include "native/errors.h"

namespace ombrel {
namespace {

uint64_t system_page_size() {
  const long n = sysconf(_SC_PAGESIZE);
  if (n <= 0) {
    try {
      throw errors::system_error("sysconf() failed");
    } catch (...) {
      std::throw_with_nested(errors::fatal_error("Cannot determine system page size"));
    }
  }
  return static_cast<uint64_t>(n);
}

}  // namespace

page_memory& page_memory::get_instance() {
  static page_memory instance(system_page_size());
  return instance;
}

page_memory::page_memory(uint64_t page_size) : page_size_(page_size) {
  if (!std::has_single_bit(page_size)) throw errors::fatal_error("Page size must be a power of 2");
}

uint64_t page_memory::round_up(uint64_t n) const {
  if (n > UINT64_MAX - (page_size_ - 1)) {
    throw errors::error("Size " + std::to_string(n) + " is too large to round up to whole pages");
  }
  return (n + page_size_ - 1) & ~(page_size_ - 1);
}

void page_memory::check_length(uint64_t length) const {
  if (length == 0 || (length & (page_size_ - 1)) != 0) {
    throw errors::error("Size must be a multiple of the page size");
  }
}

void page_memory::check_address(const void* address) const {
  if (address == nullptr || (reinterpret_cast<uintptr_t>(address) & (page_size_ - 1)) != 0) {
    throw errors::error("Address must be a multiple of the page size");
  }
}

std::byte* page_memory::allocate(uint64_t length) const {
  check_length(length);
  void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw errors::error("mmap failed");
  return static_cast<std::byte*>(p);
}

void page_memory::deallocate(void* address, uint64_t length) const {
  check_address(address);
  check_length(length);
  if (munmap(address, length) != 0) throw errors::system_error("munmap() failed");
}

void page_memory::depopulate(void* address, uint64_t length) const {
  check_address(address);
  check_length(length);
  if (madvise(address, length, MADV_DONTNEED) != 0) throw errors::system_error("madvise() failed");
}

}  // namespace ombrel
