#include "segment/oroch.h"

#include <fmt/format.h>
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "native/errors.h"
#include "segment/oroch_bitpack.h"
#include "segment/oroch_varint.h"

namespace ombrel::oroch {
namespace {

using detail::BITS;

[[noreturn]] void malformed(const std::string& what) {
  throw errors::error("Malformed integer-coded block: " + what);
}

[[noreturn]] void not_basic() { throw std::logic_error("not a basic encoding"); }

[[noreturn]] void mismatch() {
  throw errors::fatal_error("Integer codec: values do not match the selected encoding");
}

constexpr size_t ceil_div(size_t a, size_t b) { return a / b + (a % b != 0); }

template <typename T>
constexpr std::make_unsigned_t<T> difference(T v, T origin) {
  using U = std::make_unsigned_t<T>;
  return static_cast<U>(static_cast<U>(v) - static_cast<U>(origin));
}

// Left shift that yields 0 once every bit is shifted out (w == bits of U).
template <typename U>
constexpr U shift_left(U x, unsigned w) {
  return w >= BITS<U> ? U{0} : static_cast<U>(x << w);
}

void check_width(unsigned w, unsigned max, const char* name) {
  if (w < 1 || w > max) malformed(fmt::format("bit width {} {} outside 1..{}", name, w, max));
}

// Bytes needed by n packed values, refused when more than `available`.
size_t checked_packed_size(size_t n, unsigned w, size_t available) {
  const size_t units = ceil_div(n, detail::values_per_unit(w));
  if (units > available / detail::UNIT_BYTES) {
    malformed(fmt::format("{} values at {} bits need {} units, only {} bytes present", n, w, units,
                          available));
  }
  return units * detail::UNIT_BYTES;
}

template <typename U>
size_t read_varints(const std::byte* src, size_t src_size, U* dst, size_t n) {
  const std::byte* p = src;
  const std::byte* const end = src + src_size;
  for (size_t i = 0; i < n; ++i) {
    switch (detail::read_varint(p, end, dst[i])) {
      case detail::varint_status::ok:
        break;
      case detail::varint_status::unterminated:
        malformed(fmt::format("varint {} of {} runs past the block", i, n));
      case detail::varint_status::too_long:
        malformed(fmt::format("varint {} is longer than {} bytes", i, detail::MAX_VARINT_SIZE<U>));
      case detail::varint_status::overflow:
        malformed(fmt::format("varint {} exceeds {} bits", i, BITS<U>));
    }
  }
  return static_cast<size_t>(p - src);
}

template <typename U, typename Value>
void write_varints(size_t n, std::byte* out, size_t space, Value value) {
  std::byte* const end = out + space;
  for (size_t i = 0; i < n; ++i) {
    const U x = value(i);
    if (detail::varint_size(x) > static_cast<size_t>(end - out)) mismatch();
    out = detail::write_varint(x, out);
  }
  if (out != end) mismatch();
}

template <typename U>
void add_origin(U* dst, size_t n, U origin) {
  for (size_t i = 0; i < n; ++i) dst[i] = static_cast<U>(dst[i] + origin);
}

template <typename T>
void unzigzag(std::make_unsigned_t<T>* dst, size_t n) {
  for (size_t i = 0; i < n; ++i)
    dst[i] = static_cast<std::make_unsigned_t<T>>(detail::zigzag_decode<T>(dst[i]));
}

// Gaps of the rows whose bit length exceeds w: the varint bytes of all gaps, and all gaps ORed
// (whose bit length is the largest gap's).
struct gap_summary {
  size_t varint_space = 0;
  uint64_t all_bits = 0;
};

// REQUIRES: lengths holds n bit lengths, zero-padded to a multiple of 64. Rows are compared 16 at
// a time; consecutive exceptions have gap 0 (one byte), so only the first exception of each run
// costs any work.
gap_summary summarise_gaps(const uint8_t* lengths, size_t n, unsigned w) {
  gap_summary s;
  const __m128i limit = _mm_set1_epi8(static_cast<char>(w));
  size_t next = 0;     // the row after the last exception seen
  uint64_t carry = 0;  // whether the previous row was an exception
  for (size_t base = 0; base < n; base += 64) {
    uint64_t rows = 0;
    for (unsigned k = 0; k < 4; ++k) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lengths + base + 16 * k));
      const auto bits = static_cast<uint16_t>(_mm_movemask_epi8(_mm_cmpgt_epi8(x, limit)));
      rows |= uint64_t{bits} << (16 * k);
    }
    if (rows == 0) {
      carry = 0;
      continue;
    }
    s.varint_space += static_cast<size_t>(std::popcount(rows));
    for (uint64_t starts = rows & ~((rows << 1) | carry); starts != 0; starts &= starts - 1) {
      const int j = std::countr_zero(starts);
      const uint64_t before = rows & ((uint64_t{1} << j) - 1);
      if (before != 0) next = base + static_cast<size_t>(std::bit_width(before));
      const uint64_t gap = base + static_cast<size_t>(j) - next;
      s.varint_space += detail::varint_size(gap) - 1;
      s.all_bits |= gap;
    }
    next = base + static_cast<size_t>(std::bit_width(rows));
    carry = rows >> 63;
  }
  return s;
}

