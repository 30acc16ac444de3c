#include "model/bitset.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "native/errors.h"
#include "tests/support/testing.h"

namespace ombrel {
namespace {

std::string range_error(const std::function<void()>& action) {
  return testing::message_of<errors::error>(action);
}

TEST(BitsetTest, EmptySetHasNoStorageAndRangeChecksNameTheIndex) {
  bitset b(0);
  EXPECT_EQ(b.data(), nullptr);
  EXPECT_EQ(b.capacity(), 0u);
  EXPECT_EQ(b.find_first(), bitset::npos);
  EXPECT_EQ(b.find_next(0), bitset::npos);
  EXPECT_EQ(b.select(1), bitset::npos);
  EXPECT_EQ(b.rank(0), bitset::npos);
  EXPECT_FALSE(b.all());
  EXPECT_TRUE(b.none());
  EXPECT_EQ(b, bitset());
  EXPECT_EQ(range_error([&] { (void)b.at(5); }),
            "bitset range_check: n (which is 5) >= size() (which is 0)");
  EXPECT_EQ(range_error([&] { (void)b.front(); }),
            "bitset range_check: n (which is 0) >= size() (which is 0)");
  EXPECT_EQ(range_error([&] { (void)b.back(); }),
            "bitset range_check: n (which is 18446744073709551615) >= size() (which is 0)");
  EXPECT_EQ(range_error([&] { b.pop_back(); }),
            "bitset range_check: n (which is 18446744073709551615) >= size() (which is 0)");
  EXPECT_EQ(b.size(), 0u);
  const bitset ten(10, true);
  EXPECT_EQ(range_error([&] { (void)ten.at(10); }),
            "bitset range_check: n (which is 10) >= size() (which is 10)");
  EXPECT_TRUE(ten.back());
}

TEST(BitsetTest, CapacityGrowsInStepsOnAlignedStorage) {
  bitset filled(100, true);
  EXPECT_EQ(filled.capacity(), 256u);
  // Construction fills whole bytes, so bits 100..103 are ones in storage but not counted.
  EXPECT_EQ(filled.data()[1] >> 32, 0xFFu);
  EXPECT_EQ(filled.count(), 100u);
  EXPECT_EQ(filled.select(101), bitset::npos);
  EXPECT_EQ(filled.find_next(99), bitset::npos);

  bitset pushed;
  std::vector<uint64_t> capacities;
  for (int i = 0; i < 300; ++i) {
    pushed.push_back(i % 3 == 0);
    if (capacities.empty() || capacities.back() != pushed.capacity()) {
      capacities.push_back(pushed.capacity());
    }
  }
  EXPECT_EQ(capacities, (std::vector<uint64_t>{32, 64, 128, 256, 512}));

  struct step {
    uint64_t reserve, size, expected_capacity, after_shrink;
  };
  for (const step& s : std::vector<step>{
           {1, 0, 256, 0}, {256, 10, 256, 256}, {257, 300, 512, 512}, {1000, 300, 1024, 512}}) {
    bitset b;
    b.reserve(s.reserve);
    b.resize(s.size, true);
    EXPECT_EQ(b.capacity(), s.expected_capacity) << s.reserve;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b.data()) % 32, 0u) << s.reserve;
    b.shrink_to_fit();
    EXPECT_EQ(b.capacity(), s.after_shrink) << s.reserve;
    EXPECT_EQ(b.count(), s.size);
    if (s.after_shrink == 0) {
      EXPECT_EQ(b.data(), nullptr);
    }
    b.push_back(true);
    b.reserve(5000);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b.data()) % 32, 0u) << s.reserve;
  }
}

