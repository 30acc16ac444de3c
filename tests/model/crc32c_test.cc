#include "model/crc32c.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/support/testing.h"

namespace ombrel {
namespace {

using crc_function = uint32_t (*)(const void*, size_t, uint32_t);

std::vector<std::pair<const char*, crc_function>> implementations() {
  std::vector<std::pair<const char*, crc_function>> result{
      {"dispatch", [](const void* p, size_t n, uint32_t c) { return crc32c(p, n, c); }},
      {"portable",
       [](const void* p, size_t n, uint32_t c) { return detail::crc32c_portable(p, n, c); }}};
  if (detail::crc32c_hardware_available()) {
    result.emplace_back("hardware", [](const void* p, size_t n, uint32_t c) {
      return detail::crc32c_hardware(p, n, c);
    });
  }
  return result;
}

TEST(Crc32cTest, KnownValuesAndChaining) {
  std::vector<uint8_t> zeros(32, 0x00), ones(32, 0xFF), up(32), down(32);
  for (int i = 0; i < 32; ++i) {
    up[i] = static_cast<uint8_t>(i);
    down[i] = static_cast<uint8_t>(31 - i);
  }
  const struct {
    const void* data;
    size_t n;
    uint32_t expected;
  } cases[] = {{"123456789", 9, 0xE3069283u},   {"", 0, 0u},
               {zeros.data(), 32, 0x8A9136AAu}, {ones.data(), 32, 0x62A8AB43u},
               {up.data(), 32, 0x46DD794Eu},    {down.data(), 32, 0x113FDB5Cu}};
  // Chained over pieces, a checksum equals the one-pass value.
  std::vector<uint8_t> data(70000);
  std::mt19937 random(7);
  for (auto& b : data) b = static_cast<uint8_t>(random());
  for (const auto& [name, f] : implementations()) {
    for (const auto& c : cases) EXPECT_EQ(f(c.data, c.n, 0), c.expected) << name << " n=" << c.n;
    const uint32_t whole = f(data.data(), data.size(), 0);
    for (size_t split : {size_t{0}, size_t{7}, size_t{8}, size_t{24576}, data.size()}) {
      const uint32_t first = f(data.data(), split, 0);
      EXPECT_EQ(f(data.data() + split, data.size() - split, first), whole) << name << " " << split;
    }
  }
}

TEST(Crc32cTest, HardwareAndPortableAgreeOnEveryLengthAndAlignment) {
  if (!detail::crc32c_hardware_available()) GTEST_SKIP() << "no SSE4.2";
  const uint64_t seed = testing::test_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 random(seed);
  // Up to 1000 bytes covers the short-stripe path; the large sizes cover the long stripes.
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 1000; ++n) lengths.push_back(n);
  for (size_t n : {24575u, 24576u, 24583u, 3 * 8192u + 3 * 256u, 100000u, 1u << 20}) {
    lengths.push_back(n);
  }
  std::vector<uint8_t> buffer((1u << 20) + 16);
  for (auto& b : buffer) b = static_cast<uint8_t>(random());
  for (size_t n : lengths) {
    for (size_t start = 0; start < 8; ++start) {
      const uint8_t* p = buffer.data() + start;
      const uint32_t initial = static_cast<uint32_t>(random());
      const uint32_t portable = detail::crc32c_portable(p, n, initial);
      ASSERT_EQ(detail::crc32c_hardware(p, n, initial), portable)
          << "n=" << n << " start=" << start;
      ASSERT_EQ(crc32c(p, n, initial), portable);
    }
  }
}

}  // namespace
}  // namespace ombrel