// Candidate costs of select, smallest first wins; ties keep the earlier one.
template <typename T>
struct chooser {
  encoding_metadata<T>& meta;
  size_t best = SIZE_MAX;

  void offer(encoding enc, size_t value_space, size_t metadata_space, T origin, unsigned w) {
    if (value_space + metadata_space >= best) return;
    best = value_space + metadata_space;
    meta = {};
    meta.value = {enc, value_space, metadata_space, origin, w};
  }
};

}  // namespace

template <typename T>
void integer_codec<T>::select(encoding_metadata<T>& meta, const T* begin, const T* end) {
  constexpr unsigned B = BITS<T>;
  const auto n = static_cast<size_t>(end - begin);
  meta = {};
  if (n == 0) return;  // plain, nothing stored

  // Eight independent lanes, so that the compiler can keep them in vector registers.
  std::array<T, 8> lows;
  std::array<T, 8> highs;
  lows.fill(begin[0]);
  highs.fill(begin[0]);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    for (size_t j = 0; j < 8; ++j) {
      lows[j] = begin[i + j] < lows[j] ? begin[i + j] : lows[j];
      highs[j] = begin[i + j] > highs[j] ? begin[i + j] : highs[j];
    }
  }
  for (; i < n; ++i) {
    lows[0] = std::min(lows[0], begin[i]);
    highs[0] = std::max(highs[0], begin[i]);
  }
  const T min = *std::min_element(lows.begin(), lows.end());
  const T max = *std::max_element(highs.begin(), highs.end());
  const size_t origin_size = detail::varint_size(detail::zigzag_encode(min));
  if (min == max) {
    meta.value = {encoding::constant, 0, origin_size, min, 0};
    return;
  }

  // Bit lengths of the differences from min, kept per row for the bitpfr gaps and counted in
  // four tables so that runs of equal lengths do not serialise on one counter; zigzag varint
  // sizes. The row buffer is reused by the thread: large per-call allocations would go back to
  // the system and be faulted in again for every block.
  thread_local std::vector<uint8_t> lengths;
  lengths.assign((n + 63) / 64 * 64, 0);
  uint8_t* const length = lengths.data();
  std::array<std::array<size_t, B + 1>, 4> tables{};
  size_t zigzag_varint_space = 0;
  for (i = 0; i < n; ++i) {
    const unsigned b = detail::bit_length(difference(begin[i], min));
    length[i] = static_cast<uint8_t>(b);
    ++tables[i % 4][b];
    zigzag_varint_space += detail::varint_size(detail::zigzag_encode(begin[i]));
  }
  std::array<size_t, B + 1> h{};
  size_t offset_varint_space = 0;
  for (unsigned b = 0; b <= B; ++b) {
    h[b] = tables[0][b] + tables[1][b] + tables[2][b] + tables[3][b];
    offset_varint_space += h[b] * detail::VARINT_SIZE_BY_BITS[b];
  }
  const unsigned width = detail::bit_length(difference(max, min));
  const unsigned zigzag_width =
      detail::bit_length(std::max(detail::zigzag_encode(min), detail::zigzag_encode(max)));

  chooser<T> choice{meta};
  choice.offer(encoding::plain, n * sizeof(T), 0, 0, 0);
  choice.offer(encoding::zigzag_packed, detail::packed_size(n, zigzag_width), 1, 0, zigzag_width);
  choice.offer(encoding::offset_packed, detail::packed_size(n, width), origin_size + 1, min, width);
  choice.offer(encoding::zigzag_varint, zigzag_varint_space, 0, 0, 0);
  choice.offer(encoding::offset_varint, offset_varint_space, origin_size, min, 0);
  if (n < 5) return;

  size_t exceptions = n - h[0];
  for (unsigned w = 1; w <= width; ++w) {
    if (h[w] == 0) continue;
    exceptions -= h[w];
    const size_t low_space = detail::packed_size(n, w);
    const size_t metadata_space = origin_size + 3 + detail::varint_size(uint64_t{exceptions});
    size_t high_space = 0;
    unsigned q = 0;
    if (w < width) {
      const size_t packed = ceil_div(exceptions, detail::values_per_unit(width - w)) * 16;
      size_t varints = 0;
      for (unsigned b = w + 1; b <= width; ++b) varints += h[b] * ceil_div(b - w, 7);
      high_space = varints <= packed ? varints : packed;
      q = varints <= packed ? 0 : width - w;
    }
    const size_t fixed = low_space + metadata_space + high_space;
    if (choice.best <= fixed + std::min(ceil_div(exceptions, 128) * 16, n)) continue;

    const gap_summary gaps = summarise_gaps(lengths.data(), n, w);
    const size_t gap_varint_space = gaps.varint_space;
    const unsigned p = std::max(detail::bit_length(gaps.all_bits), 1U);
    const size_t gap_packed_space = ceil_div(exceptions, detail::values_per_unit(p)) * 16;
    const bool gaps_packed = gap_packed_space < gap_varint_space;
    const size_t gap_space = gaps_packed ? gap_packed_space : gap_varint_space;
    if (fixed + gap_space >= choice.best) continue;

    choice.best = fixed + gap_space;
    meta.value = {encoding::bitpfr, low_space + high_space + gap_space, metadata_space, min, w};
    meta.exception_count = exceptions;
    meta.positions = {gaps_packed ? encoding::zigzag_packed : encoding::zigzag_varint, gap_space, 0,
                      0, gaps_packed ? p : 0};
    meta.high_parts = {q != 0 ? encoding::zigzag_packed : encoding::zigzag_varint, high_space, 0, 0,
                       q};
  }
}