TEST(BitsetTest, ByteAndWordConstructorsKeepLayout) {
  const std::byte bytes[] = {std::byte{0x01}, std::byte{0x80}, std::byte{0x00}};
  bitset from_bytes(bytes, 3);
  EXPECT_EQ(from_bytes.size(), 24u);
  EXPECT_EQ(from_bytes.find_first(), 0u);
  EXPECT_EQ(from_bytes.find_next(0), 15u);
  EXPECT_EQ(from_bytes.count(), 2u);

  const uint64_t words[] = {uint64_t{1} << 63, 0x5};
  bitset from_words(words, 2);
  EXPECT_EQ(from_words.size(), 128u);
  EXPECT_EQ(from_words.select(1), 63u);
  EXPECT_EQ(from_words.select(3), 66u);
  EXPECT_EQ(from_words.select(0), bitset::npos);

  bitset b{true, false, true};
  b.assign(bytes, 2);
  EXPECT_EQ(b, bitset(std::vector<bool>{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
  b.assign(70, true);
  EXPECT_EQ(b.count(), 70u);
  EXPECT_EQ(b.capacity(), 256u);
}

TEST(BitsetTest, CombiningWithItselfLeavesSetUnchanged) {
  const bitset original{true, false, true, true, false};
  for (int op = 0; op < 3; ++op) {
    bitset b = original;
    const bitset& self = b;
    if (op == 0) b &= self;
    if (op == 1) b |= self;
    if (op == 2) b ^= self;
    EXPECT_EQ(b, original) << op;
  }
}

// Every operation against std::vector<bool>; the other operands of &=, |= and ^= carry stale
// ones beyond their size, and resizing after &= shows whether a cut resurrects old bits.
TEST(BitsetTest, RandomOperationsMatchVectorOfBool) {
  const uint64_t seed = testing::test_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 random(seed);
  auto next = [&](uint64_t bound) { return bound == 0 ? 0 : random() % bound; };
  auto coin = [&] { return (random() & 1) != 0; };
  bitset set;
  std::vector<bool> ref;
  for (int step = 0; step < 3000; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    const uint64_t n = ref.size();
    const uint64_t other_size = next(n + 200);
    std::vector<bool> other_ref(other_size);
    bitset other(other_size + 64, true);
    for (uint64_t i = 0; i < other_size; ++i) other.set(i, other_ref[i] = coin());
    other.resize(other_size);
    switch (next(13)) {
      case 0:
      case 1: {
        const bool v = coin();
        set.push_back(v);
        ref.push_back(v);
        break;
      }
      case 2:
        if (n > 0) {
          ASSERT_EQ(set.pop_back(), ref.back());
          ref.pop_back();
        }
        break;
      case 3:
        if (n > 0) {
          const uint64_t i = next(n);
          const bool v = coin();
          const uint64_t how = next(3);
          if (how == 0) {
            set.set(i, v);
          } else if (v) {
            set.set(i);
          } else {
            set.reset(i);
          }
          ref[i] = v;
        }
        break;
      case 4: {
        const uint64_t m = next(n + 300);
        const bool v = coin();
        set.resize(m, v);
        ref.resize(m, v);
        break;
      }
      case 5: {
        const int which = static_cast<int>(next(3));
        if (which == 0) set.set();
        if (which == 1) set.reset();
        if (which == 2) set.flip();
        for (uint64_t i = 0; i < n; ++i) ref[i] = which == 0 || (which == 2 && !ref[i]);
        break;
      }
      case 6:
        set &= other;
        ref.resize(std::min(n, other_size));
        for (uint64_t i = 0; i < ref.size(); ++i) ref[i] = ref[i] && other_ref[i];
        break;
      case 7:
      case 8: {
        const bool is_or = coin();
        is_or ? set |= other : set ^= other;
        if (other_size > n) ref.resize(other_size, false);
        for (uint64_t i = 0; i < other_size; ++i) {
          ref[i] = is_or ? (ref[i] || other_ref[i]) : (ref[i] != other_ref[i]);
        }
        break;
      }
      case 9:
        set.reserve(next(n + 1000));
        break;
      case 10:
        set.shrink_to_fit();
        break;
      case 11: {
        std::vector<uint64_t> words(next(6));
        for (auto& w : words) w = random();
        set.assign(words.data(), words.size());
        ref.assign(words.size() * 64, false);
        for (uint64_t i = 0; i < ref.size(); ++i) ref[i] = (words[i / 64] >> (i % 64)) & 1;
        break;
      }
      case 12: {
        bitset copy = set;
        set = std::move(copy);
        break;
      }
    }

    ASSERT_EQ(set.size(), ref.size());
    ASSERT_GE(set.capacity(), ref.size());
    std::vector<uint64_t> positions;
    for (uint64_t i = 0; i < ref.size(); ++i) {
      ASSERT_EQ(set.at(i), ref[i]) << "bit " << i;
      if (ref[i]) positions.push_back(i);
    }
    const uint64_t ones = positions.size();
    EXPECT_EQ(set.count(), ones);
    EXPECT_EQ(set.any(), ones > 0);
    EXPECT_EQ(set.none(), ones == 0);
    EXPECT_EQ(set.all(), !ref.empty() && ones == ref.size());
    EXPECT_EQ(set, bitset(ref));
    std::vector<uint64_t> walked;
    for (uint64_t i = set.find_first(); i != bitset::npos; i = set.find_next(i)) {
      walked.push_back(i);
      ASSERT_LE(walked.size(), ref.size());
    }
    EXPECT_EQ(walked, positions);
    for (int probe = 0; probe < 8; ++probe) {
      const uint64_t k = next(ones + 2);
      EXPECT_EQ(set.select(k), k >= 1 && k <= ones ? positions[k - 1] : bitset::npos) << k;
      const uint64_t i = next(ref.size() + 2);
      const uint64_t rank =
          i < ref.size() ? std::count(ref.begin(), ref.begin() + i + 1, true) : bitset::npos;
      EXPECT_EQ(set.rank(i), rank) << i;
    }
    EXPECT_EQ(set.find_next(bitset::npos), bitset::npos);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace ombrel
