#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "model/big_decimal.h"
#include "model/big_integer.h"
#include "model/binary_tuple_builder.h"
#include "model/binary_tuple_parser.h"
#include "native/errors.h"
#include "tests/support/testing.h"

namespace ombrel {
namespace {

using bytes = std::vector<std::byte>;
using parser = binary_tuple_parser;

struct null_value {
  bool operator==(const null_value&) const = default;
};
struct varlen_value {  // appended with the escape rule
  std::string text;
  bool operator==(const varlen_value&) const = default;
};
struct raw_value {  // appended as raw bytes
  std::string text;
  bool operator==(const raw_value&) const = default;
};
struct number_value {  // a NUMBER, appended through big_integer
  int64_t v;
  bool operator==(const number_value&) const = default;
};
struct decimal_value {  // a DECIMAL, appended through big_decimal
  int64_t unscaled;
  int16_t scale;
  bool operator==(const decimal_value&) const = default;
};

using value =
    std::variant<null_value, bool, int8_t, int16_t, int32_t, int64_t, float, double, uuid,
                 ombrel_date, ombrel_time, ombrel_date_time, ombrel_timestamp, ombrel_duration,
                 ombrel_period, varlen_value, raw_value, number_value, decimal_value>;

big_decimal make_decimal(const decimal_value& x) { return {big_integer(x.unscaled), x.scale}; }

bytes of(std::initializer_list<int> list) { return testing::bytes_from(list); }

bytes_view view(const std::string& s) { return {s.data(), s.size()}; }
bytes_view view(const bytes& b) { return {b.size(), b.data()}; }

template <typename... F>
struct overload : F... {
  using F::operator()...;
};

// Claims room for `v` or appends it: every claim_X has its append_X twin.
#define PUT(NAME, ...) claiming ? b.claim_##NAME(__VA_ARGS__) : b.append_##NAME(__VA_ARGS__)
void put(binary_tuple_builder& b, const value& v, bool claiming) {
  std::visit(
      overload{[&](null_value) { PUT(null); }, [&](bool x) { PUT(bool, x); },
               // Odd values are appended through the pointer forms of the integer appenders.
               [&](int8_t x) { claiming || !(x & 1) ? PUT(int8, x) : b.append_int8_ptr(&x); },
               [&](int16_t x) { claiming || !(x & 1) ? PUT(int16, x) : b.append_int16_ptr(&x); },
               [&](int32_t x) { claiming || !(x & 1) ? PUT(int32, x) : b.append_int32_ptr(&x); },
               [&](int64_t x) { claiming || !(x & 1) ? PUT(int64, x) : b.append_int64_ptr(&x); },
               [&](float x) { PUT(float, x); }, [&](double x) { PUT(double, x); },
               [&](const uuid& x) { PUT(uuid, x); }, [&](const ombrel_date& x) { PUT(date, x); },
               [&](const ombrel_time& x) { PUT(time, x); },
               [&](const ombrel_date_time& x) { PUT(date_time, x); },
               [&](const ombrel_timestamp& x) { PUT(timestamp, x); },
               [&](const ombrel_duration& x) { PUT(duration, x); },
               [&](const ombrel_period& x) { PUT(period, x); },
               [&](const varlen_value& x) { PUT(varlen, view(x.text)); },
               [&](const raw_value& x) { PUT(bytes, view(x.text)); },
               [&](const number_value& x) { PUT(number, big_integer(x.v)); },
               [&](const decimal_value& x) { PUT(number, make_decimal(x)); }},
      v);
}
#undef PUT

bytes build(binary_tuple_builder& b, const std::vector<value>& values) {
  b.start();
  for (const auto& v : values) put(b, v, true);
  b.layout();
  for (const auto& v : values) put(b, v, false);
  return b.buffer();
}

bytes build(const std::vector<value>& values) {
  binary_tuple_builder b(static_cast<int32_t>(values.size()));
  return build(b, values);
}

// Encoding of one non-null value as the element of a one-element tuple.
bytes element_of(const value& v) {
  const bytes t = build({v});
  return bytes(t.begin() + 2, t.end());
}

std::string error_of(const std::function<void()>& f) {
  return testing::message_of<std::out_of_range>(f);
}

TEST(BinaryTupleTest, IntegersUseTheShortestWidth) {
  const std::pair<int64_t, bytes> cases[] = {
      {0, of({0x00})},
      {127, of({0x7f})},
      {128, of({0x80, 0x00})},
      {-128, of({0x80})},
      {-129, of({0x7f, 0xff})},
      {32767, of({0xff, 0x7f})},
      {32768, of({0x00, 0x80, 0x00, 0x00})},
      {-32769, of({0xff, 0x7f, 0xff, 0xff})},
      {int64_t{1} << 31, of({0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00})},
      {INT32_MIN, of({0x00, 0x00, 0x00, 0x80})},
      {int64_t{INT32_MIN} - 1, of({0xff, 0xff, 0xff, 0x7f, 0xff, 0xff, 0xff, 0xff})},
      {INT64_MIN, of({0, 0, 0, 0, 0, 0, 0, 0x80})},
  };
  for (const auto& [v, expected] : cases) {
    SCOPED_TRACE(v);
    EXPECT_EQ(element_of(v), expected);
    EXPECT_EQ(parser::get_int64(view(expected)), v);
  }
  EXPECT_EQ(element_of(int32_t{-129}), of({0x7f, 0xff}));
  EXPECT_EQ(element_of(int16_t{101}), of({0x65}));
  EXPECT_EQ(element_of(int8_t{-1}), of({0xff}));
  // The whole tuple: header, one 1-byte entry, the value.
  EXPECT_EQ(build({int64_t{128}}), of({0x00, 0x02, 0x80, 0x00}));
}

TEST(BinaryTupleTest, DoubleUsesSinglePrecisionOnlyWhenExact) {
  EXPECT_EQ(element_of(0.5), of({0x00, 0x00, 0x00, 0x3f}));
  EXPECT_EQ(element_of(0.1), of({0x9a, 0x99, 0x99, 0x99, 0x99, 0x99, 0xb9, 0x3f}));
  EXPECT_EQ(element_of(1e300).size(), 8u);
  EXPECT_EQ(element_of(std::numeric_limits<double>::infinity()).size(), 4u);
  EXPECT_EQ(element_of(std::numeric_limits<double>::quiet_NaN()).size(), 8u);
  EXPECT_TRUE(std::isnan(parser::get_double(view(element_of(std::nan(""))))));
  EXPECT_EQ(parser::get_double(view(element_of(0.1))), 0.1);
  EXPECT_EQ(parser::get_double(view(element_of(-0.5))), -0.5);
  EXPECT_EQ(element_of(1.5f), of({0x00, 0x00, 0xc0, 0x3f}));
}

TEST(BinaryTupleTest, TimeFormDependsOnNanoseconds) {
  const std::pair<int32_t, bytes> cases[] = {
      {0, of({0x00, 0x78, 0x94, 0x02})},
      {1000, of({0x01, 0x00, 0xe0, 0x51, 0x0a})},
      {1, of({0x01, 0x00, 0x00, 0x80, 0x47, 0x29})},
      {5000000, of({0x05, 0x78, 0x94, 0x02})},
  };
  for (const auto& [nano, expected] : cases) {
    SCOPED_TRACE(nano);
    const ombrel_time t{10, 20, 30, nano};
    EXPECT_EQ(element_of(t), expected);
    EXPECT_EQ(parser::get_time(view(expected)), t);
    bytes date_time = of({0x6f, 0xd0, 0x0f});
    date_time.insert(date_time.end(), expected.begin(), expected.end());
    EXPECT_EQ(element_of(ombrel_date_time{{2024, 3, 15}, t}), date_time);
    EXPECT_EQ(parser::get_date_time(view(date_time)), (ombrel_date_time{{2024, 3, 15}, t}));
  }
}

TEST(BinaryTupleTest, DatePacksYearMonthDay) {
  const std::pair<ombrel_date, bytes> cases[] = {
      {{2024, 3, 15}, of({0x6f, 0xd0, 0x0f})},
      {{-1, 1, 1}, of({0x21, 0xfe, 0xff})},
      {{16383, 12, 31}, of({0x9f, 0xff, 0x7f})},
      {{-16384, 1, 1}, of({0x21, 0x00, 0x80})},
  };
  for (const auto& [d, expected] : cases) {
    SCOPED_TRACE(d.year);
    EXPECT_EQ(element_of(d), expected);
    EXPECT_EQ(parser::get_date(view(expected)), d);
  }
}

TEST(BinaryTupleTest, TimestampDurationAndPeriodWidths) {
  EXPECT_EQ(element_of(ombrel_timestamp{1, 0}), of({1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(element_of(ombrel_timestamp{-1, 7}),
            of({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 7, 0, 0, 0}));
  EXPECT_EQ(element_of(ombrel_duration{2, 0}).size(), 8u);
  EXPECT_EQ(parser::get_duration(view(of({2, 0, 0, 0, 0, 0, 0, 0}))), (ombrel_duration{2, 0}));
  EXPECT_EQ(element_of(ombrel_period{1, 2, 3}), of({1, 2, 3}));
  EXPECT_EQ(element_of(ombrel_period{1, 200, 3}), of({1, 0, 200, 0, 3, 0}));
  EXPECT_EQ(element_of(ombrel_period{1, 2, 40000}), of({1, 0, 0, 0, 2, 0, 0, 0, 0x40, 0x9c, 0, 0}));
  EXPECT_EQ(element_of(ombrel_period{-128, 127, 0}), of({0x80, 0x7f, 0}));
  EXPECT_EQ(element_of(ombrel_period{0, -129, 0}), of({0, 0, 0x7f, 0xff, 0, 0}));
  EXPECT_EQ(element_of(ombrel_period{-32768, 0, 0}), of({0, 0x80, 0, 0, 0, 0}));
  EXPECT_EQ(element_of(ombrel_period{0, 0, -32769}),
            of({0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0x7f, 0xff, 0xff}));
  EXPECT_EQ(parser::get_period(view(of({0xff, 0, 200, 0, 3, 0}))), (ombrel_period{255, 200, 3}));
}

TEST(BinaryTupleTest, UuidIsTwoLittleEndianHalvesMostSignificantFirst) {
  const uuid id{0x0102030405060708, static_cast<int64_t>(0xf1f2f3f4f5f6f7f8)};
  const bytes expected = of({0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0xf8, 0xf7, 0xf6, 0xf5,
                             0xf4, 0xf3, 0xf2, 0xf1});
  EXPECT_EQ(element_of(id), expected);
  EXPECT_EQ(parser::get_uuid(view(expected)), id);
}

TEST(BinaryTupleTest, OffsetEntrySizeFollowsValueAreaSize) {
  const std::pair<size_t, int> cases[] = {{255, 1}, {256, 2}, {65535, 2}, {65536, 4}};
  for (const auto& [area, entry] : cases) {
    SCOPED_TRACE(area);
    // Two elements: a null and a raw value filling the area.
    const std::string payload(area, 'x');
    const bytes t = build({null_value{}, raw_value{payload}});
    ASSERT_EQ(t.size(), 1 + 2 * entry + area);
    EXPECT_EQ(static_cast<int>(t[0]), entry == 1 ? 0 : entry == 2 ? 1 : 2);
    bytes table(t.begin() + 1, t.begin() + 1 + 2 * entry);
    bytes expected_table(2 * entry, std::byte{0});
    for (int i = 0; i < entry; ++i) {
      expected_table[entry + i] = static_cast<std::byte>(area >> (8 * i));
    }
    EXPECT_EQ(table, expected_table);
    parser p(2, view(t));
    EXPECT_EQ(p.entry_size(), static_cast<uint32_t>(entry));
    EXPECT_TRUE(p.get_next().is_null());
    EXPECT_EQ(p.get_next().as_string(), payload);
    EXPECT_FALSE(p.has_next());
  }
}

TEST(BinaryTupleTest, EmptyAndEscapedVarlenValuesRoundTrip) {
  const std::string with_escape = std::string("\x80") + "ab";
  const std::pair<std::string, bytes> cases[] = {
      {"", of({0x80})},
      {with_escape, of({0x80, 0x80, 'a', 'b'})},
      {"ab", of({'a', 'b'})},
      {std::string("\x7f"), of({0x7f})},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(element_of(varlen_value{text}), expected);
    const bytes_view payload = parser::get_varlen(view(expected));
    EXPECT_FALSE(payload.is_null());
    EXPECT_EQ(payload.as_string(), text);
  }
  // Null and empty differ: the null has length 0, the empty value length 1.
  const bytes t = build({null_value{}, varlen_value{""}});
  EXPECT_EQ(t, of({0x00, 0x00, 0x01, 0x80}));
  parser p(2, view(t));
  EXPECT_TRUE(p.get_next().is_null());
  const bytes_view empty = p.get_next();
  EXPECT_EQ(empty.size(), 1u);
  EXPECT_EQ(parser::get_varlen(empty).size(), 0u);
  EXPECT_FALSE(parser::get_varlen(empty).is_null());
}

TEST(BinaryTupleTest, ZeroElementTupleIsOneHeaderByte) {
  EXPECT_EQ(build({}), of({0x00}));
  const bytes t = of({0x00, 0x55});
  parser p(0, view(t));
  EXPECT_EQ(p.tuple().size(), 1u);
  EXPECT_FALSE(p.has_next());
  EXPECT_EQ(error_of([] { parser(0, bytes_view{}); }), "Too short byte buffer");
}

TEST(BinaryTupleTest, ShortBuffersAreRefusedAndTrailingBytesIgnored) {
  const std::vector<value> values = {int64_t{1}, null_value{}, varlen_value{"hello"},
                                     ombrel_timestamp{5, 6}};
  const bytes t = build(values);
  for (size_t n = 0; n < t.size(); ++n) {
    SCOPED_TRACE(n);
    // An exactly sized heap copy, so that any read past it is caught under ASan.
    const bytes prefix(t.begin(), t.begin() + n);
    EXPECT_EQ(error_of([&] { parser(4, view(prefix)); }), "Too short byte buffer");
  }
  bytes longer = t;
  longer.insert(longer.end(), {std::byte{1}, std::byte{2}, std::byte{3}});
  parser p(4, view(longer));
  EXPECT_EQ(p.tuple().size(), t.size());
  EXPECT_EQ(parser::get_int64(p.get_next()), 1);
  EXPECT_TRUE(p.get_next().is_null());
  EXPECT_EQ(parser::get_varlen(p.get_next()).as_string(), "hello");
  EXPECT_EQ(parser::get_timestamp(p.get_next()), (ombrel_timestamp{5, 6}));
  EXPECT_EQ(error_of([&] { p.get_next(); }), "No more elements");
  p.reset();
  EXPECT_EQ(parser::get_int64(p.get_next()), 1);
}

TEST(BinaryTupleTest, LyingHeadersAndOffsetsAreRefused) {
  struct hostile {
    const char* what;
    int32_t count;
    bytes tuple;
    std::string message;  // from the constructor, or else from reading every element
  };
  const hostile cases[] = {
      {"decreasing offset", 3, of({0x00, 0x02, 0x01, 0x03, 'a', 'b', 'c'}), "Bad offset table"},
      {"offset beyond the area", 2, of({0x00, 0x05, 0x02, 'a', 'b'}), "Bad offset table"},
      {"area beyond the buffer", 1, of({0x00, 0x05, 'a'}), "Too short byte buffer"},
      {"table beyond the buffer", 3, of({0x01, 0x00, 0x00, 0x00}), "Too short byte buffer"},
      {"huge 8-byte area size", 1, of({0x03, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}),
       "Too short byte buffer"},
      {"huge element count", INT32_MAX, of({0x03, 0x00}), "Too short byte buffer"},
      {"negative element count", -1, of({0x00}), "Bad element count"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(error_of([&] {
                parser p(c.count, view(c.tuple));
                while (p.has_next()) p.get_next();
              }),
              c.message);
  }
  // Bits 2-7 of the header are ignored; 8-byte entries are accepted on reading.
  const bytes wide = of({0xfc | 0x03, 1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 'a', 'b'});
  parser p(2, view(wide));
  EXPECT_EQ(p.entry_size(), 8u);
  EXPECT_EQ(p.get_next().as_string(), "a");
  EXPECT_EQ(p.get_next().as_string(), "b");
}

// The decoders of fixed-size types and the element lengths each accepts.
struct decoder {
  const char* name;
  std::function<void(bytes_view)> decode;
  std::vector<size_t> allowed;
};
const decoder DECODERS[] = {
    {"bool", [](bytes_view v) { parser::get_bool(v); }, {1}},
    {"int8", [](bytes_view v) { parser::get_int8(v); }, {1}},
    {"int16", [](bytes_view v) { parser::get_int16(v); }, {1, 2}},
    {"int32", [](bytes_view v) { parser::get_int32(v); }, {1, 2, 4}},
    {"int64", [](bytes_view v) { parser::get_int64(v); }, {1, 2, 4, 8}},
    {"float", [](bytes_view v) { parser::get_float(v); }, {4}},
    {"double", [](bytes_view v) { parser::get_double(v); }, {4, 8}},
    {"uuid", [](bytes_view v) { parser::get_uuid(v); }, {16}},
    {"date", [](bytes_view v) { parser::get_date(v); }, {3}},
    {"time", [](bytes_view v) { parser::get_time(v); }, {4, 5, 6}},
    {"date_time", [](bytes_view v) { parser::get_date_time(v); }, {7, 8, 9}},
    {"timestamp", [](bytes_view v) { parser::get_timestamp(v); }, {8, 12}},
    {"duration", [](bytes_view v) { parser::get_duration(v); }, {8, 12}},
    {"period", [](bytes_view v) { parser::get_period(v); }, {3, 6, 12}},
};

TEST(BinaryTupleTest, DecodersRefuseLengthsTheTypeDoesNotAllow) {
  for (const auto& d : DECODERS) {
    for (size_t n = 0; n <= 17; ++n) {
      SCOPED_TRACE(std::string(d.name) + " " + std::to_string(n));
      const bytes element(n, std::byte{0x5a});
      const bool ok = std::find(d.allowed.begin(), d.allowed.end(), n) != d.allowed.end();
      EXPECT_EQ(error_of([&] { d.decode(view(element)); }),
                ok ? "<no exception>" : "Bad element size");
    }
  }
  EXPECT_EQ(error_of([] { parser::get_varlen(bytes_view{}); }), "Bad element size");
}

// The byte forms are big_integer's and big_decimal's (their own tests pin them); here the
// element around them. A decimal is rescaled on reading only upward.
TEST(BinaryTupleTest, NumbersAndDecimals) {
  EXPECT_EQ(element_of(number_value{-129}), of({0xff, 0x7f}));
  EXPECT_EQ(element_of(number_value{128}), of({0x00, 0x80}));
  EXPECT_EQ(parser::get_number(view(of({0xff, 0x7f}))).to_int64(), -129);
  EXPECT_EQ(parser::get_number(bytes_view{}).to_string(), "0");
  EXPECT_EQ(element_of(decimal_value{150, 2}), of({0x02, 0x00, 0x00, 0x96}));
  EXPECT_EQ(element_of(decimal_value{-5, -3}), of({0xfd, 0xff, 0xfb}));
  EXPECT_EQ(element_of(decimal_value{0, 5}), of({0x00, 0x00, 0x00}));
  EXPECT_EQ(parser::get_decimal(view(of({0x02, 0x00, 0x00, 0x96}))).to_string(), "1.50");
  const bytes d = element_of(decimal_value{1234, 3});  // 1.234
  EXPECT_EQ(error_of([&] { parser::get_decimal(view(d), 2); }),
            "Invalid scale, expected less than or equal to 2, but was 3");
  const big_decimal up = parser::get_decimal(view(d), 5);
  EXPECT_EQ(up.scale(), 5);
  EXPECT_EQ(up.unscaled().to_int64(), 123400);
  const big_decimal same = parser::get_decimal(view(d), 3);
  EXPECT_EQ(same.scale(), 3);
  EXPECT_EQ(same.unscaled().to_int64(), 1234);
  const bytes negative = element_of(decimal_value{7, -1});  // 70
  EXPECT_EQ(error_of([&] { parser::get_decimal(view(negative), -2); }),
            "Invalid scale, expected less than or equal to -2, but was -1");
  EXPECT_EQ(parser::get_decimal(view(negative), 0).unscaled().to_int64(), 70);
  // A decimal needs its 2 scale bytes and at least one unscaled byte.
  for (size_t n = 0; n < 3; ++n) {
    const bytes shortened(d.begin(), d.begin() + n);
    EXPECT_EQ(error_of([&] { parser::get_decimal(view(shortened)); }), "Bad element size");
    EXPECT_EQ(error_of([&] { parser::get_decimal(view(shortened), 5); }), "Bad element size");
  }
}

TEST(BinaryTupleTest, AppendBeyondTheClaimFailsAndTheBuilderIsReusable) {
  binary_tuple_builder b(2);
  b.start();
  b.claim_int64(1);
  b.claim_null();
  b.layout();
  EXPECT_THROW(b.append_int64(1000), errors::fatal_error);  // claimed 1 byte, needs 2
  b.start();
  b.claim_null();
  b.claim_null();
  b.layout();
  b.append_null();
  b.append_null();
  EXPECT_THROW(b.append_null(), errors::fatal_error);  // a third element
  binary_tuple_builder unlaid(1);
  EXPECT_THROW(unlaid.append_null(), errors::fatal_error);
  // After a failure the builder starts afresh.
  EXPECT_EQ(build(b, {raw_value{std::string(300, 'y')}, int8_t{1}}).size(), 1 + 4 + 301u);
  EXPECT_EQ(build(b, {int8_t{7}, null_value{}}), of({0x00, 0x01, 0x01, 0x07}));
  EXPECT_EQ(b.release(), of({0x00, 0x01, 0x01, 0x07}));
}

}  // namespace
}  // namespace ombrel