template <typename T>
void integer_codec<T>::encode_basic(const detail::encoding_descriptor<T>& d, const T* begin,
                                    const T* end, std::byte* out) {
  using U = unsigned_type;
  const auto n = static_cast<size_t>(end - begin);
  const T origin = d.origin;
  switch (d.enc) {
    case encoding::constant:
      if (d.value_space != 0) mismatch();
      return;
    case encoding::plain:
      if (d.value_space != n * sizeof(T)) mismatch();
      if (n != 0) std::memcpy(out, begin, n * sizeof(T));
      return;
    case encoding::zigzag_varint:
      write_varints<U>(n, out, d.value_space,
                       [&](size_t i) { return detail::zigzag_encode(begin[i]); });
      return;
    case encoding::offset_varint:
      write_varints<U>(n, out, d.value_space,
                       [&](size_t i) { return difference(begin[i], origin); });
      return;
    case encoding::zigzag_packed:
      if (d.bit_width < 1 || d.bit_width > BITS<T>) mismatch();
      if (detail::packed_size(n, d.bit_width) != d.value_space) mismatch();
      detail::pack(n, d.bit_width, out, [&](size_t i) { return detail::zigzag_encode(begin[i]); });
      return;
    case encoding::offset_packed:
      if (d.bit_width < 1 || d.bit_width > BITS<T>) mismatch();
      if (detail::packed_size(n, d.bit_width) != d.value_space) mismatch();
      detail::pack(n, d.bit_width, out, [&](size_t i) { return difference(begin[i], origin); });
      return;
    case encoding::bitpfr:
      not_basic();
  }
  mismatch();
}

