#pragma once
// A plain view of one decoded column, as segments hold it and page writers read it.

#include <cstddef>
#include <cstdint>

#include "model/bitset.h"
#include "model/common.h"

namespace ombrel {

// One column of a run of rows in material form, laid out as a decoded segment column: fixed-size
// values at data + row * fixed_size, or variable-length ones in [ends[row - 1] (0 for row 0),
// ends[row]) of data. A set bit of `nulls` (when given and long enough) marks a null.
struct column_values {
  const std::byte* data = nullptr;
  const uint64_t* ends = nullptr;
  uint32_t fixed_size = 0;
  const bitset* nulls = nullptr;

  bool is_null(uint32_t row) const noexcept {
    return nulls != nullptr && row < nulls->size() && (*nulls)[row];
  }
  bytes_view value(uint32_t row) const noexcept {
    return fixed_size != 0 ? value_of<true>(row) : value_of<false>(row);
  }
  // value() for a column known to be fixed-size (or variable-length) where the caller loops.
  template <bool Fixed>
  bytes_view value_of(uint32_t row) const noexcept {
    if constexpr (Fixed) {
      return {fixed_size, data + static_cast<size_t>(row) * fixed_size};
    } else {
      const uint64_t start = row == 0 ? 0 : ends[row - 1];
      return {ends[row] - start, data + start};
    }
  }
};

}  // namespace ombrel
