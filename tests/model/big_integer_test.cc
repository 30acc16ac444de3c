#include "model/big_integer.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <functional>
#include <limits>
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

big_integer from_string(const std::string& text) {
  big_integer value;
  value.assign_string(text);
  return value;
}

bytes encode(const big_integer& value) {
  bytes out(value.byte_size());
  value.store_bytes(out.data());
  return out;
}

std::string expect_ombrel_error(const std::function<void()>& action) {
  try {
    action();
  } catch (const ombrel_error& e) {
    EXPECT_EQ(e.code(), ombrel_error::DEFAULT_CODE);
    return e.what();
  }
  ADD_FAILURE() << "no ombrel_error raised";
  return {};
}

TEST(BigIntegerTest, ByteFormIsMinimalBigEndianTwosComplement) {
  const struct {
    std::string value;
    bytes form;
  } cases[] = {
      {"0", hex({0x00})},
      {"128", hex({0x00, 0x80})},
      {"-1", hex({0xFF})},
      {"-128", hex({0x80})},
      {"-129", hex({0xFF, 0x7F})},
      {"9223372036854775808", hex({0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00})},
      {"-9223372036854775808", hex({0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00})},
      {"18446744073709551615", hex({0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})},
      {"-18446744073709551616", hex({0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00})},
      // Magnitude 2^39 + 1 is a power of two only in its top part: 6 bytes, not 5.
      {"-549755813889", hex({0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF})},
      {"-549755813888", hex({0x80, 0x00, 0x00, 0x00, 0x00})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    const big_integer value = from_string(c.value);
    EXPECT_EQ(value.byte_size(), c.form.size());
    EXPECT_EQ(encode(value), c.form);
    const big_integer decoded(c.form.data(), c.form.size());
    EXPECT_EQ(decoded.to_string(), c.value);
  }
  // Beyond 64 bits; 64-bit values are checked for minimal forms in the random test.
  EXPECT_EQ(from_string("-9223372036854775809").bit_length(), 64u);
  EXPECT_EQ(from_string("9223372036854775808").bit_length(), 64u);
}

TEST(BigIntegerTest, DecodingAcceptsRedundantSignBytesAndEmptyInput) {
  const struct {
    bytes form;
    std::string value;
  } cases[] = {
      {{}, "0"},
      {hex({0x00, 0x00, 0x7F}), "127"},
      {hex({0xFF, 0xFF, 0x80}), "-128"},
      {hex({0xFF, 0xFF, 0xFF}), "-1"},
      {hex({0x00, 0x00, 0x00}), "0"},
      {hex({0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}), "-18446744073709551615"},
  };
  for (const auto& c : cases) {
    const big_integer value(c.form.data(), c.form.size());
    EXPECT_EQ(value.to_string(), c.value);
    EXPECT_EQ(encode(value), encode(from_string(c.value))) << c.value;
    EXPECT_FALSE(value.is_zero() && value.is_negative()) << c.value;
  }
}

TEST(BigIntegerTest, RandomValuesRoundTripThroughBytesAndText) {
  const uint64_t seed = testing::test_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  for (int i = 0; i < 2000; ++i) {
    // 64-bit values, biased toward short ones and byte boundaries.
    int64_t v = static_cast<int64_t>(rng()) >> (rng() % 64);
    if (i % 7 == 0) v = -(int64_t{1} << (rng() % 63)) - static_cast<int64_t>(rng() % 2);
    if (i % 7 == 1) v = (int64_t{1} << (rng() % 63)) - static_cast<int64_t>(rng() % 2);
    big_integer value;
    value.assign_int64(v);
    const bytes form = encode(value);
    // Minimal: a leading sign byte only where the next byte's top bit differs from it.
    if (form.size() > 1) {
      const auto top = std::to_integer<unsigned>(form[1]) & 0x80;
      ASSERT_TRUE(form[0] == std::byte{0} ? top : form[0] == std::byte{0xFF} ? !top : true) << v;
    }
    // Bits beyond the sign bit: none for -1, one for 0.
    const uint64_t magnitude = static_cast<uint64_t>(v < 0 ? ~v : v);
    ASSERT_EQ(value.bit_length(), v == 0 ? 1u : static_cast<size_t>(std::bit_width(magnitude)));
    ASSERT_EQ(value.byte_size(), value.bit_length() / 8 + 1);
    const big_integer decoded(form.data(), form.size());
    ASSERT_EQ(decoded.to_int64(), v);
    ASSERT_EQ(decoded.to_string(), std::to_string(v));
    ASSERT_EQ(from_string(std::to_string(v)), value);
  }
  for (int i = 0; i < 500; ++i) {
    // Arbitrary long forms: decoding then encoding gives the minimal form of the same value.
    bytes form(1 + rng() % 80);
    for (auto& b : form) b = static_cast<std::byte>(rng());
    if (rng() % 4 == 0) form[0] = std::byte{0xFF};
    if (rng() % 4 == 0) form[0] = std::byte{0x00};
    const big_integer value(form.data(), form.size());
    const bytes minimal = encode(value);
    ASSERT_LE(minimal.size(), form.size());
    ASSERT_EQ(big_integer::compare_bytes(form.data(), form.size(), minimal.data(), minimal.size()),
              0);
    const bytes again = encode(big_integer(minimal.data(), minimal.size()));
    ASSERT_EQ(again, minimal);
    ASSERT_EQ(from_string(value.to_string()), value);
    // Sign extension of the original form yields the same value.
    bytes longer(form);
    longer.insert(longer.begin(), 3,
                  (std::to_integer<unsigned>(form[0]) & 0x80) ? std::byte{0xFF} : std::byte{0x00});
    ASSERT_EQ(big_integer(longer.data(), longer.size()), value);
  }
}

TEST(BigIntegerTest, CompareBytesOrdersLikeValues) {
  const uint64_t seed = testing::test_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  for (int i = 0; i < 5000; ++i) {
    bytes a(rng() % 9), b(rng() % 9);
    for (auto& x : a) x = static_cast<std::byte>(rng() % 3 == 0 ? (rng() % 2 ? 0xFF : 0) : rng());
    for (auto& x : b) x = static_cast<std::byte>(rng() % 3 == 0 ? (rng() % 2 ? 0xFF : 0) : rng());
    // Up to 8 bytes: the values compare as int64, through the decoding the goldens pin.
    const int64_t x = big_integer(a.data(), a.size()).to_int64();
    const int64_t y = big_integer(b.data(), b.size()).to_int64();
    const int expected = (x > y) - (x < y);
    ASSERT_EQ(big_integer::compare_bytes(a.data(), a.size(), b.data(), b.size()), expected)
        << x << " vs " << y;
    ASSERT_EQ(big_integer(x).compare(big_integer(y)), expected);
  }
  const bytes minus_one = hex({0xFF}), minus_one_long = hex({0xFF, 0xFF, 0xFF});
  const bytes zero_long = hex({0x00, 0x00});
  EXPECT_EQ(big_integer::compare_bytes(minus_one.data(), 1, minus_one_long.data(), 3), 0);
  EXPECT_EQ(big_integer::compare_bytes(nullptr, 0, zero_long.data(), 2), 0);
  EXPECT_EQ(big_integer::compare_bytes(minus_one.data(), 1, nullptr, 0), -1);
}

// Sums, differences and products are checked through the decimal test's exact reference.
TEST(BigIntegerTest, DivisionMatchesInt64AndTruncatesTowardZero) {
  const uint64_t seed = testing::test_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  for (int i = 0; i < 2000; ++i) {
    const int64_t x = static_cast<int32_t>(rng()) >> (rng() % 32);
    int64_t y = static_cast<int32_t>(rng()) >> (rng() % 32);
    if (y == 0) y = -7;
    const big_integer a(x), b(y);
    big_integer q, m;
    a.divide(b, q, m);
    ASSERT_EQ(q.to_int64(), x / y) << x << " / " << y;
    ASSERT_EQ(m.to_int64(), x % y) << x << " % " << y;
    a.divide(b, q);
    ASSERT_EQ(q.to_int64(), x / y);
  }
  // Results that are zero are never negative: -1 / 3 and -3 % 3.
  big_integer q, m;
  big_integer(-1).divide(big_integer(3), q, m);
  EXPECT_FALSE(q.is_negative());
  EXPECT_EQ(encode(q), hex({0x00}));
  EXPECT_EQ(m.to_string(), "-1");
  big_integer(-3).divide(big_integer(3), q, m);
  EXPECT_EQ(m.to_string(), "0");
  big_integer(5).subtract(big_integer(5), q);
  EXPECT_EQ(q.to_string(), "0");
}

TEST(BigIntegerTest, ArithmeticBeyond64BitsAndWithAliasedOutputs) {
  const big_integer a = from_string("18446744073709551617");  // 2^64 + 1
  const big_integer b = from_string("18446744073709551615");  // 2^64 - 1
  big_integer r;
  a.multiply(b, r);
  EXPECT_EQ(r.to_string(), "340282366920938463463374607431768211455");  // 2^128 - 1
  r.add(big_integer(1), r);
  EXPECT_EQ(r.to_string(), "340282366920938463463374607431768211456");
  big_integer q, m;
  r.divide(b, q, m);
  EXPECT_EQ(q.to_string(), "18446744073709551617");
  EXPECT_EQ(m.to_string(), "1");
  big_integer x(-12);
  x.multiply(x, x);
  EXPECT_EQ(x.to_int64(), 144);
  x.subtract(x, x);
  EXPECT_TRUE(x.is_zero());
  EXPECT_FALSE(x.is_negative());
}

TEST(BigIntegerTest, ToInt64KeepsLowBitsOfMagnitudeTimesSignAndCompareCanIgnoreSign) {
  EXPECT_EQ(big_integer(-5).compare(big_integer(3), true), 1);
  EXPECT_EQ(big_integer(-5).compare(big_integer(5), true), 0);
  EXPECT_EQ(big_integer(2).compare(big_integer(-5), true), -1);
  EXPECT_EQ(from_string("18446744073709551621").to_int64(), 5);  // 2^64 + 5
  EXPECT_EQ(from_string("-18446744073709551621").to_int64(), -5);
  EXPECT_EQ(from_string("9223372036854775808").to_int64(), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(big_integer(std::numeric_limits<int64_t>::min()).to_string(), "-9223372036854775808");
  big_integer u;
  u.assign_uint64(std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(u.to_string(), "18446744073709551615");
  EXPECT_EQ(u.to_int64(), -1);
}

TEST(BigIntegerTest, PowAndPowersOfTen) {
  const struct {
    int64_t base;
    int32_t exponent;
    std::string expected;
  } cases[] = {
      {2, 10, "1024"},  {-3, 3, "-27"}, {-3, 2, "9"}, {7, 0, "1"},
      {7, -5, "1"},     {0, 3, "0"},    {0, 0, "1"},  {2, 64, "18446744073709551616"},
      {-1, 1001, "-1"},
  };
  for (const auto& c : cases) {
    big_integer value(c.base);
    value.pow(c.exponent);
    EXPECT_EQ(value.to_string(), c.expected) << c.base << "^" << c.exponent;
  }
  for (int32_t n = -2; n <= 80; ++n) {
    big_integer power;
    big_integer::get_power_of_ten(n, power);
    EXPECT_EQ(power.to_string(), "1" + std::string(n > 0 ? n : 0, '0')) << n;
  }
}

TEST(BigIntegerTest, PrecisionCountsDecimalDigitsAcrossPowersOfTen) {
  // Zero and one digit, the ends of int64; then each power of ten and its neighbours (9, 10, 11,
  // 99, 100, 101, ...), the one below also negated.
  for (int64_t v : {int64_t{0}, int64_t{1}, int64_t{-1}})
    EXPECT_EQ(big_integer(v).get_precision(), 1);
  EXPECT_EQ(big_integer(std::numeric_limits<int64_t>::max()).get_precision(), 19);
  EXPECT_EQ(big_integer(std::numeric_limits<int64_t>::min()).get_precision(), 19);
  for (int32_t k : {1, 2, 18, 19, 20, 21, 38, 39, 100, 307, 308, 1000, 2017, 4000}) {
    SCOPED_TRACE(k);
    big_integer power;
    big_integer::get_power_of_ten(k, power);
    big_integer below, above;
    power.subtract(big_integer(1), below);
    power.add(big_integer(1), above);
    EXPECT_EQ(power.get_precision(), k + 1);
    EXPECT_EQ(below.get_precision(), k);
    EXPECT_EQ(above.get_precision(), k + 1);
    below.negate();
    EXPECT_EQ(below.get_precision(), k);
  }
  const uint64_t seed = testing::test_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  for (int i = 0; i < 300; ++i) {
    bytes form(1 + rng() % 60);
    for (auto& b : form) b = static_cast<std::byte>(rng());
    const big_integer value(form.data(), form.size());
    std::string text = value.to_string();
    if (text[0] == '-') text.erase(0, 1);
    ASSERT_EQ(value.get_precision(), static_cast<int32_t>(text.size())) << text;
  }
}

TEST(BigIntegerTest, MbedtlsFailuresBecomeOmbrelErrors) {
  EXPECT_EQ(expect_ombrel_error([] {
              big_integer q;
              big_integer(1).divide(big_integer(), q);
            }),
            "mbedtls: division by zero");
  EXPECT_EQ(expect_ombrel_error([] {
              big_integer q, r;
              big_integer(1).divide(big_integer(), q, r);
            }),
            "mbedtls: division by zero");
  for (const std::string& text :
       std::vector<std::string>{"12a", "0x10", "1 2", "--1", std::string{'1', '2', '\0', '3'}}) {
    EXPECT_EQ(expect_ombrel_error([&] { from_string(text); }), "mbedtls: invalid characters")
        << text;
  }
  EXPECT_EQ(from_string("-0").to_string(), "0");
  EXPECT_FALSE(from_string("-0").is_negative());
  EXPECT_EQ(from_string("000123").to_int64(), 123);
  EXPECT_EQ(from_string("-98765432109876543210").to_string(), "-98765432109876543210");
}

TEST(BigIntegerTest, ErrorMappingCoversEveryBignumCode) {
  const struct {
    int code;
    const char* message;
  } cases[] = {
      {-0x0002, "mbedtls: file io error"},      {-0x0004, "mbedtls: bad input data"},
      {-0x0006, "mbedtls: invalid characters"}, {-0x0008, "mbedtls: buffer too small"},
      {-0x000A, "mbedtls: negative value"},     {-0x000C, "mbedtls: division by zero"},
      {-0x000E, "mbedtls: not acceptable"},     {-0x0010, "mbedtls: alloc failed"},
      {-0x0012, "mbedtls: unspecified error"},  {1, "mbedtls: unspecified error"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(expect_ombrel_error([&] { detail::check_mbedtls(c.code); }), c.message);
  }
  EXPECT_NO_THROW(detail::check_mbedtls(0));
  const ombrel_error e("text");
  EXPECT_EQ(e.code(), 0x90001);
  EXPECT_FALSE(e.cause());
  EXPECT_TRUE(e.attributes().empty());
}

TEST(BigIntegerTest, HostileLengthsDoNotCrash) {
  // Long but representable: round trips.
  bytes form(60000, std::byte{0x5A});
  form[0] = std::byte{0xA5};
  const big_integer value(form.data(), form.size());
  EXPECT_TRUE(value.is_negative());
  EXPECT_EQ(encode(value), form);
  // Beyond what Mbed TLS accepts: an error, not a crash.
  const bytes huge(1 << 20, std::byte{0x7F});
  EXPECT_EQ(expect_ombrel_error([&] { big_integer(huge.data(), huge.size()); }),
            "mbedtls: alloc failed");
}

TEST(BigIntegerTest, StreamOperatorsUseDecimalText) {
  std::istringstream in("  -123 456789012345678901234 x");
  big_integer a, b, c(7);
  in >> a >> b;
  EXPECT_EQ(a.to_int64(), -123);
  EXPECT_EQ(b.to_string(), "456789012345678901234");
  in >> c;
  EXPECT_TRUE(in.fail());
  EXPECT_EQ(c.to_int64(), 7);
  std::ostringstream out;
  out << a << ' ' << big_integer();
  EXPECT_EQ(out.str(), "-123 0");
}

}  // namespace
}  // namespace ombrel