template <typename T>
size_t integer_codec<T>::decode_basic(const detail::encoding_descriptor<T>& d, const std::byte* src,
                                      size_t src_size, T* dst, size_t n) {
  using U = unsigned_type;
  U* const out = reinterpret_cast<U*>(dst);  // same object representation, aliasing allowed
  switch (d.enc) {
    case encoding::constant:
      std::fill(dst, dst + n, d.origin);
      return 0;
    case encoding::plain:
      if (n > src_size / sizeof(T)) {
        malformed(fmt::format("{} plain values need {} bytes, only {} present", n, n * sizeof(T),
                              src_size));
      }
      if (n != 0) std::memcpy(dst, src, n * sizeof(T));
      return n * sizeof(T);
    case encoding::zigzag_varint: {
      const size_t used = read_varints(src, src_size, out, n);
      unzigzag<T>(out, n);
      return used;
    }
    case encoding::offset_varint: {
      const size_t used = read_varints(src, src_size, out, n);
      add_origin(out, n, static_cast<U>(d.origin));
      return used;
    }
    case encoding::zigzag_packed: {
      check_width(d.bit_width, BITS<T>, "w");
      const size_t used = checked_packed_size(n, d.bit_width, src_size);
      detail::unpack(src, n, d.bit_width, out);
      unzigzag<T>(out, n);
      return used;
    }
    case encoding::offset_packed: {
      check_width(d.bit_width, BITS<T>, "w");
      const size_t used = checked_packed_size(n, d.bit_width, src_size);
      detail::unpack(src, n, d.bit_width, out);
      add_origin(out, n, static_cast<U>(d.origin));
      return used;
    }
    case encoding::bitpfr:
      not_basic();
  }
  malformed(fmt::format("unknown encoding {}", static_cast<unsigned>(d.enc)));
}

template <typename T>
void integer_codec<T>::encode_bitpfr(const encoding_metadata<T>& meta, const T* begin, const T* end,
                                     std::byte* out) {
  const auto n = static_cast<size_t>(end - begin);
  const unsigned w = meta.value.bit_width;
  const T origin = meta.value.origin;
  if (meta.value.enc != encoding::bitpfr || w < 1 || w > BITS<T>) mismatch();
  const size_t low_space = detail::packed_size(n, w);
  if (low_space + meta.positions.value_space + meta.high_parts.value_space !=
      meta.value.value_space) {
    mismatch();
  }
  detail::pack(n, w, out, [&](size_t i) { return difference(begin[i], origin); });
  thread_local typename bitpfr_codec<T>::exceptions ex;  // reused, see select
  bitpfr_codec<T>::collect(begin, end, origin, w, ex);
  if (ex.gaps.size() != meta.exception_count) mismatch();
  out += low_space;
  const uint64_t* gaps = ex.gaps.data();
  integer_codec<uint64_t>::encode_basic(meta.positions, gaps, gaps + ex.gaps.size(), out);
  out += meta.positions.value_space;
  const unsigned_type* highs = ex.high_parts.data();
  integer_codec<unsigned_type>::encode_basic(meta.high_parts, highs, highs + ex.high_parts.size(),
                                             out);
}

template <typename T>
size_t integer_codec<T>::decode_bitpfr(const encoding_metadata<T>& meta, const std::byte* src,
                                       size_t src_size, T* dst, size_t n) {
  using U = unsigned_type;
  if (meta.value.enc != encoding::bitpfr) not_basic();
  const unsigned w = meta.value.bit_width;
  check_width(w, BITS<T>, "w");
  U* const out = reinterpret_cast<U*>(dst);
  size_t used = checked_packed_size(n, w, src_size);
  detail::unpack(src, n, w, out);

  // Every exception takes at least one bit of the remaining bytes; this bounds the allocation.
  const uint64_t count = meta.exception_count;
  if (count > n || count > (src_size - used) * 8) {
    malformed(fmt::format("{} exceptions in a block of {} values with {} bytes left", count, n,
                          src_size - used));
  }
  thread_local typename bitpfr_codec<T>::exceptions ex;  // reused, see select
  ex.gaps.resize(count);
  ex.high_parts.resize(count);
  used += integer_codec<uint64_t>::decode_basic(meta.positions, src + used, src_size - used,
                                                ex.gaps.data(), count);
  used += integer_codec<U>::decode_basic(meta.high_parts, src + used, src_size - used,
                                         ex.high_parts.data(), count);
  bitpfr_codec<T>::apply(ex, w, out, n);
  add_origin(out, n, static_cast<U>(meta.value.origin));
  return used;
}

