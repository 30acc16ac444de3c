#include "model/buffer_provider.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <thread>
#include <vector>

namespace ombrel {
namespace {

constexpr size_t MIB = 1024 * 1024;

// Runs `body` on a thread of its own, so it starts from a fresh instance.
void on_fresh_thread(const std::function<void()>& body) { std::thread(body).join(); }

TEST(BufferProviderTest, KeepsOrResizesBySizeRule) {
  const struct {
    std::vector<size_t> requests;
    size_t final_size;
  } cases[] = {
      {{100}, 8192},
      {{0}, 0},
      {{8192}, 8192},
      {{8193}, 8193},
      {{100, 3 * MIB, 100}, 8192},  // over 2 MiB: shrunk back
      {{2 * MIB, 100}, 2 * MIB},    // exactly 2 MiB: kept
      {{2 * MIB + 1, 100}, 8192},
      {{3 * MIB, 3 * MIB}, 3 * MIB},  // over 2 MiB is kept only for a request of its size
      {{3 * MIB, 3 * MIB - 1}, 3 * MIB - 1},
      {{3 * MIB, 5 * MIB}, 5 * MIB},
  };
  for (const auto& c : cases) {
    on_fresh_thread([&] {
      auto& provider = buffer_provider::instance();
      EXPECT_EQ(provider.buffer_size(), 0u);
      for (size_t n : c.requests) {
        std::byte* p = provider.ensure_buffer(n);
        ASSERT_GE(provider.buffer_size(), n);
        if (n > 0) std::memset(p, 0x5a, n);  // the whole request is writable
      }
      EXPECT_EQ(provider.buffer_size(), c.final_size) << c.requests.size() << " requests";
    });
  }
}

TEST(BufferProviderTest, KeptBufferKeepsItsAddressAndGrowthZeroFills) {
  on_fresh_thread([] {
    auto& provider = buffer_provider::instance();
    std::byte* first = provider.ensure_buffer(100);
    EXPECT_EQ(provider.ensure_buffer(8000), first);
    std::byte* grown = provider.ensure_buffer(20000);
    for (size_t i = 8192; i < 20000; ++i) ASSERT_EQ(grown[i], std::byte{0}) << i;
  });
}

TEST(BufferProviderTest, EachThreadHasItsOwnBuffer) {
  auto& mine = buffer_provider::instance();
  mine.ensure_buffer(3 * MIB);
  buffer_provider* other = nullptr;
  size_t other_size = 0;
  on_fresh_thread([&] {
    other = &buffer_provider::instance();
    other->ensure_buffer(100);
    other_size = other->buffer_size();
  });
  EXPECT_NE(other, &mine);
  EXPECT_EQ(other_size, 8192u);
  EXPECT_EQ(mine.buffer_size(), 3 * MIB);
  EXPECT_EQ(&buffer_provider::instance(), &mine);
}

}  // namespace
}  // namespace ombrel
