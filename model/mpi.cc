#include "model/mpi.h"

#include "model/ombrel_error.h"

// Mbed TLS 3 hides the struct fields behind MBEDTLS_PRIVATE; 2.x exposes them directly.
#if defined(MBEDTLS_PRIVATE)
#define OMBREL_MPI_FIELD(name) MBEDTLS_PRIVATE(name)
#else
#define OMBREL_MPI_FIELD(name) name
#endif

namespace ombrel::detail {

const char* mbedtls_error_message(int result) noexcept {
  switch (result) {
    case MBEDTLS_ERR_MPI_FILE_IO_ERROR:
      return "mbedtls: file io error";
    case MBEDTLS_ERR_MPI_BAD_INPUT_DATA:
      return "mbedtls: bad input data";
    case MBEDTLS_ERR_MPI_INVALID_CHARACTER:
      return "mbedtls: invalid characters";
    case MBEDTLS_ERR_MPI_BUFFER_TOO_SMALL:
      return "mbedtls: buffer too small";
    case MBEDTLS_ERR_MPI_NEGATIVE_VALUE:
      return "mbedtls: negative value";
    case MBEDTLS_ERR_MPI_DIVISION_BY_ZERO:
      return "mbedtls: division by zero";
    case MBEDTLS_ERR_MPI_NOT_ACCEPTABLE:
      return "mbedtls: not acceptable";
    case MBEDTLS_ERR_MPI_ALLOC_FAILED:
      return "mbedtls: alloc failed";
    default:
      return "mbedtls: unspecified error";
  }
}

void throw_mbedtls_error(int result) { throw ombrel_error(mbedtls_error_message(result)); }

mpi::mpi(const mpi& other) {
  mbedtls_mpi_init(&value_);
  check_mbedtls(mbedtls_mpi_copy(&value_, &other.value_));
}

mpi& mpi::operator=(const mpi& other) {
  if (this != &other) check_mbedtls(mbedtls_mpi_copy(&value_, &other.value_));
  return *this;
}

mpi::mpi(mpi&& other) noexcept : value_(other.value_) { mbedtls_mpi_init(&other.value_); }

mpi& mpi::operator=(mpi&& other) noexcept {
  if (this != &other) {
    mbedtls_mpi_free(&value_);
    value_ = other.value_;
    mbedtls_mpi_init(&other.value_);
  }
  return *this;
}

int mpi::sign() const noexcept { return value_.OMBREL_MPI_FIELD(s) < 0 ? -1 : 1; }

bool mpi::is_zero() const noexcept {
  const mbedtls_mpi_uint* limbs = value_.OMBREL_MPI_FIELD(p);
  for (size_t i = 0, n = value_.OMBREL_MPI_FIELD(n); i < n; ++i) {
    if (limbs[i] != 0) return false;
  }
  return true;
}

void mpi::negate() noexcept {
  if (!is_zero()) value_.OMBREL_MPI_FIELD(s) = -value_.OMBREL_MPI_FIELD(s);
}

void mpi::set_negative(bool negative) noexcept {
  value_.OMBREL_MPI_FIELD(s) = negative && !is_zero() ? -1 : 1;
}

void mpi::normalize() noexcept {
  if (value_.OMBREL_MPI_FIELD(s) < 0 && is_zero()) value_.OMBREL_MPI_FIELD(s) = 1;
}

uint64_t mpi::low_u64() const noexcept {
  constexpr size_t LIMB_BITS = sizeof(mbedtls_mpi_uint) * 8;
  uint64_t result = 0;
  const size_t n = value_.OMBREL_MPI_FIELD(n);
  for (size_t i = 0; i < n && i * LIMB_BITS < 64; ++i) {
    result |= static_cast<uint64_t>(value_.OMBREL_MPI_FIELD(p)[i]) << (i * LIMB_BITS);
  }
  return result;
}

void mpi::assign(uint64_t magnitude, bool negative) {
  constexpr size_t LIMB_BITS = sizeof(mbedtls_mpi_uint) * 8;
  constexpr size_t LIMBS = (64 + LIMB_BITS - 1) / LIMB_BITS;
  // lset keeps the existing limbs when there are enough, so reassignment does not allocate.
  check_mbedtls(mbedtls_mpi_lset(&value_, 0));
  check_mbedtls(mbedtls_mpi_grow(&value_, LIMBS));
  for (size_t i = 0; i < LIMBS; ++i) {
    value_.OMBREL_MPI_FIELD(p)[i] = static_cast<mbedtls_mpi_uint>(magnitude >> (i * LIMB_BITS));
  }
  set_negative(negative);
}

void mpi::read_twos_complement(const std::byte* data, size_t length) {
  if (length == 0) {
    check_mbedtls(mbedtls_mpi_lset(&value_, 0));
    return;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  check_mbedtls(mbedtls_mpi_read_binary(&value_, bytes, length));
  if ((bytes[0] & 0x80) == 0) return;
  // Negative: the magnitude is 2^(8 * length) - U, that is the low 8 * length bits of U
  // inverted, plus one. Done on the limbs in place to avoid a second buffer.
  constexpr size_t LIMB_BYTES = sizeof(mbedtls_mpi_uint);
  const size_t limbs = (length + LIMB_BYTES - 1) / LIMB_BYTES;
  if (value_.OMBREL_MPI_FIELD(n) < limbs) throw_mbedtls_error(MBEDTLS_ERR_MPI_BAD_INPUT_DATA);
  mbedtls_mpi_uint* p = value_.OMBREL_MPI_FIELD(p);
  for (size_t i = 0; i < limbs; ++i) p[i] = ~p[i];
  if (const size_t top = length % LIMB_BYTES; top != 0) {
    p[limbs - 1] &= (static_cast<mbedtls_mpi_uint>(1) << (8 * top)) - 1;
  }
  check_mbedtls(mbedtls_mpi_add_int(&value_, &value_, 1));
  value_.OMBREL_MPI_FIELD(s) = -1;
}

}  // namespace ombrel::detail
