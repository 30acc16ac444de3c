#include "segment/column_conversion.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace ombrel {
namespace {

template <typename T>
std::vector<std::byte> bytes_of(T value) {
  std::vector<std::byte> out(sizeof(T));
  std::memcpy(out.data(), &value, sizeof(T));
  return out;
}

std::vector<std::byte> string_bytes(const std::string& s) {
  const auto* p = reinterpret_cast<const std::byte*>(s.data());
  return {p, p + s.size()};
}

column_info info(ombrel_type type, bool nullable) { return column_info::of_type(type, nullable); }

// What convert() gives for one value: its bytes, "null", or the error text.
std::string outcome(const column_info& from, const column_info& to,
                    const std::optional<std::vector<std::byte>>& value) {
  value_converter converter(from, to);
  try {
    std::optional<bytes_view> in;
    if (value) in = bytes_view(value->size(), value->data());
    const std::optional<bytes_view> out = converter.convert(in);
    if (!out) return "null";
    return std::string(out->as_string());
  } catch (const std::exception& e) {
    return e.what();
  }
}

std::string text(const std::vector<std::byte>& bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

TEST(ColumnConversionTest, DefaultsAreValidZerosOfEachType) {
  EXPECT_EQ(default_value(info(INT32, false)), std::vector<std::byte>(4));
  EXPECT_EQ(default_value(info(UUID, false)), std::vector<std::byte>(16));
  EXPECT_EQ(default_value(info(STRING, false)), std::vector<std::byte>());
  // DECIMAL: scale 0 (2 bytes) and the unscaled zero byte; NUMBER: the zero byte.
  EXPECT_EQ(default_value(info(DECIMAL, false)), std::vector<std::byte>(3));
  EXPECT_EQ(default_value(info(NUMBER, false)), std::vector<std::byte>(1));
}

TEST(ColumnConversionTest, ValuesConvertAsTheRulesSay) {
  const auto none = std::optional<std::vector<std::byte>>();
  const std::vector<std::byte> decimal_one = {std::byte{0}, std::byte{0}, std::byte{1}};
  struct row {
    column_info from;
    column_info to;
    std::optional<std::vector<std::byte>> value;
    std::string expected;
  };
  const std::vector<row> rows = {
      // Nulls: kept when the new column allows them, else the new type's default.
      {info(INT32, true), info(INT64, true), none, "null"},
      {info(INT32, true), info(INT64, false), none, text(bytes_of<int64_t>(0))},
      {info(STRING, true), info(STRING, false), none, ""},
      {info(DECIMAL, true), info(DECIMAL, false), none, text(std::vector<std::byte>(3))},
      {info(STRING, true), info(INT32, false), none, text(bytes_of<int32_t>(0))},
      // Tightening only the nullability keeps present values of every type.
      {info(FLOAT, true), info(FLOAT, false), bytes_of(1.5f), text(bytes_of(1.5f))},
      {info(DOUBLE, true), info(DOUBLE, false), bytes_of(2.25), text(bytes_of(2.25))},
      {info(STRING, true), info(STRING, false), string_bytes("abc"), "abc"},
      {info(DECIMAL, true), info(DECIMAL, false), decimal_one, text(decimal_one)},
      // Integers and floating point.
      {info(INT8, true), info(FLOAT, true), bytes_of<int8_t>(-3), text(bytes_of(-3.0f))},
      {info(INT64, true), info(FLOAT, true), bytes_of<int64_t>((int64_t{1} << 53) + 1),
       text(bytes_of(static_cast<float>((int64_t{1} << 53) + 1)))},
      {info(DOUBLE, true), info(FLOAT, true), bytes_of(0.1), text(bytes_of(0.1f))},
      {info(INT32, true), info(DOUBLE, true), bytes_of<int32_t>(-7), text(bytes_of(-7.0))},
      {info(FLOAT, true), info(DOUBLE, true), bytes_of(0.1f), text(bytes_of(double{0.1f}))},
      // Fixed sizes: bytes copied from the start, zero-filled, no sign extension.
      {info(INT32, true), info(INT64, true), bytes_of<int32_t>(-1),
       text(bytes_of<int64_t>(4294967295))},
      {info(INT64, true), info(INT16, true), bytes_of<int64_t>(0x12345),
       text(bytes_of<int16_t>(0x2345))},
      {info(FLOAT, true), info(INT32, true), bytes_of(1.0f), text(bytes_of(1.0f))},
      // Refused pairs.
      {info(STRING, true), info(FLOAT, true), string_bytes("1"),
       "Unimplemented type conversion to float"},
      {info(UUID, true), info(DOUBLE, true), std::vector<std::byte>(16),
       "Unimplemented type conversion to double"},
      {info(STRING, true), info(INT32, true), string_bytes("1"), "Unimplemented type conversion"},
      {info(INT32, true), info(STRING, true), bytes_of<int32_t>(1),
       "Unimplemented type conversion"},
      {info(DECIMAL, true), info(NUMBER, true), decimal_one, "Unimplemented type conversion"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(outcome(rows[i].from, rows[i].to, rows[i].value), rows[i].expected) << "row " << i;
  }
}

}  // namespace
}  // namespace ombrel
