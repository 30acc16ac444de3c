#pragma once
// Reader of the binary tuple format and the decoders of its element encodings. The parser
// borrows the tuple bytes (the caller keeps them alive) and never reads outside them, whatever
// the header and offsets claim: malformed input raises std::out_of_range. One parser is used by
// one thread at a time; the static decoders are stateless.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "model/common.h"
#include "model/ombrel_type_info.h"

namespace ombrel {

class big_integer;
class big_decimal;

class binary_tuple_parser {
 public:
  static_assert(std::endian::native == std::endian::little);

  // Parses the header of a tuple of `element_count` elements. Throws std::out_of_range
  // "Too short byte buffer" when the buffer cannot hold the offset table or the value area it
  // announces. Bytes past the end of the tuple are ignored.
  binary_tuple_parser(int32_t element_count, bytes_view tuple) : element_count_(element_count) {
    if (element_count < 0) bad_element_count();
    if (tuple.size() < 1) too_short();
    entry_size_ = 1u << (static_cast<uint8_t>(tuple.data[0]) & 3);
    // At most 2^31 entries of 8 bytes: the table size cannot overflow 64 bits.
    const uint64_t table_size = static_cast<uint64_t>(element_count) * entry_size_;
    const uint64_t room = tuple.size() - 1;
    if (table_size > room) too_short();
    value_start_ = tuple.data + 1 + table_size;
    value_area_size_ = element_count == 0 ? 0 : read_entry(value_start_ - entry_size_);
    // Compared with what is left rather than summed, so that a huge claim cannot wrap around.
    if (value_area_size_ > room - table_size) too_short();
    tuple_ = {static_cast<size_t>(1 + table_size + value_area_size_), tuple.data};
    next_entry_ = tuple.data + 1;
  }

  int32_t element_count() const { return element_count_; }
  int32_t element_index() const { return element_index_; }
  bool has_next() const { return element_index_ < element_count_; }
  // The tuple without the ignored trailing bytes.
  bytes_view tuple() const { return tuple_; }
  // Size of the offset entries (1, 2, 4 or 8).
  uint32_t entry_size() const { return entry_size_; }
  // Size of the value area (the last end offset).
  uint64_t value_area_size() const { return value_area_size_; }

  // The next element: a view into the value area, or a null view (length 0) for a null
  // element. Throws std::out_of_range "Bad offset table" for an end offset below the previous
  // one or beyond the value area, and "No more elements" past the last element.
  bytes_view get_next() {
    if (element_index_ >= element_count_) no_more_elements();
    const uint64_t end = read_entry(next_entry_);
    // One unsigned comparison refuses both a decreasing offset and one beyond the value area.
    if (end - previous_end_ > value_area_size_ - previous_end_) bad_offset_table();
    next_entry_ += entry_size_;
    ++element_index_;
    const uint64_t start = previous_end_;
    previous_end_ = end;
    if (end == start) return {};
    return {static_cast<size_t>(end - start), value_start_ + start};
  }

  // Starts again at the first element.
  void reset() {
    element_index_ = 0;
    previous_end_ = 0;
    next_entry_ = tuple_.data + 1;
  }

