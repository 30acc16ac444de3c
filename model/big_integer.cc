#include "model/big_integer.h"

#include <array>
#include <cctype>
#include <charconv>
#include <cstring>
#include <istream>
#include <ostream>

namespace ombrel {
namespace {

constexpr std::array<uint64_t, 20> POW10 = [] {
  std::array<uint64_t, 20> table{};
  uint64_t value = 1;
  for (auto& entry : table) {
    entry = value;
    value *= 10;
  }
  return table;
}();

// floor(x * log10(2)) for bit counts, with 646456993 / 2^31 standing in for log10(2).
uint64_t bits_to_digits(uint64_t bits) { return (bits * 646456993ull) >> 31; }

bool top_bit(std::byte b) { return (std::to_integer<unsigned>(b) & 0x80) != 0; }

// Drops bytes that only repeat the sign, keeping the form's value.
void strip_sign_bytes(const std::byte*& p, size_t& length, bool negative) {
  if (negative) {
    while (length > 1 && p[0] == std::byte{0xFF} && top_bit(p[1])) ++p, --length;
  } else {
    while (length > 0 && p[0] == std::byte{0}) ++p, --length;
  }
}

}  // namespace

big_integer::big_integer(const std::byte* data, size_t length) {
  value_.read_twos_complement(data, length);
}

int big_integer::compare_bytes(const std::byte* a, size_t a_length, const std::byte* b,
                               size_t b_length) noexcept {
  const bool a_negative = a_length > 0 && top_bit(a[0]);
  const bool b_negative = b_length > 0 && top_bit(b[0]);
  if (a_negative != b_negative) return a_negative ? -1 : 1;
  strip_sign_bytes(a, a_length, a_negative);
  strip_sign_bytes(b, b_length, b_negative);
  // Once stripped, a longer positive form is larger and a longer negative form is smaller;
  // forms of equal length and sign order as unsigned bytes.
  if (a_length != b_length) return (a_length < b_length) != a_negative ? -1 : 1;
  if (a_length == 0) return 0;
  const int r = std::memcmp(a, b, a_length);
  return (r > 0) - (r < 0);
}

size_t big_integer::bit_length() const noexcept {
  const size_t bits = value_.magnitude_bits();
  if (bits == 0) return 1;
  if (value_.is_negative() && mbedtls_mpi_lsb(value_.get()) == bits - 1) return bits - 1;
  return bits;
}

void big_integer::store_bytes(std::byte* out) const {
  const size_t size = byte_size();
  auto* bytes = reinterpret_cast<unsigned char*>(out);
  // The magnitude always fits: byte_size() is at least one byte more than it needs.
  detail::check_mbedtls(mbedtls_mpi_write_binary(value_.get(), bytes, size));
  if (!value_.is_negative()) return;
  // Two's complement negation in place: invert, then add one from the last byte up.
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(~bytes[i]);
  for (size_t i = size; i-- > 0;) {
    if (++bytes[i] != 0) break;
  }
}

void big_integer::assign_int64(int64_t value) {
  const uint64_t magnitude =
      value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  value_.assign(magnitude, value < 0);
}

void big_integer::assign_uint64(uint64_t value) { value_.assign(value, false); }

void big_integer::assign_string(const std::string& text) {
  // Mbed TLS reads up to the first zero byte; the rest would be silently dropped.
  if (text.find('\0') != std::string::npos) {
    detail::throw_mbedtls_error(MBEDTLS_ERR_MPI_INVALID_CHARACTER);
  }
  detail::mpi parsed;
  detail::check_mbedtls(mbedtls_mpi_read_string(parsed.get(), 10, text.c_str()));
  parsed.normalize();
  value_.swap(parsed);
}

std::string big_integer::to_string() const {
  if (value_.magnitude_bits() <= 64) {
    char buffer[24];
    char* p = buffer;
    if (value_.is_negative()) *p++ = '-';
    p = std::to_chars(p, buffer + sizeof(buffer), value_.low_u64()).ptr;
    return std::string(buffer, p);
  }
  size_t needed = 0;
  const int probe = mbedtls_mpi_write_string(value_.get(), 10, nullptr, 0, &needed);
  if (probe != MBEDTLS_ERR_MPI_BUFFER_TOO_SMALL) detail::check_mbedtls(probe);
  std::string text(needed, '\0');
  size_t written = 0;
  detail::check_mbedtls(
      mbedtls_mpi_write_string(value_.get(), 10, text.data(), text.size(), &written));
  text.resize(written > 0 ? written - 1 : 0);  // `written` counts the terminating zero
  return text;
}

int64_t big_integer::to_int64() const noexcept {
  const uint64_t low = value_.low_u64();
  return static_cast<int64_t>(value_.is_negative() ? 0 - low : low);
}

void big_integer::add(const big_integer& other, big_integer& result) const {
  detail::check_mbedtls(mbedtls_mpi_add_mpi(result.value_.get(), value_.get(), other.value_.get()));
  result.value_.normalize();
}

void big_integer::subtract(const big_integer& other, big_integer& result) const {
  detail::check_mbedtls(mbedtls_mpi_sub_mpi(result.value_.get(), value_.get(), other.value_.get()));
  result.value_.normalize();
}

void big_integer::multiply(const big_integer& other, big_integer& result) const {
  detail::check_mbedtls(mbedtls_mpi_mul_mpi(result.value_.get(), value_.get(), other.value_.get()));
  result.value_.normalize();
}

void big_integer::divide(const big_integer& divisor, big_integer& quotient) const {
  const bool negative = is_negative() != divisor.is_negative();
  detail::check_mbedtls(
      mbedtls_mpi_div_mpi(quotient.value_.get(), nullptr, value_.get(), divisor.value_.get()));
  quotient.value_.set_negative(negative);
}

void big_integer::divide(const big_integer& divisor, big_integer& quotient,
                         big_integer& remainder) const {
  // Signs are taken before the call since either output may be one of the operands.
  const bool quotient_negative = is_negative() != divisor.is_negative();
  const bool remainder_negative = is_negative();
  detail::check_mbedtls(mbedtls_mpi_div_mpi(quotient.value_.get(), remainder.value_.get(),
                                            value_.get(), divisor.value_.get()));
  quotient.value_.set_negative(quotient_negative);
  remainder.value_.set_negative(remainder_negative);
}

int big_integer::compare(const big_integer& other, bool ignore_sign) const noexcept {
  const int r = ignore_sign ? mbedtls_mpi_cmp_abs(value_.get(), other.value_.get())
                            : mbedtls_mpi_cmp_mpi(value_.get(), other.value_.get());
  return (r > 0) - (r < 0);
}

void big_integer::pow(int32_t exponent) {
  if (exponent <= 0) {
    assign_uint64(1);
    return;
  }
  detail::mpi base(value_);
  detail::mpi result;
  result.assign(1, false);
  for (uint32_t e = static_cast<uint32_t>(exponent);;) {
    if (e & 1) detail::check_mbedtls(mbedtls_mpi_mul_mpi(result.get(), result.get(), base.get()));
    e >>= 1;
    if (e == 0) break;
    detail::check_mbedtls(mbedtls_mpi_mul_mpi(base.get(), base.get(), base.get()));
  }
  result.normalize();
  value_ = std::move(result);
}

void big_integer::get_power_of_ten(int32_t n, big_integer& out) {
  if (n < static_cast<int32_t>(POW10.size())) {
    out.assign_uint64(POW10[n < 0 ? 0 : n]);
    return;
  }
  out.assign_uint64(10);
  out.pow(n);
}

int32_t big_integer::get_precision() const {
  const size_t bits = value_.magnitude_bits();
  if (bits == 0) return 1;
  const uint64_t d = bits_to_digits(bits + 1);
  bool reaches;
  if (bits <= 64) {
    reaches = value_.low_u64() >= POW10[d];  // d <= 19 here
  } else {
    big_integer power;
    get_power_of_ten(static_cast<int32_t>(d), power);
    reaches = compare(power, true) >= 0;
  }
  return static_cast<int32_t>(reaches ? d + 1 : d);
}

void big_integer::scale_by_power_of_ten(int32_t n) {
  if (n == 0 || is_zero()) return;
  const bool negative = is_negative();
  if (n > 0) {
    if (n < static_cast<int32_t>(POW10.size())) {
      detail::check_mbedtls(
          mbedtls_mpi_mul_int(value_.get(), value_.get(), static_cast<mbedtls_mpi_uint>(POW10[n])));
    } else {
      big_integer power;
      get_power_of_ten(n, power);
      multiply(power, *this);
    }
    value_.set_negative(negative);
    return;
  }
  const int64_t shrink = -static_cast<int64_t>(n);
  // A magnitude of b bits has at most floor(b * log10 2) + 1 digits; dividing by more digits
  // than that gives zero without building a huge power of ten.
  if (static_cast<uint64_t>(shrink) > bits_to_digits(value_.magnitude_bits()) + 2) {
    value_.assign(0, false);
    return;
  }
  if (shrink < 19) {
    detail::check_mbedtls(mbedtls_mpi_div_int(value_.get(), nullptr, value_.get(),
                                              static_cast<mbedtls_mpi_sint>(POW10[shrink])));
  } else {
    big_integer power;
    get_power_of_ten(static_cast<int32_t>(shrink), power);
    big_integer quotient;
    divide(power, quotient);
    value_ = std::move(quotient.value_);
  }
  value_.set_negative(negative);
}

std::ostream& operator<<(std::ostream& out, const big_integer& value) {
  return out << value.to_string();
}

std::istream& operator>>(std::istream& in, big_integer& value) {
  std::istream::sentry sentry(in);
  if (!sentry) return in;
  std::string text;
  if (in.peek() == '-') text.push_back(static_cast<char>(in.get()));
  while (std::isdigit(in.peek())) text.push_back(static_cast<char>(in.get()));
  if (text.empty() || text == "-") {
    in.setstate(std::ios::failbit);
    return in;
  }
  value.assign_string(text);
  return in;
}

}  // namespace ombrel
