#include "segment/column_conversion.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "model/big_decimal.h"
#include "model/big_integer.h"
#include "native/errors.h"

namespace ombrel {
namespace {

template <typename T>
T load(bytes_view value) {
  T v;
  std::memcpy(&v, value.data, sizeof(T));
  return v;
}

// Each conversion straight from the stored type: going through double first could round an
// INT64 twice on its way to FLOAT.
float to_float(ombrel_type from, bytes_view value) {
  switch (from) {
    case INT8:
      return static_cast<float>(load<int8_t>(value));
    case INT16:
      return static_cast<float>(load<int16_t>(value));
    case INT32:
      return static_cast<float>(load<int32_t>(value));
    case INT64:
      return static_cast<float>(load<int64_t>(value));
    case DOUBLE:
      return static_cast<float>(load<double>(value));
    default:
      throw errors::error("Unimplemented type conversion to float");
  }
}

double to_double(ombrel_type from, bytes_view value) {
  switch (from) {
    case INT8:
      return load<int8_t>(value);
    case INT16:
      return load<int16_t>(value);
    case INT32:
      return load<int32_t>(value);
    case INT64:
      return static_cast<double>(load<int64_t>(value));
    case FLOAT:
      return load<float>(value);
    default:
      throw errors::error("Unimplemented type conversion to double");
  }
}

}  // namespace

std::vector<std::byte> default_value(const column_info& info) {
  if (info.type == DECIMAL) {
    const big_decimal zero;
    std::vector<std::byte> out(zero.byte_size());
    zero.store_bytes(out.data());
    return out;
  }
  if (info.type == NUMBER) {
    const big_integer zero;
    std::vector<std::byte> out(zero.byte_size());
    zero.store_bytes(out.data());
    return out;
  }
  return std::vector<std::byte>(info.size);
}

value_converter::value_converter(const column_info& from, const column_info& to)
    : from_(from), to_(to), default_(default_value(to)) {}

std::optional<bytes_view> value_converter::convert(const std::optional<bytes_view>& value) {
  if (!value) {
    if (to_.nullable) return std::nullopt;
    return bytes_view(default_.size(), default_.data());
  }
  if (from_.type == to_.type) return value;
  if (to_.type == FLOAT) {
    const float f = to_float(from_.type, *value);
    return store(&f, sizeof(f));
  }
  if (to_.type == DOUBLE) {
    const double d = to_double(from_.type, *value);
    return store(&d, sizeof(d));
  }
  if (from_.size == 0 || to_.size == 0) throw errors::error("Unimplemented type conversion");
  buffer_.assign(to_.size, std::byte{0});
  std::memcpy(buffer_.data(), value->data, std::min<size_t>(from_.size, to_.size));
  return bytes_view(buffer_.size(), buffer_.data());
}

bytes_view value_converter::store(const void* data, size_t size) {
  buffer_.resize(size);
  std::memcpy(buffer_.data(), data, size);
  return bytes_view(buffer_.size(), buffer_.data());
}

}  // namespace ombrel
