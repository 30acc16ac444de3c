#include "memtable/page_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "memtable_fakes.h"
#include "native/errors.h"

namespace ombrel {
namespace {

using testing::message_of;

TEST(PageMemoryTest, PageSizeIsSystemPowerOfTwo) {
  const page_memory& pages = page_memory::get_instance();
  EXPECT_GE(pages.page_size(), 4096u);
  EXPECT_EQ(pages.page_size() & (pages.page_size() - 1), 0u);
  EXPECT_EQ(&pages, &page_memory::get_instance());
  for (uint64_t bad : {0ull, 3ull, 4097ull, 12288ull}) {
    EXPECT_EQ(message_of<errors::fatal_error>([&] { page_memory p(bad); }),
              "Page size must be a power of 2")
        << bad;
  }
  EXPECT_EQ(page_memory(8192).round_up(8193), 16384u);
  EXPECT_EQ(page_memory(8192).round_down(16383), 8192u);
}

TEST(PageMemoryTest, ArgumentsAreCheckedBeforeAnySystemCall) {
  const page_memory& pages = page_memory::get_instance();
  const uint64_t page = pages.page_size();
  std::byte* p = pages.allocate(2 * page);
  const char* const SIZE = "Size must be a multiple of the page size";
  const char* const ADDRESS = "Address must be a multiple of the page size";
  const struct {
    const char* what;
    std::function<void()> call;
    const char* message;
  } cases[] = {
      {"allocate 0", [&] { pages.allocate(0); }, SIZE},
      {"allocate page+1", [&] { pages.allocate(page + 1); }, SIZE},
      {"deallocate 0 bytes", [&] { pages.deallocate(p, 0); }, SIZE},
      {"deallocate null", [&] { pages.deallocate(nullptr, page); }, ADDRESS},
      {"deallocate unaligned", [&] { pages.deallocate(p + 8, page); }, ADDRESS},
      {"depopulate null", [&] { pages.depopulate(nullptr, page); }, ADDRESS},
      {"depopulate unaligned", [&] { pages.depopulate(p + 1, page); }, ADDRESS},
      {"depopulate odd size", [&] { pages.depopulate(p, page + 8); }, SIZE},
  };
  for (const auto& c : cases) EXPECT_EQ(message_of(c.call), c.message) << c.what;
  // The mapping is untouched by the refused calls.
  p[0] = std::byte{1};
  p[2 * page - 1] = std::byte{2};
  pages.deallocate(p, 2 * page);
}

TEST(PageMemoryTest, DepopulatedRangeReadsAsZerosAndStaysMapped) {
  const page_memory& pages = page_memory::get_instance();
  const uint64_t page = pages.page_size();
  std::byte* p = pages.allocate(3 * page);
  for (uint64_t i = 0; i < 3 * page; ++i) EXPECT_EQ(p[i], std::byte{0}) << i;
  std::memset(p, 0x5a, 3 * page);
  pages.depopulate(p + page, page);
  EXPECT_EQ(p[page - 1], std::byte{0x5a});
  EXPECT_EQ(p[page], std::byte{0});
  EXPECT_EQ(p[2 * page - 1], std::byte{0});
  EXPECT_EQ(p[2 * page], std::byte{0x5a});
  p[page] = std::byte{7};  // still writable
  EXPECT_EQ(p[page], std::byte{7});
  pages.deallocate(p, 3 * page);
}

TEST(PageMemoryTest, FailedSystemCallsRaiseTheirErrors) {
  const page_memory& pages = page_memory::get_instance();
  const uint64_t page = pages.page_size();
  // More address space than x86-64 user space has.
  EXPECT_EQ(message_of([&] { pages.allocate(uint64_t{1} << 62); }), "mmap failed");
  // A page-aligned address beyond user space: munmap refuses it.
  auto* kernel = reinterpret_cast<void*>(~uint64_t{0} & ~(page - 1));
  const std::string munmap_message =
      message_of<errors::system_error>([&] { pages.deallocate(kernel, page); });
  EXPECT_EQ(munmap_message.rfind("munmap() failed: ", 0), 0u) << munmap_message;
  // madvise on a range that is no longer mapped.
  std::byte* p = pages.allocate(page);
  pages.deallocate(p, page);
  const std::string madvise_message = message_of([&] { pages.depopulate(p, page); });
  EXPECT_EQ(madvise_message.rfind("madvise() failed: ", 0), 0u) << madvise_message;
}

}  // namespace
}  // namespace ombrel
