#include "segment/oroch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "model/crc32c.h"
#include "native/errors.h"
#include "segment/oroch_bitpack.h"
#include "segment/oroch_varint.h"
#include "tests/support/testing.h"

namespace ombrel::oroch {
namespace {

using bytes = std::vector<uint8_t>;

uint64_t test_seed() {
  static const uint64_t seed = [] { return testing::test_seed(); }();
  return seed;
}

bytes as_bytes(const std::byte* p, size_t n) {
  const auto* u = reinterpret_cast<const uint8_t*>(p);
  return bytes(u, u + n);
}

// ---- Scalar formats ----

TEST(OrochTest, ZigzagAndVarintsAreByteExact) {
  using detail::zigzag_encode;
  EXPECT_EQ(zigzag_encode<int>(0), 0U);
  EXPECT_EQ(zigzag_encode<int>(-1), 1U);
  EXPECT_EQ(zigzag_encode<int>(1), 2U);
  EXPECT_EQ(zigzag_encode<int>(-2), 3U);
  EXPECT_EQ(zigzag_encode<int>(INT32_MAX), 0xFFFFFFFEU);
  EXPECT_EQ(zigzag_encode<int>(INT32_MIN), 0xFFFFFFFFU);
  EXPECT_EQ(zigzag_encode<signed char>(-128), 0xFF);
  EXPECT_EQ(zigzag_encode<signed char>(127), 0xFE);
  EXPECT_EQ(zigzag_encode<long>(INT64_MIN), UINT64_MAX);
  EXPECT_EQ(zigzag_encode<unsigned long>(12345), 12345U);
  for (long x : {0L, 1L, -1L, 63L, -64L, INT64_MIN, INT64_MAX}) {
    EXPECT_EQ(detail::zigzag_decode<long>(zigzag_encode(x)), x);
  }

  const struct {
    uint64_t x;
    bytes encoded;
  } varints[] = {{0, {0x00}},
                 {127, {0x7F}},
                 {128, {0x80, 0x01}},
                 {300, {0xAC, 0x02}},
                 {UINT64_MAX, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}}};
  for (const auto& c : varints) {
    std::byte buf[10];
    const std::byte* end = detail::write_varint(c.x, buf);
    EXPECT_EQ(as_bytes(buf, end - buf), c.encoded) << c.x;
    EXPECT_EQ(detail::varint_size(c.x), c.encoded.size()) << c.x;
    const std::byte* p = buf;
    uint64_t back = 1;
    EXPECT_EQ(detail::read_varint(p, end, back), detail::varint_status::ok);
    EXPECT_EQ(back, c.x);
    EXPECT_EQ(p, end);
  }
}

TEST(OrochTest, ReadVarintRefusesMalformedInput) {
  using detail::varint_status;
  const auto read8 = [](bytes in) {
    const auto* p = reinterpret_cast<const std::byte*>(in.data());
    uint8_t x;
    return detail::read_varint(p, p + in.size(), x);
  };
  const auto read64 = [](bytes in) {
    const auto* p = reinterpret_cast<const std::byte*>(in.data());
    uint64_t x;
    return detail::read_varint(p, p + in.size(), x);
  };
  EXPECT_EQ(read8({0xFF, 0x01}), varint_status::ok);  // 255
  EXPECT_EQ(read8({0x80, 0x02}), varint_status::overflow);
  EXPECT_EQ(read8({0x80, 0x80, 0x00}), varint_status::too_long);
  EXPECT_EQ(read8({0x80}), varint_status::unterminated);
  EXPECT_EQ(read8({}), varint_status::unterminated);
  bytes max64(9, 0xFF);
  max64.push_back(0x01);
  EXPECT_EQ(read64(max64), varint_status::ok);
  max64.back() = 0x02;
  EXPECT_EQ(read64(max64), varint_status::overflow);
  max64.back() = 0x80;
  max64.push_back(0x00);
  EXPECT_EQ(read64(max64), varint_status::too_long);
}

TEST(OrochTest, BitPackingIsByteExact) {
  // w = 3: 1, 2, 3, 4, 5 at bits 0, 3, 6, 9, 12 make 0x58D1.
  std::vector<uint64_t> small = {1, 2, 3, 4, 5};
  bytes expected(16, 0);
  expected[0] = 0xD1;
  expected[1] = 0x58;
  std::byte unit[32];
  detail::pack(small.size(), 3, unit, [&](size_t i) { return small[i]; });
  EXPECT_EQ(as_bytes(unit, 16), expected);

  // w = 13: value 4 of a unit occupies bits 52..64 and straddles the two words; value 9 opens
  // the second unit.
  std::vector<uint64_t> straddle(10, 0);
  straddle[4] = 0x1FFF;
  straddle[9] = 0x1234;
  expected.assign(32, 0);
  expected[6] = 0xF0;
  expected[7] = 0xFF;
  expected[8] = 0x01;
  expected[16] = 0x34;
  expected[17] = 0x12;
  detail::pack(straddle.size(), 13, unit, [&](size_t i) { return straddle[i]; });
  EXPECT_EQ(as_bytes(unit, 32), expected);
  std::vector<uint16_t> back(10);
  detail::unpack(unit, back.size(), 13, back.data());
  EXPECT_EQ(std::vector<uint64_t>(back.begin(), back.end()), straddle);
}

TEST(OrochTest, BitPackingRoundTripsAtEveryWidth) {
  std::mt19937_64 rng(test_seed());
  for (unsigned w = 1; w <= 64; ++w) {
    const uint64_t mask = w == 64 ? ~uint64_t{0} : (uint64_t{1} << w) - 1;
    for (size_t n : {size_t{1}, size_t{128 / w}, size_t{128 / w + 1}, size_t{777}}) {
      std::vector<uint64_t> xs(n);
      for (auto& x : xs) x = rng() & mask;
      const size_t units = (n + 128 / w - 1) / (128 / w);
      ASSERT_EQ(detail::packed_size(n, w), units * 16) << "w=" << w << " n=" << n;
      std::vector<std::byte> out(units * 16, std::byte{0xAA});
      detail::pack(n, w, out.data(), [&](size_t i) { return xs[i]; });
      std::vector<uint64_t> back(n);
      detail::unpack(out.data(), n, w, back.data());
      ASSERT_EQ(back, xs) << "w=" << w << " n=" << n;
      if (w <= 32) {
        std::vector<uint32_t> narrow(n);
        detail::unpack(out.data(), n, w, narrow.data());
        ASSERT_TRUE(std::equal(narrow.begin(), narrow.end(), xs.begin())) << "w=" << w;
      }
    }
  }
}

// ---- Whole blocks ----

template <typename T>
bytes encode_checked(const std::vector<T>& v, encoding_metadata<T>& meta) {
  integer_codec<T>::select(meta, v.data(), v.data() + v.size());
  const size_t size = encoded_size(meta);
  std::vector<std::byte> out(size + 64, std::byte{0xA5});
  encode_block(meta, v.data(), v.data() + v.size(), out.data());
  for (size_t i = size; i < out.size(); ++i) {
    EXPECT_EQ(out[i], std::byte{0xA5}) << "encoder wrote past the predicted size " << size;
  }
  return as_bytes(out.data(), size);
}

TEST(OrochTest, WorkedExamplesHaveExactLayouts) {
  encoding_metadata<int> meta32;
  const bytes constant = encode_checked(std::vector<int>(8192, -3), meta32);
  EXPECT_EQ(meta32.value.enc, encoding::constant);
  EXPECT_EQ(constant, (bytes{0, 5, 0, 0, 0, 0, 0, 0}));

  std::vector<long> stamps(8192);
  for (size_t i = 0; i < stamps.size(); ++i) stamps[i] = 1'700'000'000'000'000'000L + long(i);
  encoding_metadata<long> meta64;
  const bytes packed = encode_checked(stamps, meta64);
  EXPECT_EQ(meta64.value.enc, encoding::offset_packed);
  EXPECT_EQ(meta64.value.bit_width, 13U);
  EXPECT_EQ(meta64.value.value_space, 14576U);
  EXPECT_EQ(meta64.value.metadata_space, 10U);  // 9-byte origin varint + w: values at 16
  EXPECT_EQ(packed.size(), 14576U + 16);
  EXPECT_EQ(packed[10], 13);
  EXPECT_EQ(packed[15], 0);
  EXPECT_EQ(packed[16 + 1], 0x20);  // row 1 at bit 13 of the first unit
  EXPECT_EQ(packed[16 + 3], 0x08);  // row 2 at bit 26

  std::mt19937_64 rng(test_seed());
  std::vector<long> noise(1000);
  for (auto& x : noise) x = static_cast<long>(rng());
  const bytes plain = encode_checked(noise, meta64);
  EXPECT_EQ(meta64.value.enc, encoding::plain);
  EXPECT_EQ(plain.size(), 8 + 8 * noise.size());

  const bytes empty = encode_checked(std::vector<long>{}, meta64);
  EXPECT_EQ(empty, (bytes{1, 0, 0, 0, 0, 0, 0, 0}));
}

// Blocks drawn so that every encoding wins now and then.
template <typename T>
std::vector<T> random_block(std::mt19937_64& rng) {
  using L = std::numeric_limits<T>;
  constexpr unsigned B = 8 * sizeof(T);
  const auto pick = [&](uint64_t bound) { return bound == 0 ? 0 : rng() % bound; };
  const size_t n = pick(4) == 0 ? 1 + pick(12) : pick(12) == 0 ? 8192 : 1 + pick(1500);
  const auto any = [&] { return static_cast<T>(rng()); };
  // Wrapping addition: the sums may leave the range of T.
  const auto add = [](T a, uint64_t b) {
    using U = std::make_unsigned_t<T>;
    return static_cast<T>(static_cast<U>(static_cast<U>(a) + static_cast<U>(b)));
  };
  const auto narrow_bits = [&] { return 1 + pick(B - 2); };
  std::vector<T> v(n);
  const T base = any();
  const unsigned bits = narrow_bits();
  const auto around = [&](T origin, unsigned b) { return add(origin, pick(uint64_t{1} << b)); };
  switch (pick(9)) {
    case 0:  // constant
      std::fill(v.begin(), v.end(), base);
      break;
    case 1:  // narrow range at any origin
      for (auto& x : v) x = around(base, bits);
      break;
    case 2: {  // sorted with small steps
      T x = base;
      for (auto& y : v) y = x = add(x, pick(1 + pick(300)));
      break;
    }
    case 3:  // narrow with about 1% outliers
      for (auto& x : v) x = pick(100) == 0 ? any() : around(base, std::min(bits, 6U));
      break;
    case 4:  // small magnitudes of both signs
      for (auto& x : v) x = add(around(0, bits), -(uint64_t{1} << (bits - 1)));
      break;
    case 5:  // extremes
      for (auto& x : v) {
        const T choices[] = {L::min(), L::max(), static_cast<T>(L::min() + 1), 0, -1, 1};
        x = choices[pick(6)];
      }
      break;
    case 6:  // random bit lengths, favouring varints
      for (auto& x : v) x = add(pick(2) ? base : 0, rng() >> (63 - pick(B)));
      break;
    case 7:  // rare exceptions far apart
      for (auto& x : v) x = pick(2000) == 0 ? around(base, B - 1) : around(base, 2);
      break;
    default:
      for (auto& x : v) x = any();
  }
  return v;
}

template <typename T>
class OrochTypedTest : public ::testing::Test {};
using block_types = ::testing::Types<signed char, short, int, long>;
TYPED_TEST_SUITE(OrochTypedTest, block_types);

// Blocks from a fixed seed (every encoding, many widths, exception streams) are pinned by the
// CRC-32C of their stored bytes: any change of an encoding choice or layout shows. Blocks from
// the run's seed round-trip, never cost more than plain, and parse back to their metadata.
TYPED_TEST(OrochTypedTest, RandomBlocksMatchTheirDigestAndRoundTrip) {
  using T = TypeParam;
  const uint32_t golden = sizeof(T) == 1   ? 0x6e1bc419
                          : sizeof(T) == 2 ? 0x86dc352e
                          : sizeof(T) == 4 ? 0xdfd54900
                                           : 0x67a43e01;
  for (const bool fixed : {true, false}) {
    std::mt19937_64 rng(fixed ? 1 : test_seed() + sizeof(T));
    uint32_t digest = 0;
    std::set<int> chosen;
    for (int round = 0; round < (fixed ? 2000 : 500); ++round) {
      const std::vector<T> v = random_block<T>(rng);
      encoding_metadata<T> meta;
      const bytes stored = encode_checked(v, meta);
      digest = crc32c(stored.data(), stored.size(), digest);
      chosen.insert(stored[0]);
      ASSERT_EQ(static_cast<int>(meta.value.enc), stored[0]) << "round " << round;
      if (meta.value.enc != encoding::constant) {
        ASSERT_LE(meta.cost(), v.size() * sizeof(T)) << "round " << round;  // plain's cost
      }

      encoding_metadata<T> parsed;
      const size_t offset =
          read_metadata(reinterpret_cast<const std::byte*>(stored.data()), stored.size(), parsed);
      EXPECT_EQ(offset, value_offset(meta.value.metadata_space));
      EXPECT_EQ(parsed.value.origin, meta.value.origin);
      EXPECT_EQ(parsed.value.bit_width, meta.value.bit_width);
      EXPECT_EQ(parsed.exception_count, meta.exception_count);

      std::vector<T> back(v.size());
      decode_block(reinterpret_cast<const std::byte*>(stored.data()), stored.size(), back.data(),
                   back.size());
      ASSERT_EQ(back, v) << "round " << round << " encoding " << int(stored[0]);
    }
    if (!fixed) continue;
    EXPECT_EQ(digest, golden) << std::hex << digest;
    // Varints never beat plain for 8-bit values (at least one byte each).
    const std::set<int> expected =
        sizeof(T) == 1 ? std::set<int>{0, 1, 4, 5, 6} : std::set<int>{0, 1, 2, 3, 4, 5, 6};
    EXPECT_EQ(chosen, expected);
  }
}

TEST(OrochTest, BasicCodersRefuseBitpfr) {
  detail::encoding_descriptor<int> d{encoding::bitpfr, 0, 0, 0, 3};
  int values[2] = {1, 2};
  std::byte buf[32] = {};
  try {
    integer_codec<int>::encode_basic(d, values, values + 2, buf);
    FAIL() << "no exception";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "not a basic encoding");
  }
  try {
    integer_codec<int>::decode_basic(d, buf, sizeof(buf), values, 2);
    FAIL() << "no exception";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "not a basic encoding");
  }
}

