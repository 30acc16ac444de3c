#pragma once
// One column of a table schema. Plain values, copied freely.

#include <cstdint>
#include <string>

#include "model/ombrel_type_info.h"

namespace ombrel {

// Type number of the two built-in segment columns (timestamps and tombstones); it has no
// ombrel_type_info record.
inline constexpr ombrel_type INTERNAL_TYPE = static_cast<ombrel_type>(20);

// A column's attributes without its name: the argument of a column type change.
struct column_info {
  ombrel_type type = NONE;
  uint32_t size = 0;  // material size from ombrel_type_info; 0 for variable-length types
  bool nullable = false;
  bool internal = false;  // only the built-in segment columns
  // Attached by the host; stored and returned unchanged, never interpreted.
  uint16_t aux_a = 0;
  uint16_t aux_b = 0;
  uint32_t aux_c = 0;

  // A table column of `type`: its size from the type's record (throws for unknown types).
  static column_info of_type(ombrel_type type, bool nullable);

  friend bool operator==(const column_info&, const column_info&) = default;
};

struct column_descriptor : column_info {
  std::string name;

  column_descriptor() = default;
  column_descriptor(std::string column_name, const column_info& info)
      : column_info(info), name(std::move(column_name)) {}

  // The row versions' timestamps: "tx_ts", 8 bytes, not nullable, internal.
  static const column_descriptor TX_TS;
  // The removal flags: "tombstone", 1 byte (1 for a removal), not nullable, internal.
  static const column_descriptor TOMBSTONE;

  // The name of the column's file in a segment directory: "<name>.bin" for table columns,
  // "_<name>" for the built-in internal ones. Kept here so that schemas can refuse names whose
  // files could not be created.
  std::string file_name() const { return internal ? "_" + name : name + ".bin"; }

  friend bool operator==(const column_descriptor&, const column_descriptor&) = default;
};

}  // namespace ombrel
