#include "model/big_decimal.h"

#include <algorithm>
#include <cctype>
#include <istream>
#include <limits>
#include <ostream>

namespace ombrel {
namespace {

// One decoded byte form: the scale and the unscaled value's bytes.
struct decimal_view {
  int16_t scale = 0;
  const std::byte* unscaled = nullptr;
  size_t length = 0;

  decimal_view(const std::byte* data, size_t size) {
    if (size < 2) return;
    scale = static_cast<int16_t>(std::to_integer<uint16_t>(data[0]) |
                                 (std::to_integer<uint16_t>(data[1]) << 8));
    unscaled = data + 2;
    length = size - 2;
  }

  // -1, 0 or 1, read from the bytes alone.
  int signum() const noexcept {
    if (length == 0) return 0;
    if ((std::to_integer<unsigned>(unscaled[0]) & 0x80) != 0) return -1;
    return std::any_of(unscaled, unscaled + length, [](std::byte b) { return b != std::byte{0}; })
               ? 1
               : 0;
  }
};

// A copy of `value` brought from scale `from` to scale `to` (exact when to >= from).
big_integer rescaled(const big_integer& value, int32_t from, int32_t to) {
  big_integer result(value);
  result.scale_by_power_of_ten(to - from);
  return result;
}

}  // namespace

big_decimal::big_decimal(const std::byte* data, size_t length) {
  const decimal_view view(data, length);
  scale_ = view.scale;
  unscaled_ = big_integer(view.unscaled, view.length);
}

int big_decimal::compare_bytes(const std::byte* a, size_t a_length, const std::byte* b,
                               size_t b_length) {
  const decimal_view x(a, a_length);
  const decimal_view y(b, b_length);
  if (x.scale == y.scale)
    return big_integer::compare_bytes(x.unscaled, x.length, y.unscaled, y.length);
  const int x_sign = x.signum();
  const int y_sign = y.signum();
  if (x_sign != y_sign) return x_sign < y_sign ? -1 : 1;
  if (x_sign == 0) return 0;
  return big_decimal(a, a_length).compare(big_decimal(b, b_length));
}

void big_decimal::store_bytes(std::byte* out) const {
  const uint16_t scale = is_zero() ? 0 : static_cast<uint16_t>(scale_);
  out[0] = static_cast<std::byte>(scale & 0xFF);
  out[1] = static_cast<std::byte>(scale >> 8);
  unscaled_.store_bytes(out + 2);
}

void big_decimal::set_scale(int16_t new_scale, big_decimal& result) const {
  // The difference is taken in 32 bits: in 16 bits a large change would wrap around and turn a
  // multiplication into a division.
  const int32_t shift = static_cast<int32_t>(new_scale) - scale_;
  if (&result != this) result.unscaled_ = unscaled_;
  result.unscaled_.scale_by_power_of_ten(shift);
  result.scale_ = new_scale;
}

int big_decimal::compare(const big_decimal& other) const {
  const int x_sign = is_zero() ? 0 : unscaled_.sign();
  const int y_sign = other.is_zero() ? 0 : other.unscaled_.sign();
  if (x_sign != y_sign) return x_sign < y_sign ? -1 : 1;
  if (x_sign == 0) return 0;
  if (scale_ == other.scale_) return unscaled_.compare(other.unscaled_);
  const int32_t shift = static_cast<int32_t>(other.scale_) - scale_;
  if (shift > 18 || shift < -18) {
    // Far apart scales: the position of the leading digit usually decides, which spares
    // building a large power of ten. Equal positions bound the shift by the operands' sizes.
    const int32_t x_lead = unscaled_.get_precision() - scale_;
    const int32_t y_lead = other.unscaled_.get_precision() - other.scale_;
    if (x_lead != y_lead) return (x_lead < y_lead) == (x_sign > 0) ? -1 : 1;
  }
  if (shift > 0) return rescaled(unscaled_, scale_, other.scale_).compare(other.unscaled_);
  return unscaled_.compare(rescaled(other.unscaled_, other.scale_, scale_));
}

void big_decimal::add(const big_decimal& other, big_decimal& result) const {
  const int16_t scale = std::max(scale_, other.scale_);
  if (scale_ == other.scale_) {
    unscaled_.add(other.unscaled_, result.unscaled_);
  } else if (scale_ < scale) {
    rescaled(unscaled_, scale_, scale).add(other.unscaled_, result.unscaled_);
  } else {
    unscaled_.add(rescaled(other.unscaled_, other.scale_, scale), result.unscaled_);
  }
  result.scale_ = scale;
}

void big_decimal::subtract(const big_decimal& other, big_decimal& result) const {
  const int16_t scale = std::max(scale_, other.scale_);
  if (scale_ == other.scale_) {
    unscaled_.subtract(other.unscaled_, result.unscaled_);
  } else if (scale_ < scale) {
    rescaled(unscaled_, scale_, scale).subtract(other.unscaled_, result.unscaled_);
  } else {
    unscaled_.subtract(rescaled(other.unscaled_, other.scale_, scale), result.unscaled_);
  }
  result.scale_ = scale;
}

void big_decimal::multiply(const big_decimal& other, big_decimal& result) const {
  const int32_t scale = static_cast<int32_t>(scale_) + other.scale_;
  unscaled_.multiply(other.unscaled_, result.unscaled_);
  result.assign_scaled(scale);
}

void big_decimal::divide(const big_decimal& other, big_decimal& result) const {
  if (other.is_zero()) detail::throw_mbedtls_error(MBEDTLS_ERR_MPI_DIVISION_BY_ZERO);
  // A target beyond the 16-bit range is cut to it; the quotient is truncated there anyway.
  const int32_t target =
      std::min<int32_t>(std::max<int32_t>(6, scale_ + other.unscaled_.get_precision() + 1),
                        std::numeric_limits<int16_t>::max());
  const int16_t divisor_scale = other.scale_;
  big_integer quotient;
  rescaled(unscaled_, scale_, target).divide(other.unscaled_, quotient);
  // The quotient has scale target - divisor_scale; bring it to the target.
  quotient.scale_by_power_of_ten(divisor_scale);
  result.unscaled_ = std::move(quotient);
  result.scale_ = static_cast<int16_t>(target);
}

void big_decimal::assign_scaled(int32_t scale) {
  // A scale outside 16 bits is brought into range: exactly when it is too small, truncating
  // the excess fraction digits when it is too large.
  constexpr int32_t MIN = std::numeric_limits<int16_t>::min();
  constexpr int32_t MAX = std::numeric_limits<int16_t>::max();
  const int32_t fitted = std::clamp(scale, MIN, MAX);
  unscaled_.scale_by_power_of_ten(fitted - scale);
  scale_ = static_cast<int16_t>(fitted);
}

std::string big_decimal::to_string() const {
  if (is_zero()) return "0";
  std::string text = unscaled_.to_string();
  const size_t sign = text[0] == '-' ? 1 : 0;
  if (scale_ < 0) {
    text.append(static_cast<size_t>(-static_cast<int32_t>(scale_)), '0');
  } else if (scale_ > 0) {
    const size_t scale = static_cast<size_t>(scale_);
    const size_t digits = text.size() - sign;
    if (digits <= scale) text.insert(sign, scale - digits + 1, '0');
    text.insert(text.size() - scale, 1, '.');
  }
  return text;
}

std::ostream& operator<<(std::ostream& out, const big_decimal& value) {
  return out << value.to_string();
}

std::istream& operator>>(std::istream& in, big_decimal& value) {
  std::istream::sentry sentry(in);
  if (!sentry) return in;
  std::string text;
  if (in.peek() == '-') text.push_back(static_cast<char>(in.get()));
  size_t digits = 0;
  while (std::isdigit(in.peek())) text.push_back(static_cast<char>(in.get())), ++digits;
  size_t fraction = 0;
  if (in.peek() == '.') {
    in.get();
    while (std::isdigit(in.peek())) text.push_back(static_cast<char>(in.get())), ++fraction;
  }
  if (digits + fraction == 0 ||
      fraction > static_cast<size_t>(std::numeric_limits<int16_t>::max())) {
    in.setstate(std::ios::failbit);
    return in;
  }
  big_integer unscaled;
  unscaled.assign_string(text);
  value = big_decimal(std::move(unscaled), static_cast<int16_t>(fraction));
  return in;
}

}  // namespace ombrel