TEST(OrochTest, MalformedBlocksAreRefused) {
  const auto pad = [](bytes head, size_t values) {
    head.resize((head.size() + 7) / 8 * 8 + values, 0);
    return head;
  };
  const struct {
    const char* name;
    bytes block;
    size_t n;
    const char* message;
  } cases[] = {
      {"empty", {}, 1, "no encoding byte"},
      {"encoding 7", pad({7}, 0), 1, "unknown encoding 7"},
      {"encoding 255", pad({255}, 64), 1, "unknown encoding 255"},
      {"unterminated origin", {0, 0x80}, 1, "bad varint for the origin"},
      {"overlong origin", pad({0, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}, 0), 1, "bad varint"},
      {"origin above 32 bits", pad({0, 0xFF, 0xFF, 0xFF, 0xFF, 0x1F}, 0), 1, "bad varint"},
      {"missing width", {4}, 1, "metadata ends before the bit width"},
      {"width 0", pad({4, 0}, 16), 1, "bit width w 0 outside 1..32"},
      {"width 33", pad({5, 0, 33}, 16), 1, "bit width w 33 outside 1..32"},
      {"values start past the end", {5, 2, 13}, 1, "ends before its values at 8"},
      {"packed values truncated", pad({5, 0, 13}, 16), 10, "10 values at 13 bits need 2 units"},
      {"plain values truncated", pad({1}, 11), 3, "3 plain values need 12 bytes"},
      {"varint values unterminated",
       {2, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x80},
       1,
       "varint 0 of 1 runs past the block"},
      {"varint value too long",
       {3, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01},
       1,
       "varint 0 is longer than 5 bytes"},
      {"p 65", pad({6, 0, 1, 1, 65, 0}, 16), 1, "bit width p 65 outside 1..64"},
      {"q 33", pad({6, 0, 1, 1, 0, 33}, 16), 1, "bit width q 33 outside 1..32"},
      {"more exceptions than values", pad({6, 0, 1, 5, 0, 0}, 32), 4, "5 exceptions"},
      {"exceptions without bytes", pad({6, 0, 1, 3, 0, 0}, 16), 100, "3 exceptions"},
      {"exception count overflows",
       pad({6, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0}, 16), 1,
       "bad varint for the exception count"},
  };
  for (const auto& c : cases) {
    std::vector<int> out(c.n);
    try {
      decode_block(reinterpret_cast<const std::byte*>(c.block.data()), c.block.size(), out.data(),
                   out.size());
      ADD_FAILURE() << c.name << ": no exception";
    } catch (const errors::error& e) {
      const std::string what = e.what();
      EXPECT_EQ(what.rfind("Malformed integer-coded block: ", 0), 0U) << c.name << ": " << what;
      EXPECT_NE(what.find(c.message), std::string::npos) << c.name << ": " << what;
    }
  }

  // One exception at row 10 of a 10-row block: the gap points past the end.
  bytes beyond = pad({6, 0, 1, 1, 0, 0}, 16);
  beyond.push_back(10);  // gap
  beyond.push_back(1);   // high part
  std::vector<int> out(10);
  EXPECT_THROW(decode_block(reinterpret_cast<const std::byte*>(beyond.data()), beyond.size(),
                            out.data(), out.size()),
               errors::error);
  beyond[beyond.size() - 2] = 9;  // the last row is fine
  decode_block(reinterpret_cast<const std::byte*>(beyond.data()), beyond.size(), out.data(),
               out.size());
  EXPECT_EQ(out[9], 2);
}

