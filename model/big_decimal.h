#pragma once
// big_decimal: an exact decimal fraction unscaled * 10^-scale, the in-memory value of DECIMAL
// columns. Decodes and encodes the byte form (2-byte little-endian scale, then the unscaled
// value as a big_integer), orders values independent of scale and does the arithmetic of
// aggregates. Plain value type: not thread-safe for concurrent mutation.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <utility>

#include "model/big_integer.h"

namespace ombrel {

class big_decimal {
 public:
  // Zero with scale 0.
  big_decimal() noexcept = default;
  // First 2 bytes: scale, signed 16-bit little-endian; the rest: the unscaled value in the
  // big_integer byte form. A length below 2 gives zero with scale 0.
  big_decimal(const std::byte* data, size_t length);
  big_decimal(big_integer unscaled, int16_t scale) noexcept
      : scale_(scale), unscaled_(std::move(unscaled)) {}

  // Orders two byte forms numerically. Equal scales are compared without building values.
  static int compare_bytes(const std::byte* a, size_t a_length, const std::byte* b,
                           size_t b_length);

  int16_t scale() const noexcept { return scale_; }
  const big_integer& unscaled() const noexcept { return unscaled_; }
  bool is_zero() const noexcept { return unscaled_.is_zero(); }
  bool is_negative() const noexcept { return unscaled_.is_negative(); }

  // 2 + unscaled().byte_size().
  size_t byte_size() const noexcept { return 2 + unscaled_.byte_size(); }
  // Writes byte_size() bytes: the scale little-endian, then the unscaled bytes. A zero value is
  // written with scale 0 whatever its scale, so equal zeros have one byte form.
  void store_bytes(std::byte* out) const;

  // result = this value at `new_scale`: the unscaled value is multiplied by 10^n when the scale
  // grows by n, divided by 10^n truncating toward zero when it shrinks by n. `result` may be
  // *this.
  void set_scale(int16_t new_scale, big_decimal& result) const;

  // -1, 0 or 1 by numeric value; 1.5 (scale 1) equals 1.50 (scale 2), zeros are equal.
  int compare(const big_decimal& other) const;

  // Results go to an output argument, which may be *this or `other`.
  // add, subtract: at the larger of the two scales.
  void add(const big_decimal& other, big_decimal& result) const;
  void subtract(const big_decimal& other, big_decimal& result) const;
  // Scale of the result: the sum of the scales.
  void multiply(const big_decimal& other, big_decimal& result) const;
  // Result scale s = max(6, scale + other.unscaled().get_precision() + 1): 1 / 3 gives
  // 0.333333, 10.00 / 4 gives 2.500000. A zero divisor throws ombrel_error
  // "mbedtls: division by zero".
  void divide(const big_decimal& other, big_decimal& result) const;

  // "0" for zero; otherwise the unscaled digits with the decimal point placed by the scale
  // (5 at scale 2 is "0.05", 12 at scale -2 is "1200").
  std::string to_string() const;

  friend bool operator==(const big_decimal& a, const big_decimal& b) { return a.compare(b) == 0; }
  friend std::strong_ordering operator<=>(const big_decimal& a, const big_decimal& b) {
    return a.compare(b) <=> 0;
  }

 private:
  // Sets the scale from a 32-bit one, rescaling the unscaled value to keep it in 16 bits.
  void assign_scaled(int32_t scale);

  int16_t scale_ = 0;
  big_integer unscaled_;
};

std::ostream& operator<<(std::ostream& out, const big_decimal& value);
// Reads [-]digits[.digits] after leading white space; the scale is the number of fraction
// digits. Sets failbit (value unchanged) when there is no digit or the scale exceeds 16 bits.
std::istream& operator>>(std::istream& in, big_decimal& value);

}  // namespace ombrel
