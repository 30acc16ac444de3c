#include "model/ombrel_type_info.h"

#include <gtest/gtest.h>

#include <bit>
#include <string>

#include "native/errors.h"
#include "tests/support/testing.h"

namespace ombrel {
namespace {

struct type_row {
  int32_t number;
  ombrel_type type;
  uint32_t size;
  uint32_t value_size;
  uint32_t alignment;
  bool varlen;
};

constexpr type_row TYPES[] = {
    {0, NONE, 0, 0, 0, false},         {1, BOOL, 1, 1, 1, false},
    {2, INT8, 1, 1, 1, false},         {3, INT16, 2, 2, 2, false},
    {4, INT32, 4, 4, 4, false},        {5, INT64, 8, 8, 8, false},
    {6, FLOAT, 4, 4, 4, false},        {7, DOUBLE, 8, 8, 8, false},
    {8, DECIMAL, 0, 0, 0, false},      {9, DATE, 3, 8, 4, false},
    {10, TIME, 6, 8, 4, false},        {11, DATE_TIME, 9, 16, 4, false},
    {12, TIMESTAMP, 12, 16, 8, false}, {13, UUID, 16, 16, 8, false},
    {14, OPAQUE, 0, 0, 0, true},       {15, STRING, 0, 0, 0, true},
    {16, BYTES, 0, 0, 0, true},        {17, PERIOD, 12, 12, 4, false},
    {18, DURATION, 12, 16, 8, false},  {19, NUMBER, 0, 0, 0, false},
};

TEST(OmbrelTypeInfoTest, EveryTypeHasItsFixedNumberAndRecord) {
  for (const auto& row : TYPES) {
    SCOPED_TRACE(row.number);
    EXPECT_EQ(static_cast<int32_t>(row.type), row.number);
    const auto& info = ombrel_type_info::get(static_cast<ombrel_type>(row.number));
    EXPECT_EQ(info.size, row.size);
    EXPECT_EQ(info.value_size, row.value_size);
    EXPECT_EQ(info.alignment, row.alignment);
    EXPECT_EQ(info.varlen, row.varlen);
    // Alignment is a power of two exactly for the fixed-size types.
    EXPECT_EQ(info.alignment != 0, info.size != 0);
    if (info.alignment != 0) {
      EXPECT_TRUE(std::has_single_bit(info.alignment));
    }
    EXPECT_EQ(&info, &ombrel_type_info::get(row.type));
  }
}

TEST(OmbrelTypeInfoTest, NumbersOutsideTheTableAreUnsupported) {
  const std::pair<int32_t, std::string> cases[] = {
      {20, "Unsupported data type 20"},
      {-1, "Unsupported data type 18446744073709551615"},
      {INT32_MAX, "Unsupported data type 2147483647"},
  };
  for (const auto& [number, message] : cases) {
    EXPECT_EQ(testing::message_of<errors::fatal_error>(
                  [n = number] { ombrel_type_info::get(static_cast<ombrel_type>(n)); }),
              message);
  }
}

}  // namespace
}  // namespace ombrel