// ---- One value at a time ----

// The values a picker reads from a block of n values, or its error; "declined" when the
// encoding decodes only whole.
template <typename T>
std::string picked(const bytes& block, size_t n, std::vector<T>& out) {
  std::vector<std::byte> src(block.size());
  if (!block.empty()) std::memcpy(src.data(), block.data(), block.size());
  value_picker picker;
  try {
    if (!picker.open<T>(src.data(), src.size(), n)) return "declined";
  } catch (const errors::error& e) {
    return e.what();
  }
  out.resize(n);
  for (size_t j = 0; j < n; ++j) out[j] = static_cast<T>(picker.bits(j));
  return "";
}

template <typename T>
std::string decoded(const bytes& block, size_t n, std::vector<T>& out) {
  std::vector<std::byte> src(block.size());
  if (!block.empty()) std::memcpy(src.data(), block.data(), block.size());
  out.resize(n);
  try {
    decode_block(src.data(), src.size(), out.data(), n);
  } catch (const errors::error& e) {
    return e.what();
  }
  return "";
}

bool picks_values(int enc) { return enc == 0 || enc == 1 || enc == 4 || enc == 5; }

// A picker over a block must agree with decoding it whole: the same values, or the same error.
// Returns whether decoding accepted the block.
template <typename T>
bool expect_picks_as_decoded(const bytes& block, size_t n, const std::string& trace) {
  std::vector<T> whole;
  std::vector<T> single;
  const std::string error = decoded(block, n, whole);
  const std::string pick_error = picked(block, n, single);
  if (pick_error == "declined") {
    EXPECT_FALSE(!block.empty() && picks_values(block[0])) << trace;
  } else {
    EXPECT_EQ(pick_error, error) << trace;
    if (error.empty()) {
      EXPECT_EQ(single, whole) << trace;
    }
  }
  return error.empty();
}