  // ---- Decoders of one non-null element; a length the type does not allow raises
  // std::out_of_range "Bad element size". ----
  static bool get_bool(bytes_view v) {
    check_size(v.size() == 1);
    return v.data[0] != std::byte{0};
  }
  static int8_t get_int8(bytes_view v) {
    check_size(v.size() == 1);
    return static_cast<int8_t>(v.data[0]);
  }
  static int16_t get_int16(bytes_view v) {
    if (v.size() == 1) return static_cast<int8_t>(v.data[0]);
    check_size(v.size() == 2);
    return load<int16_t>(v.data);
  }
  static int32_t get_int32(bytes_view v) {
    switch (v.size()) {
      case 1:
        return static_cast<int8_t>(v.data[0]);
      case 2:
        return load<int16_t>(v.data);
      case 4:
        return load<int32_t>(v.data);
      default:
        bad_element_size();
    }
  }
  static int64_t get_int64(bytes_view v) {
    switch (v.size()) {
      case 1:
        return static_cast<int8_t>(v.data[0]);
      case 2:
        return load<int16_t>(v.data);
      case 4:
        return load<int32_t>(v.data);
      case 8:
        return load<int64_t>(v.data);
      default:
        bad_element_size();
    }
  }
  static float get_float(bytes_view v) {
    check_size(v.size() == 4);
    return load<float>(v.data);
  }
  static double get_double(bytes_view v) {
    if (v.size() == 4) return load<float>(v.data);
    check_size(v.size() == 8);
    return load<double>(v.data);
  }
  static uuid get_uuid(bytes_view v) {
    check_size(v.size() == 16);
    return {load<int64_t>(v.data), load<int64_t>(v.data + 8)};
  }
  static ombrel_date get_date(bytes_view v) {
    check_size(v.size() == 3);
    return unpack_date(v.data);
  }
  static ombrel_time get_time(bytes_view v) {
    check_size(v.size() >= 4 && v.size() <= 6);
    return unpack_time(v.data, v.size());
  }
  static ombrel_date_time get_date_time(bytes_view v) {
    check_size(v.size() >= 7 && v.size() <= 9);
    return {unpack_date(v.data), unpack_time(v.data + 3, v.size() - 3)};
  }
  static ombrel_timestamp get_timestamp(bytes_view v) {
    check_size(v.size() == 8 || v.size() == 12);
    return {load<int64_t>(v.data), v.size() == 12 ? load<int32_t>(v.data + 8) : 0};
  }
  static ombrel_duration get_duration(bytes_view v) {
    check_size(v.size() == 8 || v.size() == 12);
    return {load<int64_t>(v.data), v.size() == 12 ? load<int32_t>(v.data + 8) : 0};
  }
  static ombrel_period get_period(bytes_view v) {
    switch (v.size()) {
      case 3:
        return {static_cast<int8_t>(v.data[0]), static_cast<int8_t>(v.data[1]),
                static_cast<int8_t>(v.data[2])};
      case 6:
        return {load<int16_t>(v.data), load<int16_t>(v.data + 2), load<int16_t>(v.data + 4)};
      case 12:
        return {load<int32_t>(v.data), load<int32_t>(v.data + 4), load<int32_t>(v.data + 8)};
      default:
        bad_element_size();
    }
  }
  // The payload of a variable-length element, without its escape byte. An escaped empty
  // value gives a present view of length 0.
  static bytes_view get_varlen(bytes_view v) {
    check_size(v.size() != 0);
    if (v.data[0] == std::byte{0x80}) return {v.size() - 1, v.data + 1};
    return v;
  }
  // Any length; an empty view gives 0.
  static big_integer get_number(bytes_view v);
  // Needs at least 3 bytes (the 2-byte scale and one unscaled byte), else "Bad element size".
  static big_decimal get_decimal(bytes_view v);
  // The decimal rescaled to `scale`; throws std::out_of_range "Invalid scale, expected less
  // than or equal to S, but was T" when its own scale T exceeds S.
  static big_decimal get_decimal(bytes_view v, int16_t scale);

  // Unpacks the 3-byte date form.
  static ombrel_date unpack_date(const std::byte* p) {
    uint32_t packed = 0;
    std::memcpy(&packed, p, 3);
    // The year is the signed upper 15 bits of the 24-bit value.
    const auto year = static_cast<int32_t>(packed << 8) >> 17;
    return {year, static_cast<int8_t>((packed >> 5) & 0xF), static_cast<int8_t>(packed & 0x1F)};
  }
  // Unpacks a time form of 4, 5 or 6 bytes.
  static ombrel_time unpack_time(const std::byte* p, size_t length) {
    uint64_t packed = 0;
    std::memcpy(&packed, p, length);
    uint32_t nano;
    uint32_t rest;
    if (length == 6) {
      nano = static_cast<uint32_t>(packed & 0x3FFFFFFF);
      rest = static_cast<uint32_t>(packed >> 30);
    } else if (length == 5) {
      nano = static_cast<uint32_t>(packed & 0xFFFFF) * 1000;
      rest = static_cast<uint32_t>(packed >> 20);
    } else {
      nano = static_cast<uint32_t>(packed & 0x3FF) * 1000000;
      rest = static_cast<uint32_t>(packed >> 10);
    }
    return {static_cast<int8_t>((rest >> 12) & 0x1F), static_cast<int8_t>((rest >> 6) & 0x3F),
            static_cast<int8_t>(rest & 0x3F), static_cast<int32_t>(nano)};
  }

 private:
  template <typename T>
  static T load(const std::byte* p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
  }

  uint64_t read_entry(const std::byte* p) const {
    switch (entry_size_) {
      case 1:
        return static_cast<uint8_t>(*p);
      case 2:
        return load<uint16_t>(p);
      case 4:
        return load<uint32_t>(p);
      default:
        return load<uint64_t>(p);
    }
  }

  static void check_size(bool ok) {
    if (!ok) bad_element_size();
  }
  [[noreturn]] static void too_short();
  [[noreturn]] static void bad_element_count();
  [[noreturn]] static void bad_element_size();
  [[noreturn]] static void bad_offset_table();
  [[noreturn]] static void no_more_elements();

  bytes_view tuple_;
  const std::byte* next_entry_ = nullptr;
  const std::byte* value_start_ = nullptr;
  uint64_t value_area_size_ = 0;
  uint64_t previous_end_ = 0;
  int32_t element_count_;
  int32_t element_index_ = 0;
  uint32_t entry_size_ = 1;
};

}  // namespace ombrel
