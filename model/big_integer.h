#pragma once
// big_integer: a signed integer of any size, the in-memory value of NUMBER columns. Decodes and
// encodes the big-endian two's complement byte form, orders values for key comparison and does
// the arithmetic of aggregates. Plain value type: not thread-safe for concurrent mutation.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>

#include "model/mpi.h"

namespace ombrel {

class big_integer {
 public:
  // Zero.
  big_integer() noexcept = default;
  // Decodes big-endian two's complement; a set top bit of the first byte makes the value
  // negative. Zero length gives 0. Throws ombrel_error when the value is too large for Mbed TLS.
  big_integer(const std::byte* data, size_t length);
  explicit big_integer(int64_t value) { assign_int64(value); }

  // Orders two byte forms numerically without building values (no allocation); accepts
  // non-minimal forms (redundant sign bytes) and zero length (zero).
  static int compare_bytes(const std::byte* a, size_t a_length, const std::byte* b,
                           size_t b_length) noexcept;

  // Bits of the two's complement form without the sign bit: the magnitude's bit length, one
  // less for a negative power of two (-128 gives 7, -129 gives 8). Zero gives 1.
  size_t bit_length() const noexcept;
  // Length of the minimal byte form: bit_length() / 8 + 1.
  size_t byte_size() const noexcept { return bit_length() / 8 + 1; }
  // Writes exactly byte_size() bytes, big-endian two's complement; zero is the byte 0x00.
  void store_bytes(std::byte* out) const;

  void assign_int64(int64_t value);
  void assign_uint64(uint64_t value);
  // Decimal text with an optional leading '-'. Throws ombrel_error "mbedtls: invalid
  // characters" on anything else (an embedded zero byte included).
  void assign_string(const std::string& text);

  // Radix 10, '-' before negative values, "0" for zero.
  std::string to_string() const;
  // The low 64 bits of the magnitude times the sign (wraps for values beyond 64 bits).
  int64_t to_int64() const noexcept;

  // Results go to an output argument, which may be *this or `other`.
  void add(const big_integer& other, big_integer& result) const;
  void subtract(const big_integer& other, big_integer& result) const;
  void multiply(const big_integer& other, big_integer& result) const;
  // Quotient truncated toward zero; the remainder takes the sign of the dividend. A zero divisor
  // throws ombrel_error "mbedtls: division by zero". REQUIRES: &quotient != &remainder.
  void divide(const big_integer& divisor, big_integer& quotient) const;
  void divide(const big_integer& divisor, big_integer& quotient, big_integer& remainder) const;

  // -1, 0 or 1; with `ignore_sign` the magnitudes are compared.
  int compare(const big_integer& other, bool ignore_sign = false) const noexcept;

  // Raises the value to `exponent` in place; an exponent of 0 or below gives 1.
  void pow(int32_t exponent);
  // out = 10^n (1 for n <= 0).
  static void get_power_of_ten(int32_t n, big_integer& out);
  // Number of decimal digits of the magnitude; 1 for zero.
  int32_t get_precision() const;

  // +1 for zero and positive values, -1 for negative ones.
  int sign() const noexcept { return value_.sign(); }
  bool is_negative() const noexcept { return value_.is_negative(); }
  bool is_zero() const noexcept { return value_.is_zero(); }
  // Flips the sign in place; zero stays zero.
  void negate() noexcept { value_.negate(); }

  // In place: multiplies by 10^n for n > 0, divides by 10^-n truncating toward zero for n < 0.
  // Small n avoid building the power of ten.
  void scale_by_power_of_ten(int32_t n);

  const detail::mpi& get_mpi() const noexcept { return value_; }
  detail::mpi& get_mpi() noexcept { return value_; }

  friend bool operator==(const big_integer& a, const big_integer& b) noexcept {
    return a.compare(b) == 0;
  }
  friend std::strong_ordering operator<=>(const big_integer& a, const big_integer& b) noexcept {
    return a.compare(b) <=> 0;
  }

 private:
  detail::mpi value_;
};

std::ostream& operator<<(std::ostream& out, const big_integer& value);
// Reads an optional '-' and at least one decimal digit after leading white space; sets failbit
// (and leaves the value unchanged) when there is no digit.
std::istream& operator>>(std::istream& in, big_integer& value);

}  // namespace ombrel
