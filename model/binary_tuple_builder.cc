#include "model/binary_tuple_builder.h"

#include "model/big_decimal.h"
#include "model/big_integer.h"
#include "native/errors.h"

namespace ombrel {

void binary_tuple_builder::claim_number(const big_integer& v) {
  claim(static_cast<uint32_t>(v.byte_size()));
}

void binary_tuple_builder::claim_number(const big_decimal& v) {
  claim(static_cast<uint32_t>(v.byte_size()));
}

void binary_tuple_builder::append_number(const big_integer& v) {
  v.store_bytes(reserve(v.byte_size()));
  finish_element();
}

void binary_tuple_builder::append_number(const big_decimal& v) {
  // store_bytes writes a zero with scale 0, as the format requires; byte_size() is 3 for it.
  v.store_bytes(reserve(v.byte_size()));
  finish_element();
}

void binary_tuple_builder::append_period(const ombrel_period& v) {
  const uint32_t n = period_size(v);
  std::byte* out = reserve(n);
  if (n == 3) {
    out[0] = static_cast<std::byte>(v.years);
    out[1] = static_cast<std::byte>(v.months);
    out[2] = static_cast<std::byte>(v.days);
  } else if (n == 6) {
    const int16_t parts[3] = {static_cast<int16_t>(v.years), static_cast<int16_t>(v.months),
                              static_cast<int16_t>(v.days)};
    std::memcpy(out, parts, 6);
  } else {
    const int32_t parts[3] = {v.years, v.months, v.days};
    std::memcpy(out, parts, 12);
  }
  finish_element();
}

void binary_tuple_builder::overflow() {
  throw errors::fatal_error("Binary tuple append does not match its claim");
}

}  // namespace ombrel
