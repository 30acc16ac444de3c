#pragma once
// detail::mpi: owning RAII wrapper of one Mbed TLS multi-precision integer, plus the single place
// where Mbed TLS result codes become ombrel_error. Values are plain data: not thread-safe for
// concurrent mutation, safe to read from many threads.

#include <mbedtls/bignum.h>

#include <cstddef>
#include <cstdint>

namespace ombrel::detail {

// The ombrel_error message for an Mbed TLS bignum result code; "mbedtls: unspecified error" for
// codes this layer does not know.
const char* mbedtls_error_message(int result) noexcept;

// Throws ombrel_error with the message of `result`. REQUIRES: result != 0.
[[noreturn]] void throw_mbedtls_error(int result);

// Passes every Mbed TLS call result through here: returns on 0, throws ombrel_error otherwise.
inline void check_mbedtls(int result) {
  if (result != 0) [[unlikely]]
    throw_mbedtls_error(result);
}

// Owns one mbedtls_mpi. Sign is +1 or -1 and zero is never negative: every mutating helper, and
// normalize() after a raw Mbed TLS call, restore that rule. The struct is kept inline (it is only
// a sign, a limb count and a limb pointer), so a zero value allocates nothing and moves are
// cheap; a moved-from mpi is zero.
class mpi {
 public:
  mpi() noexcept { mbedtls_mpi_init(&value_); }
  ~mpi() { mbedtls_mpi_free(&value_); }

  mpi(const mpi& other);
  mpi& operator=(const mpi& other);
  mpi(mpi&& other) noexcept;
  mpi& operator=(mpi&& other) noexcept;

  mbedtls_mpi* get() noexcept { return &value_; }
  const mbedtls_mpi* get() const noexcept { return &value_; }

  // +1 for zero and positive values, -1 for negative ones.
  int sign() const noexcept;
  bool is_negative() const noexcept { return sign() < 0; }
  bool is_zero() const noexcept;
  // Flips the sign of a non-zero value; zero stays zero.
  void negate() noexcept;
  // Sets the sign to -1 when `negative` and the value is not zero, else to +1.
  void set_negative(bool negative) noexcept;
  // Clears a negative sign left on zero by a raw Mbed TLS call.
  void normalize() noexcept;

  // Bit length of the magnitude; 0 for zero.
  size_t magnitude_bits() const noexcept { return mbedtls_mpi_bitlen(&value_); }
  // The low 64 bits of the magnitude.
  uint64_t low_u64() const noexcept;
  // Sets the value to `magnitude` with the given sign. Throws ombrel_error on allocation failure.
  void assign(uint64_t magnitude, bool negative);

  // Sets the value from big-endian two's complement bytes; zero length gives 0. Throws
  // ombrel_error when the value is too large for Mbed TLS.
  void read_twos_complement(const std::byte* data, size_t length);

  void swap(mpi& other) noexcept { mbedtls_mpi_swap(&value_, &other.value_); }

 private:
  mbedtls_mpi value_;
};

}  // namespace ombrel::detail