template <typename T>
void bitpfr_codec<T>::collect(const T* begin, const T* end, T origin, unsigned w, exceptions& ex) {
  ex.gaps.clear();
  ex.high_parts.clear();
  if (w >= BITS<T>) return;
  const auto n = static_cast<size_t>(end - begin);
  size_t next = 0;
  for (size_t r = 0; r < n; ++r) {
    const unsigned_type high = static_cast<unsigned_type>(difference(begin[r], origin) >> w);
    if (high == 0) continue;
    ex.gaps.push_back(r - next);
    ex.high_parts.push_back(high);
    next = r + 1;
  }
}

template <typename T>
void bitpfr_codec<T>::apply(const exceptions& ex, unsigned w, unsigned_type* dst, size_t n) {
  size_t next = 0;
  for (size_t e = 0; e < ex.gaps.size(); ++e) {
    const uint64_t gap = ex.gaps[e];
    if (gap >= n - next) {
      malformed(fmt::format("exception {} lies beyond the block of {} values", e, n));
    }
    const size_t row = next + gap;
    dst[row] = static_cast<unsigned_type>(dst[row] | shift_left(ex.high_parts[e], w));
    next = row + 1;
  }
}

template <typename T>
size_t encoded_size(const encoding_metadata<T>& meta) {
  return value_offset(meta.value.metadata_space) + meta.value.value_space;
}

template <typename T>
void encode_block(const encoding_metadata<T>& meta, const T* begin, const T* end, std::byte* out) {
  // The longest metadata: origin varint, w, count varint, p, q.
  std::array<std::byte, 1 + detail::MAX_VARINT_SIZE<T> + 1 + 10 + 2> head{};
  const encoding enc = meta.value.enc;
  std::byte* p = head.data();
  *p++ = static_cast<std::byte>(enc);
  if (enc == encoding::constant || enc == encoding::offset_varint ||
      enc == encoding::offset_packed || enc == encoding::bitpfr) {
    p = detail::write_varint(detail::zigzag_encode(meta.value.origin), p);
  }
  if (enc == encoding::zigzag_packed || enc == encoding::offset_packed || enc == encoding::bitpfr) {
    *p++ = static_cast<std::byte>(meta.value.bit_width);
  }
  if (enc == encoding::bitpfr) {
    p = detail::write_varint(meta.exception_count, p);
    const bool gaps_packed = meta.positions.enc == encoding::zigzag_packed;
    const bool highs_packed = meta.high_parts.enc == encoding::zigzag_packed;
    *p++ = static_cast<std::byte>(gaps_packed ? meta.positions.bit_width : 0);
    *p++ = static_cast<std::byte>(highs_packed ? meta.high_parts.bit_width : 0);
  }
  const auto head_size = static_cast<size_t>(p - head.data());
  if (head_size != meta.value.metadata_space + 1) mismatch();
  const size_t offset = value_offset(meta.value.metadata_space);
  std::memcpy(out, head.data(), head_size);
  std::fill(out + head_size, out + offset, std::byte{0});
  if (enc == encoding::bitpfr) {
    integer_codec<T>::encode_bitpfr(meta, begin, end, out + offset);
  } else {
    integer_codec<T>::encode_basic(meta.value, begin, end, out + offset);
  }
}

