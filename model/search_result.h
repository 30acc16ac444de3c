#pragma once
// What a point read asks for and what it gets back, shared by mem-tables and segments: the
// picked columns and the four-way search result. Plain values.

#include <cstdint>
#include <variant>
#include <vector>

#include "model/flat_tuple.h"
#include "model/schema_descriptor.h"

namespace ombrel {

// The key occurs, but no version at or below the read timestamp was found in this structure.
struct upcoming_t {};
// The visible version is a removal.
struct tombstone_t {};

// In this order: the key does not occur; upcoming_t; tombstone_t; the visible row with the
// picked columns.
using search_result = std::variant<std::monostate, upcoming_t, tombstone_t, flat_tuple>;

// Which of those a search met, numbered as their alternatives: searches that hand the visible
// row to a callback instead of copying it return this (the callback ran only for `found`).
enum class search_outcome : uint8_t { absent, upcoming, tombstone, found };

inline search_outcome outcome_of(const search_result& result) {
  return static_cast<search_outcome>(result.index());
}

// The columns a read delivers, in output order: the table column number and the material slot
// of each.
struct picked_columns {
  std::vector<uint32_t> columns;
  std::vector<uint32_t> slots;

  // Every column in schema order.
  static picked_columns all(const schema_descriptor& schema) {
    std::vector<uint32_t> columns(schema.columns.size());
    for (uint32_t c = 0; c < columns.size(); ++c) columns[c] = c;
    return of(schema, std::move(columns));
  }
  // The given columns in the given order. REQUIRES: each below the column count.
  static picked_columns of(const schema_descriptor& schema, std::vector<uint32_t> columns) {
    picked_columns p;
    p.slots.reserve(columns.size());
    for (uint32_t c : columns) p.slots.push_back(schema.material_positions[c]);
    p.columns = std::move(columns);
    return p;
  }
  size_t size() const { return columns.size(); }
};

}  // namespace ombrel
