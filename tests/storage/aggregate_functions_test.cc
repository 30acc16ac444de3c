#include "storage/aggregate_functions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "model/binary_tuple_builder.h"
#include "native/errors.h"
#include "tests/storage/storage_test_util.h"
#include "tests/support/testing.h"
#include "tests/support/tuples.h"

namespace ombrel {
namespace {

using value_bytes = std::optional<std::vector<std::byte>>;

template <typename T>
std::vector<std::byte> fixed(const T& v) {
  return testing::material(v);
}

std::vector<std::byte> bytes(std::initializer_list<int> values) {
  return testing::bytes_from(values);
}

using testing::decimal;
using testing::join;
using testing::packed_date;
using testing::packed_time;

std::vector<std::byte> number(int64_t v) { return testing::stored(big_integer(v)); }

// Folds the values, one row of one column each, and renders the result.
value_bytes fold(const aggregate_function& f, const std::vector<value_bytes>& xs) {
  aggregate_value v;
  f.initialize(v);
  for (const value_bytes& x : xs) {
    row_values row{x ? std::optional(bytes_view(x->size(), x->data())) : std::nullopt};
    f.aggregate(v, row);
  }
  combined_buffer buffer;
  const std::optional<bytes_view> r = v.get_internal_slice(buffer);
  if (!r) return std::nullopt;
  return std::vector<std::byte>(r->begin(), r->end());
}

std::string refusal(ombrel_aggregate_function code, int64_t position, ombrel_type type) {
  return testing::message_of<errors::error>([&] { make_aggregate_function(code, position, type); });
}

// Per argument type: two values lo < hi in material form and what sum and avg of both give.
struct sample {
  std::vector<std::byte> lo, hi;
  value_bytes sum = std::nullopt;
  value_bytes avg = std::nullopt;
};

sample sample_of(ombrel_type type) {
  switch (type) {
    case INT8:
      return {fixed<int8_t>(-5), fixed<int8_t>(100), fixed<int64_t>(95), fixed(47.5)};
    case INT16:
      return {fixed<int16_t>(-300), fixed<int16_t>(3001), fixed<int64_t>(2701), fixed(1350.5)};
    case INT32:
      return {fixed<int32_t>(-70000), fixed<int32_t>(70001), fixed<int64_t>(1), fixed(0.5)};
    case INT64:  // the sum wraps; the average is taken of the wrapped sum
      return {fixed<int64_t>(INT64_MAX), fixed<int64_t>(INT64_MAX), fixed<int64_t>(-2),
              fixed(-1.0)};
    case FLOAT:
      return {fixed(-1.5f), fixed(2.25f), fixed(0.75), fixed(0.375)};
    case DOUBLE:
      return {fixed(-0.5), fixed(1e300), fixed(1e300 - 0.5), fixed((1e300 - 0.5) / 2)};
    case DECIMAL:  // mixed scales; 3.75 / 2 at scale max(6, 2 + 1 + 1)
      return {decimal("1.5"), decimal("2.25"), decimal("3.75"), decimal("1.875000")};
    case NUMBER:  // the integer quotient as a DECIMAL of scale 0
      return {number(-7), number(300), number(293), decimal("146")};
    case DATE:
      return {packed_date(2020, 1, 31), packed_date(2020, 2, 1)};
    case TIME:
      return {packed_time(10, 59, 59, 999999999), packed_time(11, 0, 0, 0)};
    case DATE_TIME:
      return {join(packed_date(2020, 1, 1), packed_time(23, 0, 0, 0)),
              join(packed_date(2020, 1, 2), packed_time(1, 0, 0, 0))};
    case TIMESTAMP:
    case DURATION:
      return {join(fixed<int64_t>(-1), fixed<int32_t>(999)),
              join(fixed<int64_t>(0), fixed<int32_t>(5))};
    case PERIOD:
      return {join(fixed<int32_t>(1), fixed<int64_t>(99)),
              join(fixed<int32_t>(2), fixed<int64_t>(0))};
    case UUID:  // bytewise: 00 01 ... sorts before 01 00 ... although its first half is larger
      return {fixed(uuid{0x100, 0}), fixed(uuid{1, 0})};
    case STRING:
      return {bytes({'a', 'b'}), bytes({'b'})};
    case BYTES:
      return {bytes({0x01, 0xff}), bytes({0x80})};
    default:
      return {bytes({1}), bytes({2})};
  }
}

// Integer arguments widen to INT64, FLOAT to DOUBLE; the others keep their form.
std::vector<std::byte> widened(ombrel_type type, const std::vector<std::byte>& v) {
  switch (type) {
    case INT8:
      return fixed<int64_t>(static_cast<int8_t>(v[0]));
    case INT16:
      return fixed<int64_t>(*reinterpret_cast<const int16_t*>(v.data()));
    case INT32:
      return fixed<int64_t>(*reinterpret_cast<const int32_t*>(v.data()));
    case FLOAT:
      return fixed<double>(*reinterpret_cast<const float*>(v.data()));
    default:
      return v;
  }
}

TEST(AggregateFunctionsTest, EveryFunctionAgainstEveryArgumentType) {
  const char* names[] = {"count(c)", "sum(c)", "avg(c)", "min(c)", "max(c)", "c"};
  for (int32_t t = 0; t < OMBREL_TYPE_COUNT; ++t) {
    const auto type = static_cast<ombrel_type>(t);
    const bool integer = type >= INT8 && type <= INT64;
    const bool floating = type == FLOAT || type == DOUBLE;
    const bool numeric = integer || floating || type == DECIMAL || type == NUMBER;
    const bool ordered = numeric || (type >= DATE && type <= UUID) || type == STRING ||
                         type == BYTES || type == PERIOD || type == DURATION;
    const sample s = sample_of(type);
    // hi first, then a null, then lo: min lo, max hi (kept from the first row), any lo.
    const std::vector<value_bytes> rows = {s.hi, std::nullopt, s.lo};
    for (int code = 0; code <= AGGREGATE_ANY; ++code) {
      SCOPED_TRACE("type " + std::to_string(t) + " function " + std::to_string(code));
      const auto function = static_cast<ombrel_aggregate_function>(code);
      const bool accepted = code == AGGREGATE_COUNT || (code <= AGGREGATE_AVG ? numeric : ordered);
      if (!accepted) {
        EXPECT_EQ(refusal(function, 0, type),
                  "Unsupported aggregate function column type: " + std::to_string(t));
        continue;
      }
      const auto f = make_aggregate_function(function, 0, type);
      EXPECT_EQ(f->result_name("c"), names[code]);
      ombrel_type result = type;
      if (code == AGGREGATE_COUNT)
        result = INT64;
      else if (integer)
        result = code == AGGREGATE_AVG ? DOUBLE : INT64;
      else if (type == FLOAT)
        result = DOUBLE;
      else if (code == AGGREGATE_AVG && type == NUMBER)
        result = DECIMAL;
      EXPECT_EQ(f->result_type(), result);
      const value_bytes expected[] = {
          fixed<int64_t>(2),  s.sum, s.avg, widened(type, s.lo), widened(type, s.hi),
          widened(type, s.lo)};
      EXPECT_EQ(fold(*f, rows), expected[code]);
      // Nothing folded: count 0, sum the accumulator's zero, min, max and any null.
      const value_bytes zero = integer           ? fixed<int64_t>(0)
                               : floating        ? fixed(0.0)
                               : type == DECIMAL ? decimal("0")
                                                 : number(0);
      if (code != AGGREGATE_AVG) {
        EXPECT_EQ(fold(*f, {}), code == AGGREGATE_COUNT ? fixed<int64_t>(0)
                                : code == AGGREGATE_SUM ? zero
                                                        : value_bytes());
      }
    }
  }
}

TEST(AggregateFunctionsTest, CallsWithoutColumnCountRowsAndOnlyCount) {
  const auto count = make_aggregate_function(AGGREGATE_COUNT, -1, NONE);
  EXPECT_EQ(count->result_name("ignored"), "count(*)");
  EXPECT_EQ(count->result_type(), INT64);
  EXPECT_EQ(fold(*count, {std::nullopt, std::nullopt, std::nullopt}), fixed<int64_t>(3));
  for (int code = 1; code <= 7; ++code) {
    EXPECT_EQ(refusal(static_cast<ombrel_aggregate_function>(code), -1, INT32),
              "Bad aggregate call");
  }
  EXPECT_EQ(refusal(static_cast<ombrel_aggregate_function>(6), 0, INT32),
            "Unsupported aggregate function");
  EXPECT_EQ(refusal(AGGREGATE_COUNT, 0, NONE), "<no exception>") << "count takes every type";
}

TEST(AggregateFunctionsTest, EmptyAveragesAndNaNsFollowTheRules) {
  // An average without values: NaN for DOUBLE results, null for DECIMAL results.
  const value_bytes nan = fold(*make_aggregate_function(AGGREGATE_AVG, 0, INT32), {std::nullopt});
  ASSERT_TRUE(nan);
  EXPECT_TRUE(std::isnan(*reinterpret_cast<const double*>(nan->data())));
  EXPECT_EQ(fold(*make_aggregate_function(AGGREGATE_AVG, 0, DECIMAL), {std::nullopt}),
            std::nullopt);
  EXPECT_EQ(fold(*make_aggregate_function(AGGREGATE_AVG, 0, NUMBER), {}), std::nullopt);
  // A NaN never replaces a value, and a NaN taken first stays.
  const double qnan = std::numeric_limits<double>::quiet_NaN();
  const auto min = make_aggregate_function(AGGREGATE_MIN, 0, DOUBLE);
  EXPECT_EQ(fold(*min, {fixed(2.0), fixed(qnan), fixed(1.0)}), fixed(1.0));
  const value_bytes first_nan = fold(*min, {fixed(qnan), fixed(1.0)});
  EXPECT_TRUE(first_nan && std::isnan(*reinterpret_cast<const double*>(first_nan->data())));
  // max over the strings "b" and "ab" is "b"; an empty string is a value, not a null.
  const auto max = make_aggregate_function(AGGREGATE_MAX, 0, STRING);
  EXPECT_EQ(fold(*max, {bytes({'b'}), bytes({'a', 'b'})}), bytes({'b'}));
  EXPECT_EQ(fold(*max, {std::vector<std::byte>()}), std::vector<std::byte>());
}

}  // namespace
}  // namespace ombrel
