#pragma once
// Column types, their fixed storage properties and the plain value classes of the temporal
// types. Everything here is immutable or a plain value: safe to use from any thread.

#include <compare>
#include <cstdint>

#include "model/common.h"

namespace ombrel {

// The type of a column. The numbers are part of the external contract (schemas and binary
// tuples name types by number). Unscoped so that both `INT64` and `ombrel_type::INT64` work.
enum ombrel_type : int32_t {
  NONE = 0,
  BOOL = 1,
  INT8 = 2,
  INT16 = 3,
  INT32 = 4,
  INT64 = 5,
  FLOAT = 6,
  DOUBLE = 7,
  DECIMAL = 8,
  DATE = 9,
  TIME = 10,
  DATE_TIME = 11,
  TIMESTAMP = 12,
  UUID = 13,
  OPAQUE = 14,
  STRING = 15,
  BYTES = 16,
  PERIOD = 17,
  DURATION = 18,
  NUMBER = 19,
};

// How a type is stored in the material (fixed-size) form. A type with size 0 is stored as a
// length-prefixed variable-length value; varlen marks the types whose binary-tuple form may
// carry the 0x80 escape byte.
struct ombrel_type_info {
  uint32_t size;
  uint32_t value_size;
  uint32_t alignment;
  bool varlen;

  // The record of a type. Throws errors::fatal_error "Unsupported data type N" for numbers
  // outside 0..19.
  static const ombrel_type_info& get(ombrel_type type);
};

// Number of types that have a record in ombrel_type_info.
inline constexpr int32_t OMBREL_TYPE_COUNT = 20;

// Calendar date; packed forms keep 15 bits of year, 4 of month, 5 of day.
struct ombrel_date {
  int32_t year = 0;
  int8_t month = 0;
  int8_t day = 0;
  friend constexpr auto operator<=>(const ombrel_date&, const ombrel_date&) = default;
};

// Time of day; nano is below 10^9. Packed forms keep 5/6/6 bits of hour/minute/second.
struct ombrel_time {
  int8_t hour = 0;
  int8_t minute = 0;
  int8_t second = 0;
  int32_t nano = 0;
  friend constexpr auto operator<=>(const ombrel_time&, const ombrel_time&) = default;
};

struct ombrel_date_time {
  ombrel_date date;
  ombrel_time time;
  friend constexpr auto operator<=>(const ombrel_date_time&, const ombrel_date_time&) = default;
};

struct ombrel_timestamp {
  int64_t seconds = 0;
  int32_t nanos = 0;
  friend constexpr auto operator<=>(const ombrel_timestamp&, const ombrel_timestamp&) = default;
};

struct ombrel_duration {
  int64_t seconds = 0;
  int32_t nanos = 0;
  friend constexpr auto operator<=>(const ombrel_duration&, const ombrel_duration&) = default;
};

struct ombrel_period {
  int32_t years = 0;
  int32_t months = 0;
  int32_t days = 0;
  friend constexpr auto operator<=>(const ombrel_period&, const ombrel_period&) = default;
};

}  // namespace ombrel