template <typename T>
size_t read_metadata(const std::byte* src, size_t src_size, encoding_metadata<T>& meta) {
  using U = std::make_unsigned_t<T>;
  meta = {};
  if (src_size == 0) malformed("no encoding byte");
  const std::byte* p = src + 1;
  const std::byte* const end = src + src_size;
  const auto number = static_cast<unsigned>(src[0]);
  if (number > MAX_ENCODING) malformed(fmt::format("unknown encoding {}", number));
  const auto enc = static_cast<encoding>(number);
  meta.value.enc = enc;

  const auto next_byte = [&](const char* what) {
    if (p == end) malformed(fmt::format("metadata ends before the {}", what));
    return static_cast<unsigned>(*p++);
  };
  const auto check = [](detail::varint_status status, const char* what) {
    if (status != detail::varint_status::ok) malformed(fmt::format("bad varint for the {}", what));
  };
  if (enc == encoding::constant || enc == encoding::offset_varint ||
      enc == encoding::offset_packed || enc == encoding::bitpfr) {
    U zz = 0;
    check(detail::read_varint(p, end, zz), "origin");
    meta.value.origin = detail::zigzag_decode<T>(zz);
  }
  if (enc == encoding::zigzag_packed || enc == encoding::offset_packed || enc == encoding::bitpfr) {
    meta.value.bit_width = next_byte("bit width");
    check_width(meta.value.bit_width, BITS<T>, "w");
  }
  if (enc == encoding::bitpfr) {
    check(detail::read_varint(p, end, meta.exception_count), "exception count");
    // Width 0 selects varints for the stream.
    const unsigned gap_width = next_byte("gap bit width");
    if (gap_width != 0) check_width(gap_width, 64, "p");
    const unsigned high_width = next_byte("high part bit width");
    if (high_width != 0) check_width(high_width, BITS<T>, "q");
    meta.positions.enc = gap_width == 0 ? encoding::zigzag_varint : encoding::zigzag_packed;
    meta.positions.bit_width = gap_width;
    meta.high_parts.enc = high_width == 0 ? encoding::zigzag_varint : encoding::zigzag_packed;
    meta.high_parts.bit_width = high_width;
  }
  meta.value.metadata_space = static_cast<size_t>(p - src - 1);
  const size_t offset = value_offset(meta.value.metadata_space);
  if (offset > src_size) {
    malformed(fmt::format("block of {} bytes ends before its values at {}", src_size, offset));
  }
  meta.value.value_space = src_size - offset;
  return offset;
}

template <typename T>
void decode_block(const std::byte* src, size_t src_size, T* dst, size_t n) {
  encoding_metadata<T> meta;
  const size_t offset = read_metadata(src, src_size, meta);
  if (meta.value.enc == encoding::bitpfr) {
    integer_codec<T>::decode_bitpfr(meta, src + offset, src_size - offset, dst, n);
  } else {
    integer_codec<T>::decode_basic(meta.value, src + offset, src_size - offset, dst, n);
  }
}

template <typename T>
bool value_picker::open(const std::byte* src, size_t src_size, size_t n) {
  using U = std::make_unsigned_t<T>;
  encoding_metadata<T> meta;
  const size_t offset = read_metadata(src, src_size, meta);
  const detail::encoding_descriptor<T>& d = meta.value;
  const size_t space = src_size - offset;
  switch (d.enc) {
    case encoding::constant:
      break;
    case encoding::plain:
      if (n > space / sizeof(T)) {
        malformed(
            fmt::format("{} plain values need {} bytes, only {} present", n, n * sizeof(T), space));
      }
      break;
    case encoding::zigzag_packed:
    case encoding::offset_packed:
      check_width(d.bit_width, BITS<T>, "w");
      checked_packed_size(n, d.bit_width, space);
      break;
    default:
      return false;
  }
  values_ = src + offset;
  enc_ = d.enc;
  origin_ = static_cast<U>(d.origin);
  value_bytes_ = sizeof(T);
  width_ = d.bit_width;
  per_unit_ = width_ == 0 ? 2 : detail::values_per_unit(width_);  // at least 2: width <= 64
  per_unit_reciprocal_ = ~uint64_t{0} / per_unit_ + 1;
  width_mask_ = width_ >= 64 ? ~uint64_t{0} : (uint64_t{1} << width_) - 1;
  value_mask_ = std::numeric_limits<U>::max();
  return true;
}

#define OMBREL_OROCH_DEFINE(T)                                                                \
  template class integer_codec<T>;                                                            \
  template class integer_codec<std::make_unsigned_t<T>>;                                      \
  template class bitpfr_codec<T>;                                                             \
  template class bitpfr_codec<std::make_unsigned_t<T>>;                                       \
  template size_t encoded_size<T>(const encoding_metadata<T>&);                               \
  template void encode_block<T>(const encoding_metadata<T>&, const T*, const T*, std::byte*); \
  template size_t read_metadata<T>(const std::byte*, size_t, encoding_metadata<T>&);          \
  template void decode_block<T>(const std::byte*, size_t, T*, size_t);                        \
  template bool value_picker::open<T>(const std::byte*, size_t, size_t);
OMBREL_OROCH_DEFINE(signed char)
OMBREL_OROCH_DEFINE(short)
OMBREL_OROCH_DEFINE(int)
OMBREL_OROCH_DEFINE(long)
#undef OMBREL_OROCH_DEFINE

}  // namespace ombrel::oroch