TYPED_TEST(OrochTypedTest, PickedValuesEqualWholeDecodingForEveryEncodingAndWidth) {
  using T = TypeParam;
  using U = std::make_unsigned_t<T>;
  constexpr unsigned B = 8 * sizeof(T);
  std::mt19937_64 rng(test_seed() + 200 + sizeof(T));
  const auto pick = [&](uint64_t bound) { return bound == 0 ? 0 : rng() % bound; };
  // Each pickable encoding forced at every width, values filling the width.
  for (const encoding enc :
       {encoding::constant, encoding::plain, encoding::zigzag_packed, encoding::offset_packed}) {
    const bool packed = enc == encoding::zigzag_packed || enc == encoding::offset_packed;
    for (unsigned w = packed ? 1 : 0; w <= (packed ? B : 0); ++w) {
      const size_t n = 1 + pick(3 * detail::values_per_unit(std::max(w, 1U)) + 5);
      const T origin =
          enc == encoding::zigzag_packed || enc == encoding::plain ? T{0} : static_cast<T>(rng());
      const uint64_t mask = w == 0 ? 0 : w == 64 ? ~uint64_t{0} : (uint64_t{1} << w) - 1;
      std::vector<T> v(n);
      for (size_t j = 0; j < n; ++j) {
        const U low = static_cast<U>(j == 0 ? mask : rng() & mask);  // one value of full width
        switch (enc) {
          case encoding::constant:
            v[j] = origin;
            break;
          case encoding::plain:
            v[j] = static_cast<T>(rng());
            break;
          case encoding::zigzag_packed:
            v[j] = detail::zigzag_decode<T>(low);
            break;
          default:
            v[j] = static_cast<T>(static_cast<U>(low + static_cast<U>(origin)));
        }
      }
      const size_t origin_space = detail::varint_size(detail::zigzag_encode(origin));
      encoding_metadata<T> meta;
      switch (enc) {
        case encoding::constant:
          meta.value = {enc, 0, origin_space, origin, 0};
          break;
        case encoding::plain:
          meta.value = {enc, n * sizeof(T), 0, 0, 0};
          break;
        case encoding::zigzag_packed:
          meta.value = {enc, detail::packed_size(n, w), 1, 0, w};
          break;
        default:
          meta.value = {enc, detail::packed_size(n, w), origin_space + 1, origin, w};
      }
      std::vector<std::byte> out(encoded_size(meta));
      encode_block(meta, v.data(), v.data() + n, out.data());
      const bytes block = as_bytes(out.data(), out.size());
      std::vector<T> single;
      ASSERT_EQ(picked(block, n, single), "") << "encoding " << int(enc) << " width " << w;
      ASSERT_EQ(single, v) << "encoding " << int(enc) << " width " << w;
      // Asking for more values than the block holds fails as decoding does.
      if (enc != encoding::constant) {
        expect_picks_as_decoded<T>(block, n + 1 + pick(200), "longer, width " + std::to_string(w));
      }
    }
  }
}

