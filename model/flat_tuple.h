#pragma once
// Rows handed between layers: a vector of optional byte views in material form (empty optional
// for null; variable-length values as their payload bytes), and flat_tuple, an owning copy of
// one such row.

#include <cstddef>
#include <optional>
#include <vector>

#include "model/common.h"

namespace ombrel {

using row_values = std::vector<std::optional<bytes_view>>;

class flat_tuple {
 public:
  flat_tuple() = default;
  flat_tuple(const flat_tuple& other) { *this = other; }
  flat_tuple& operator=(const flat_tuple& other);
  flat_tuple(flat_tuple&&) noexcept = default;
  flat_tuple& operator=(flat_tuple&&) noexcept = default;

  // An owning copy of `row`.
  static flat_tuple copy(const row_values& row);

  // No row at all (as opposed to a row of nulls).
  bool empty() const { return values_.empty(); }
  size_t size() const { return values_.size(); }
  const std::optional<bytes_view>& operator[](size_t i) const { return values_[i]; }
  const row_values& values() const { return values_; }

 private:
  row_values values_;
  std::vector<std::byte> storage_;
};

}  // namespace ombrel
