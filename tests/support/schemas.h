#pragma once
// Schemas for tests: columns by name and type, and each column's place in the primary key.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "model/schema_descriptor.h"

namespace ombrel::testing {

inline column_descriptor column(std::string name, ombrel_type type, bool nullable = false) {
  return column_descriptor(std::move(name), column_info::of_type(type, nullable));
}

// `key_positions` gives each column's position in the key, NO_COLUMN for the others.
inline schema_descriptor make_schema(std::vector<column_descriptor> columns,
                                     std::vector<uint32_t> key_positions, uint32_t version = 0) {
  schema_descriptor s;
  s.version = version;
  s.columns = std::move(columns);
  s.initialize_positions(std::move(key_positions));
  return s;
}

}  // namespace ombrel::testing