// Mutated blocks and noise, copied into exactly sized heap buffers so that AddressSanitizer
// sees any stray access: decoding refuses them or reads them, and a picker agrees.
TYPED_TEST(OrochTypedTest, MutatedAndRandomBlocksNeverCrash) {
  using T = TypeParam;
  std::mt19937_64 rng(test_seed() + 100 + sizeof(T));
  const auto pick = [&](uint64_t bound) { return bound == 0 ? 0 : rng() % bound; };
  size_t accepted = 0;
  size_t refused = 0;
  for (int round = 0; round < 3000; ++round) {
    std::vector<T> v = random_block<T>(rng);
    v.resize(std::min<size_t>(v.size(), 300));
    encoding_metadata<T> meta;
    bytes block = encode_checked(v, meta);
    for (size_t flips = 1 + pick(3); flips > 0; --flips) {
      switch (block.empty() ? 4 : pick(5)) {
        case 0:
          block[pick(block.size())] = static_cast<uint8_t>(rng());
          break;
        case 1:  // damage the metadata, where the sizes live
          block[pick(std::min<size_t>(block.size(), 16))] = static_cast<uint8_t>(rng());
          break;
        case 2:
          block[0] = static_cast<uint8_t>(pick(8));
          break;
        case 3:
          block.resize(pick(block.size() + 1));
          break;
        default:
          for (size_t k = pick(24); k > 0; --k) block.push_back(static_cast<uint8_t>(rng()));
      }
    }
    const size_t n = pick(2) ? v.size() : pick(2 * v.size() + 8);
    const std::string trace = "round " + std::to_string(round);
    (expect_picks_as_decoded<T>(block, n, trace) ? accepted : refused) += 1;

    bytes noise(pick(200));
    for (auto& b : noise) b = static_cast<uint8_t>(rng());
    if (!noise.empty() && pick(2)) noise[0] = static_cast<uint8_t>(pick(7));
    (expect_picks_as_decoded<T>(noise, pick(400), trace + " noise") ? accepted : refused) += 1;
  }
  EXPECT_GT(accepted, 0U);
  EXPECT_GT(refused, 0U);
}

}  // namespace
}  // namespace ombrel::oroch
