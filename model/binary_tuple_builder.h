#pragma once
// Writer of the binary tuple format: a header byte, an offset table with one end offset per
// element and the value area. Built in two passes over the same values: a claim pass that sums
// the encoded lengths, layout(), then an append pass that writes them. One builder is owned and
// used by one thread at a time; it may be reused for many tuples (start() resets it).

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "model/common.h"
#include "model/ombrel_type_info.h"

namespace ombrel {

class big_integer;
class big_decimal;

class binary_tuple_builder {
 public:
  static_assert(std::endian::native == std::endian::little);

  // Escape prefix of variable-length values that are empty or start with this byte.
  static constexpr std::byte VARLEN_ESCAPE{0x80};

  explicit binary_tuple_builder(int32_t element_count) : element_count_(element_count) {}

  int32_t element_count() const { return element_count_; }
  // Claimed value area size (valid after the claim pass).
  uint32_t value_area_size() const { return value_area_size_; }
  // Offset entry size chosen by the last layout(): 1, 2 or 4.
  uint32_t entry_size() const { return entry_size_; }

  // Begins the claim pass.
  void start() {
    element_index_ = 0;
    append_limit_ = 0;
    value_area_size_ = 0;
    entry_size_ = 0;
  }

  // ---- Claim pass: one call per element, in element order. ----
  void claim(uint32_t encoded_length) {
    value_area_size_ += encoded_length;
    ++element_index_;
  }
  void claim_null() { ++element_index_; }
  void claim_bool(bool) { claim(1); }
  void claim_int8(int8_t) { claim(1); }
  void claim_int16(int16_t v) { claim(int_size(v)); }
  void claim_int32(int32_t v) { claim(int_size(v)); }
  void claim_int64(int64_t v) { claim(int_size(v)); }
  void claim_float(float) { claim(4); }
  void claim_double(double v) { claim(double_size(v)); }
  void claim_number(const big_integer& v);
  void claim_number(const big_decimal& v);
  void claim_uuid(const uuid&) { claim(16); }
  void claim_date(const ombrel_date&) { claim(3); }
  void claim_time(const ombrel_time& v) { claim(time_size(v)); }
  void claim_date_time(const ombrel_date_time& v) { claim(3 + time_size(v.time)); }
  void claim_timestamp(const ombrel_timestamp& v) { claim(v.nanos == 0 ? 8 : 12); }
  void claim_duration(const ombrel_duration& v) { claim(v.nanos == 0 ? 8 : 12); }
  void claim_period(const ombrel_period& v) { claim(period_size(v)); }
  void claim_bytes(bytes_view v) { claim(static_cast<uint32_t>(v.size())); }
  void claim_varlen(bytes_view v) { claim(varlen_size(v)); }

  // Tuple size for the claimed values: 1 + N * E + V.
  size_t tuple_size() const {
    return 1 + static_cast<size_t>(element_count_) * entry_size_for(value_area_size_) +
           value_area_size_;
  }

  // Ends the claim pass: sizes the owned buffer to tuple_size() and begins the append pass.
  void layout() {
    buffer_.resize(tuple_size());
    layout_into(buffer_.data());
  }

  // Like layout(), but writes into a caller buffer of at least tuple_size() bytes, which must
  // stay valid until the last append. The owned buffer is left alone.
  void layout_into(std::byte* out) {
    entry_size_ = entry_size_for(value_area_size_);
    out[0] = static_cast<std::byte>(std::countr_zero(entry_size_));
    element_index_ = 0;
    append_limit_ = element_count_;
    next_entry_ = out + 1;
    value_start_ = next_entry_ + static_cast<size_t>(element_count_) * entry_size_;
    next_value_ = value_start_;
    value_end_ = value_start_ + value_area_size_;
  }

