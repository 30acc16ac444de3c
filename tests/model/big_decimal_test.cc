#include "model/big_decimal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "model/ombrel_error.h"
#include "tests/support/testing.h"

namespace ombrel {
namespace {

using bytes = std::vector<std::byte>;

bytes hex(std::initializer_list<int> values) { return testing::bytes_from(values); }

big_decimal dec(int64_t unscaled, int16_t scale) {
  return big_decimal(big_integer(unscaled), scale);
}

big_decimal dec(const std::string& unscaled, int16_t scale) {
  big_integer value;
  value.assign_string(unscaled);
  return big_decimal(std::move(value), scale);
}

bytes encode(const big_decimal& value) {
  bytes out(value.byte_size());
  value.store_bytes(out.data());
  return out;
}

// Exact reference for small decimals: the value times 10^12 as a 128-bit integer.
__int128 at_scale_12(int64_t unscaled, int scale) {
  __int128 v = unscaled;
  for (int s = scale; s < 12; ++s) v *= 10;
  return v;
}

__int128 pow10(int n) {
  __int128 v = 1;
  while (n-- > 0) v *= 10;
  return v;
}

std::string text(__int128 v) {
  if (v == 0) return "0";
  const bool negative = v < 0;
  std::string digits;
  for (; v != 0; v /= 10) digits.insert(digits.begin(), static_cast<char>('0' + abs(int(v % 10))));
  return negative ? "-" + digits : digits;
}

TEST(BigDecimalTest, ByteFormIsLittleEndianScaleThenUnscaledAndShortFormsAreZero) {
  const struct {
    big_decimal value;
    bytes form;
  } cases[] = {
      {dec(150, 2), hex({0x02, 0x00, 0x00, 0x96})},
      {dec(-5, 2), hex({0x02, 0x00, 0xFB})},
      {dec(12, -2), hex({0xFE, 0xFF, 0x0C})},
      {dec(-129, 300), hex({0x2C, 0x01, 0xFF, 0x7F})},
      {dec(1, -32768), hex({0x00, 0x80, 0x01})},
      // A zero is written with scale 0 whatever its scale.
      {dec(0, 5), hex({0x00, 0x00, 0x00})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.to_string());
    EXPECT_EQ(c.value.byte_size(), c.form.size());
    EXPECT_EQ(encode(c.value), c.form);
    const big_decimal decoded(c.form.data(), c.form.size());
    EXPECT_EQ(decoded.scale(), c.value.is_zero() ? 0 : c.value.scale());
    EXPECT_EQ(decoded.unscaled(), c.value.unscaled());
  }
  // Forms too short for a value decode as zero.
  const bytes form = hex({0x07, 0x00, 0x2A});
  for (size_t length : {0, 1}) {
    const big_decimal value(form.data(), length);
    EXPECT_TRUE(value.is_zero());
    EXPECT_EQ(value.scale(), 0);
  }
  const big_decimal scale_only(form.data(), 2);
  EXPECT_TRUE(scale_only.is_zero());
  EXPECT_EQ(scale_only.scale(), 7);
  EXPECT_EQ(big_decimal(form.data(), 3).to_string(), "0.0000042");
}

TEST(BigDecimalTest, CompareIsNumericWhateverTheScales) {
  const struct {
    big_decimal a, b;
    int expected;
  } cases[] = {
      // Small values at scales -6 to 6 are compared against the exact reference at random.
      {dec(150, 2), dec(15, 1), 0},
      {dec(0, 5), dec(0, -3), 0},
      {dec(12, -2), dec(1200, 0), 0},
      {dec(0, 9), dec(1, 30000), -1},
      {dec(1, 32767), dec(1, -32768), -1},
      {dec(-1, 32767), dec(-1, -32768), 1},
      {dec("1" + std::string(40, '0'), 40), dec(1, 0), 0},
      {dec("1" + std::string(40, '0'), 40), dec(10000001, 7), -1},
      {dec("-1" + std::string(25, '0') + "1", 25), dec(-1, 0), -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.a.to_string() + " vs " + c.b.to_string());
    EXPECT_EQ(c.a.compare(c.b), c.expected);
    EXPECT_EQ(c.b.compare(c.a), -c.expected);
    const bytes x = encode(c.a), y = encode(c.b);
    EXPECT_EQ(big_decimal::compare_bytes(x.data(), x.size(), y.data(), y.size()), c.expected);
  }
}

TEST(BigDecimalTest, RandomCompareAndArithmeticMatchExactReference) {
  const uint64_t seed = testing::test_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  for (int i = 0; i < 3000; ++i) {
    const int64_t x = static_cast<int32_t>(rng()) >> (rng() % 32);
    const int64_t y = rng() % 5 == 0 ? x : static_cast<int32_t>(rng()) >> (rng() % 32);
    const int xs = static_cast<int>(rng() % 13) - 6, ys = static_cast<int>(rng() % 13) - 6;
    const big_decimal a = dec(x, static_cast<int16_t>(xs)), b = dec(y, static_cast<int16_t>(ys));
    const __int128 rx = at_scale_12(x, xs), ry = at_scale_12(y, ys);
    const int expected = (rx > ry) - (rx < ry);
    ASSERT_EQ(a.compare(b), expected) << a << " vs " << b;
    const bytes ea = encode(a), eb = encode(b);
    ASSERT_EQ(big_decimal::compare_bytes(ea.data(), ea.size(), eb.data(), eb.size()), expected);

    big_decimal r;
    a.add(b, r);
    ASSERT_EQ(r.scale(), std::max(xs, ys));
    ASSERT_EQ(r.unscaled().to_string(), text((rx + ry) / pow10(12 - r.scale())));
    a.subtract(b, r);
    ASSERT_EQ(r.scale(), std::max(xs, ys));
    ASSERT_EQ(r.unscaled().to_string(), text((rx - ry) / pow10(12 - r.scale())));
    a.multiply(b, r);
    ASSERT_EQ(r.scale(), xs + ys);
    ASSERT_EQ(r.unscaled().to_int64(), x * y);
  }
}

TEST(BigDecimalTest, SetScaleMultipliesOrTruncatesTowardZero) {
  const struct {
    big_decimal value;
    int16_t scale;
    std::string unscaled;
  } cases[] = {
      {dec(-199, 2), 0, "-1"},
      {dec(199, 2), 1, "19"},
      {dec(-199, 2), 1, "-19"},
      {dec(15, 1), 2, "150"},
      {dec(5, 0), -2, "0"},
      {dec(-123, 0), -1, "-12"},
      {dec(7, 3), 3, "7"},
      {dec(1, 0), 25, "1" + std::string(25, '0')},
      {dec("1" + std::string(30, '0'), 30), 0, "1"},
      {dec(-99, 0), -19, "0"},
      {dec("-123456789012345678901234567890", 0), -20, "-1234567890"},
      // Far apart scales: no 16-bit wrap-around, and no giant power of ten for a zero result.
      {dec(1, 32767), -32768, "0"},
      {dec(3, -200), 100, "3" + std::string(300, '0')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.to_string() + " to scale " + std::to_string(c.scale));
    big_decimal result;
    c.value.set_scale(c.scale, result);
    EXPECT_EQ(result.scale(), c.scale);
    EXPECT_EQ(result.unscaled().to_string(), c.unscaled);
    big_decimal in_place = c.value;
    in_place.set_scale(c.scale, in_place);
    EXPECT_EQ(in_place.unscaled().to_string(), c.unscaled);
  }
}

// Scales -6 to 6 are checked against the exact reference at random; here aliasing and extremes.
TEST(BigDecimalTest, ArithmeticWithAliasedOutputsAndScalesBeyondSixteenBits) {
  big_decimal r;
  big_decimal x = dec(5, 1);
  x.add(x, x);
  EXPECT_EQ(x.to_string(), "1.0");
  x.multiply(x, x);
  EXPECT_EQ(x.to_string(), "1.00");
  // A product scale beyond 16 bits is brought back into range.
  dec(7, 30000).multiply(dec(3, 30000), r);
  EXPECT_EQ(r.scale(), 32767);
  EXPECT_TRUE(r.is_zero());
  dec(7, -30000).multiply(dec(3, -3000), r);
  EXPECT_EQ(r.scale(), -32768);
  EXPECT_EQ(r.unscaled().to_string(), "21" + std::string(232, '0'));
}

TEST(BigDecimalTest, DivideChoosesScaleFromDivisorPrecision) {
  const struct {
    big_decimal dividend, divisor;
    std::string text;
    int16_t scale;
  } cases[] = {
      {dec(1, 0), dec(3, 0), "0.333333", 6},
      {dec(1000, 2), dec(4, 0), "2.500000", 6},
      {dec(-1, 0), dec(3, 0), "-0.333333", 6},
      {dec(1, 0), dec(-3, 0), "-0.333333", 6},
      // The quotient has scale 6 - 1 and is then rescaled to 6.
      {dec(1, 0), dec(3, 1), "3.333330", 6},
      {dec(12345, 0), dec(1234567, 0), "0.00999945", 8},
      {dec(1, 10), dec(7, 0), "0.000000000014", 12},
      {dec(1, 0), dec(3, -2), "0.003333", 6},
      {dec(0, 4), dec(3, 0), "0", 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dividend.to_string() + " / " + c.divisor.to_string());
    big_decimal r;
    c.dividend.divide(c.divisor, r);
    EXPECT_EQ(r.to_string(), c.text);
    EXPECT_EQ(r.scale(), c.scale);
  }
  big_decimal r;
  dec(1, 0).divide(dec(3, 0), r);
  EXPECT_EQ(r.unscaled().to_int64(), 333333);
  for (const big_decimal& zero : {dec(0, 0), dec(0, 3)}) {
    EXPECT_EQ(testing::message_of<ombrel_error>([&] { dec(1, 0).divide(zero, r); }),
              "mbedtls: division by zero");
  }
}

TEST(BigDecimalTest, TextFormPlacesDecimalPointByScaleAndStreamsReadIt) {
  const struct {
    big_decimal value;
    std::string text;
  } cases[] = {
      {dec(5, 2), "0.05"}, {dec(-5, 2), "-0.05"},    {dec(12, -2), "1200"},
      {dec(0, 7), "0"},    {dec(0, -7), "0"},        {dec(150, 2), "1.50"},
      {dec(1, 0), "1"},    {dec(-123, 3), "-0.123"}, {dec(-12, -1), "-120"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.value.to_string(), c.text);
    std::ostringstream out;
    out << c.value;
    EXPECT_EQ(out.str(), c.text);
  }
  std::istringstream in(" -12.30 7 .5 x");
  big_decimal a, b, c, d = dec(9, 0);
  in >> a >> b >> c;
  EXPECT_EQ(a.unscaled().to_int64(), -1230);
  EXPECT_EQ(a.scale(), 2);
  EXPECT_EQ(b.to_string(), "7");
  EXPECT_EQ(c.to_string(), "0.5");
  in >> d;
  EXPECT_TRUE(in.fail());
  EXPECT_EQ(d.to_string(), "9");
}

}  // namespace
}  // namespace ombrel
