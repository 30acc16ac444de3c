#pragma once
// The aggregate functions of an aggregate cursor: one aggregate_function object per requested
// call, chosen once by function and argument type, folds the rows of a group into that group's
// aggregate_value and renders it in the material form of its result type. Function objects are
// immutable after construction and may be shared between threads; aggregate values belong to
// one group and are used by one thread at a time.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "model/big_decimal.h"
#include "model/big_integer.h"
#include "model/bitset.h"
#include "model/common.h"
#include "model/flat_tuple.h"
#include "model/ombrel_type_info.h"
#include "segment/column_reader.h"

namespace ombrel {

enum ombrel_aggregate_function : uint8_t {
  AGGREGATE_COUNT = 0,
  AGGREGATE_SUM = 1,
  AGGREGATE_AVG = 2,
  AGGREGATE_MIN = 3,
  AGGREGATE_MAX = 4,
  AGGREGATE_ANY = 5,
};

// One requested aggregate: a negative column means the call has no column (count(*)).
struct ombrel_aggregate_call {
  int32_t column = -1;
  uint8_t function = AGGREGATE_COUNT;
  uint8_t flag = 0;  // carried for the host, read by no function
};

// The request of an aggregate cursor: group by the columns of `group_set`, one output column
// per call, in call order.
struct ombrel_aggregate {
  bitset group_set;
  std::vector<ombrel_aggregate_call> calls;
};

// Running average of fixed-size arguments: the sum stays an integer for integer arguments so
// that it wraps like sum does.
struct average {
  std::variant<int64_t, uint64_t, double> sum;
  uint64_t count = 0;
  double result = 0;
};

// Running average of NUMBER and DECIMAL arguments.
struct average_varlen {
  std::variant<big_integer, big_decimal> sum;
  int64_t count = 0;
  big_decimal result;
};

// Scratch bytes of one call's rendered results; reused from group to group.
using combined_buffer = std::vector<std::byte>;

// The accumulator of one call in one group; monostate is "no value yet" and renders as null.
struct aggregate_value
    : std::variant<std::monostate, average, average_varlen, int64_t, uint64_t, double, big_integer,
                   big_decimal, std::vector<std::byte>, uuid, ombrel_date, ombrel_time,
                   ombrel_date_time, ombrel_timestamp, ombrel_period, ombrel_duration> {
  using variant::variant;
  using variant::operator=;

  // The value in material form of the result type, null for no value (and for the average of
  // NUMBER or DECIMAL arguments that were all null). Averages store their result first. The
  // view points into `buffer`, valid until the next call with it.
  std::optional<bytes_view> get_internal_slice(combined_buffer& buffer);
};

// One requested call: what it is named and typed as, and how it folds rows. Immutable.
class aggregate_function {
 public:
  // `position`: the argument's index in the scanned row, -1 for count without column.
  explicit aggregate_function(int64_t position) : position_(position) {}
  virtual ~aggregate_function() = default;

  virtual std::string result_name(const std::string& column_name) const = 0;
  virtual ombrel_type result_type() const = 0;
  virtual void initialize(aggregate_value& value) const = 0;
  // Folds one scanned row into `value`. REQUIRES: `value` was initialized by this function.
  virtual void aggregate(aggregate_value& value, const row_values& row) const = 0;
  // Folds rows [first, first + count) of a run, whose argument values are those of `argument`
  // (unused without column): row first + i into *values[i], or every row into `value`.
  // REQUIRES: the accumulators were initialized by this function.
  virtual void aggregate_run(aggregate_value* const* values, const column_reader* argument,
                             uint32_t first, uint32_t count) const = 0;
  virtual void aggregate_run(aggregate_value& value, const column_reader* argument, uint32_t first,
                             uint32_t count) const = 0;

  int64_t position() const { return position_; }

 protected:
  const int64_t position_;
};

// The function of `code` over an argument of `type` at `position`. errors::error "Unsupported
// aggregate function column type: <type number>" when the function does not take the type,
// "Unsupported aggregate function" for an unknown code, "Bad aggregate call" for a function
// other than count without column (negative position).
std::unique_ptr<aggregate_function> make_aggregate_function(ombrel_aggregate_function code,
                                                            int64_t position, ombrel_type type);

}  // namespace ombrel