  // ---- Append pass: the same elements with the same values as the claim pass. ----
  // Every appender throws errors::fatal_error when the claim pass under-counted.
  void append_null() { finish_element(); }
  void append_bool(bool v) {
    *reserve(1) = static_cast<std::byte>(v);
    finish_element();
  }
  void append_int8(int8_t v) { append_int(v); }
  void append_int16(int16_t v) { append_int(v); }
  void append_int32(int32_t v) { append_int(v); }
  void append_int64(int64_t v) { append_int(v); }
  void append_int8_ptr(const int8_t* v) { append_int(*v); }
  void append_int16_ptr(const int16_t* v) { append_int(*v); }
  void append_int32_ptr(const int32_t* v) { append_int(*v); }
  void append_int64_ptr(const int64_t* v) { append_int(*v); }
  void append_float(float v) { append_raw(&v, 4); }
  void append_double(double v) {
    if (double_size(v) == 4) {
      const auto f = static_cast<float>(v);
      append_raw(&f, 4);
    } else {
      append_raw(&v, 8);
    }
  }
  void append_number(const big_integer& v);
  // A zero decimal is written with scale 0 whatever its scale.
  void append_number(const big_decimal& v);
  void append_uuid(const uuid& v) {
    std::byte* out = reserve(16);
    std::memcpy(out, &v.first, 8);
    std::memcpy(out + 8, &v.second, 8);
    finish_element();
  }
  void append_date(const ombrel_date& v) {
    write_date(reserve(3), v);
    finish_element();
  }
  void append_time(const ombrel_time& v) {
    const uint32_t n = time_size(v);
    write_time(reserve(n), v, n);
    finish_element();
  }
  void append_date_time(const ombrel_date_time& v) {
    const uint32_t n = time_size(v.time);
    std::byte* out = reserve(3 + n);
    write_date(out, v.date);
    write_time(out + 3, v.time, n);
    finish_element();
  }
  void append_timestamp(const ombrel_timestamp& v) { append_seconds_nanos(v.seconds, v.nanos); }
  void append_duration(const ombrel_duration& v) { append_seconds_nanos(v.seconds, v.nanos); }
  void append_period(const ombrel_period& v);
  // Raw bytes, never escaped (an empty value therefore reads back as null).
  void append_bytes(bytes_view v) { append_raw(v.data, v.size()); }
  // Bytes with the escape rule of variable-length types.
  void append_varlen(bytes_view v) {
    if (needs_escape(v)) {
      std::byte* out = reserve(v.size() + 1);
      out[0] = VARLEN_ESCAPE;
      if (v.size() != 0) std::memcpy(out + 1, v.data, v.size());
      finish_element();
    } else {
      append_raw(v.data, v.size());
    }
  }

  // The tuple written through layout() (complete after the last append), tuple_size() bytes.
  // When the claim over-counted, bytes past the last end offset are unspecified.
  bytes_view data() const { return {buffer_.size(), buffer_.data()}; }
  const std::vector<std::byte>& buffer() const { return buffer_; }
  // Hands the owned buffer to the caller; the builder gets an empty one.
  std::vector<std::byte> release() { return std::move(buffer_); }

