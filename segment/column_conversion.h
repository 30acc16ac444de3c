#pragma once
// What a column's stored values become when its type or nullability changes: the default that
// stands in for a missing value, and the conversion of one present value. Used by the segment
// rewrites of a column change; a converter belongs to one writer thread.

#include <cstddef>
#include <optional>
#include <vector>

#include "model/column_descriptor.h"
#include "model/common.h"

namespace ombrel {

// The value of a non-nullable column of `info` where it holds none: `size` zero bytes, the
// canonical zero of DECIMAL (scale 0) and NUMBER as binary tuples encode them, empty for the
// other variable-length types.
std::vector<std::byte> default_value(const column_info& info);

class value_converter {
 public:
  // From the values of column `from` to those of column `to`.
  value_converter(const column_info& from, const column_info& to);

  // The value to store for `value` (absent for null). Same type: present values unchanged,
  // nulls kept or, when `to` is not nullable, the default. Another type: nulls likewise,
  // integers to FLOAT/DOUBLE converted, DOUBLE to FLOAT rounded, FLOAT to DOUBLE widened,
  // other fixed-size pairs byte-copied from the start into a zero-filled value of the new
  // size (no sign extension). Throws errors::error "Unimplemented type conversion to float",
  // "... to double" or "Unimplemented type conversion" for a present value of another pair.
  // The result is valid until the next call.
  std::optional<bytes_view> convert(const std::optional<bytes_view>& value);

 private:
  bytes_view store(const void* data, size_t size);

  column_info from_;
  column_info to_;
  std::vector<std::byte> default_;
  std::vector<std::byte> buffer_;
};

}  // namespace ombrel