  // ---- Encoded lengths and packed forms, shared with the material form writers. ----
  static uint32_t entry_size_for(uint32_t value_area_size) {
    return value_area_size < 0x100 ? 1 : value_area_size < 0x10000 ? 2 : 4;
  }
  // 1, 2, 4 or 8, without branches: a column's values often alternate between two sizes.
  static uint32_t int_size(int64_t v) {
    return 1 + uint32_t{v != static_cast<int8_t>(v)} + 2 * uint32_t{v != static_cast<int16_t>(v)} +
           4 * uint32_t{v != static_cast<int32_t>(v)};
  }
  // 4 when the value survives a round trip through single precision, else 8.
  static uint32_t double_size(double v) {
    if (std::isinf(v)) return 4;
    if (!(std::fabs(v) <= FLT_MAX)) return 8;  // NaN or beyond single range
    return static_cast<double>(static_cast<float>(v)) == v ? 4 : 8;
  }
  static uint32_t time_size(const ombrel_time& v) {
    if (v.nano % 1000 != 0) return 6;
    if (v.nano % 1000000 != 0) return 5;
    return 4;
  }
  static uint32_t period_size(const ombrel_period& v) {
    auto fits = [&](int32_t lo, int32_t hi) {
      return v.years >= lo && v.years <= hi && v.months >= lo && v.months <= hi && v.days >= lo &&
             v.days <= hi;
    };
    if (fits(INT8_MIN, INT8_MAX)) return 3;
    if (fits(INT16_MIN, INT16_MAX)) return 6;
    return 12;
  }
  static bool needs_escape(bytes_view v) { return v.size() == 0 || v.data[0] == VARLEN_ESCAPE; }
  static uint32_t varlen_size(bytes_view v) {
    return static_cast<uint32_t>(v.size()) + (needs_escape(v) ? 1 : 0);
  }
  // Writes the 3-byte date form.
  static void write_date(std::byte* out, const ombrel_date& v) {
    const uint32_t packed = (static_cast<uint32_t>(v.year) << 9) |
                            ((static_cast<uint32_t>(v.month) & 0xF) << 5) |
                            (static_cast<uint32_t>(v.day) & 0x1F);
    std::memcpy(out, &packed, 3);
  }
  // Writes the time form of `length` bytes (4, 5 or 6), keeping the sub-second precision
  // that form allows.
  static void write_time(std::byte* out, const ombrel_time& v, uint32_t length) {
    const auto h = static_cast<uint64_t>(v.hour) & 0x1F;
    const auto m = static_cast<uint64_t>(v.minute) & 0x3F;
    const auto s = static_cast<uint64_t>(v.second) & 0x3F;
    const auto n = static_cast<uint64_t>(static_cast<uint32_t>(v.nano));
    uint64_t packed;
    if (length == 6) {
      packed = (n & 0x3FFFFFFF) | (s << 30) | (m << 36) | (h << 42);
    } else if (length == 5) {
      packed = ((n / 1000) & 0xFFFFF) | (s << 20) | (m << 26) | (h << 32);
    } else {
      packed = ((n / 1000000) & 0x3FF) | (s << 10) | (m << 16) | (h << 22);
    }
    std::memcpy(out, &packed, length);
  }

 private:
  // The next n bytes of the value area.
  std::byte* reserve(size_t n) {
    if (static_cast<size_t>(value_end_ - next_value_) < n) overflow();
    std::byte* out = next_value_;
    next_value_ += n;
    return out;
  }

  // Writes the end offset of the element just written and moves to the next element.
  void finish_element() {
    if (element_index_ >= append_limit_) overflow();
    const auto end = static_cast<uint32_t>(next_value_ - value_start_);
    switch (entry_size_) {
      case 1:
        *next_entry_ = static_cast<std::byte>(end);
        break;
      case 2: {
        const auto e = static_cast<uint16_t>(end);
        std::memcpy(next_entry_, &e, 2);
        break;
      }
      default:
        std::memcpy(next_entry_, &end, 4);
        break;
    }
    next_entry_ += entry_size_;
    ++element_index_;
  }

  void append_raw(const void* data, size_t n) {
    std::byte* out = reserve(n);
    if (n != 0) std::memcpy(out, data, n);
    finish_element();
  }

  // Little-endian two's complement in the shortest of 1, 2, 4, 8 bytes.
  void append_int(int64_t v) { append_raw(&v, int_size(v)); }

  void append_seconds_nanos(int64_t seconds, int32_t nanos) {
    std::byte* out = reserve(nanos == 0 ? 8 : 12);
    std::memcpy(out, &seconds, 8);
    if (nanos != 0) std::memcpy(out + 8, &nanos, 4);
    finish_element();
  }

  [[noreturn]] static void overflow();

  int32_t element_count_;
  int32_t element_index_ = 0;
  int32_t append_limit_ = 0;  // element_count_ once laid out, so appends need a layout
  uint32_t value_area_size_ = 0;
  uint32_t entry_size_ = 0;
  std::byte* next_entry_ = nullptr;
  std::byte* value_start_ = nullptr;
  std::byte* next_value_ = nullptr;
  std::byte* value_end_ = nullptr;
  std::vector<std::byte> buffer_;
};

}  // namespace ombrel
