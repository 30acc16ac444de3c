#pragma once
// The schema of one table partition: columns in declaration order, the primary key and the
// material order (key columns first, in key order, then the others in declaration order).
// Owned by value by its holder; not thread-safe for writes.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "model/column_descriptor.h"
#include "model/common.h"
#include "model/tuple_schema.h"

namespace ombrel {

class schema_descriptor {
 public:
  uint32_t version = 0;
  std::vector<column_descriptor> columns;
  std::vector<uint32_t> key_positions;       // per column: key position or NO_COLUMN
  std::vector<uint32_t> key_columns;         // per key position: column number
  std::vector<uint32_t> material_positions;  // per column: material slot
  std::vector<uint32_t> material_order;      // per material slot: column number

  // The serialised form: version, column count, then per column type, key position, name
  // length, name, nullable, aux_b, aux_a, aux_c (little-endian, no padding).
  std::vector<std::byte> serialize() const;

  // Replaces this schema by the one serialised at `cursor`, advancing it. Input shorter than
  // the fields it announces, key positions outside the key and column names that cannot name a
  // file ("Invalid name of column <n> ...": empty, with '/' or a zero byte, "." or "..", or a
  // file name over 255 bytes) are refused with errors::error.
  void deserialize(const std::byte*& cursor, size_t length);
  void deserialize(const std::vector<std::byte>& bytes);

  // A column's name becomes the name of its file in every segment: it must be one plain name.
  // Throws errors::error "Invalid name of column <number> ..." for the names deserialize refuses.
  static void check_column_name(const column_descriptor& column, uint32_t number);

  // Sets the key and material positions from one key position (or NO_COLUMN) per column.
  // Throws errors::fatal_error "Column number mismatch" or "Gap in primary key definition".
  void initialize_positions(std::vector<uint32_t> positions);

  // Number of the first column named `name`, or NO_COLUMN.
  uint32_t get_column_index(std::string_view name) const;
  // Appends a non-key column at the end of the declaration and material orders.
  void add_column(column_descriptor column);
  // Removes a non-key column, renumbering the columns above it. Key columns: fatal_error.
  void drop_column(uint32_t column);

  size_t key_count() const { return key_columns.size(); }
  bool is_key_column(uint32_t column) const { return key_positions[column] != NO_COLUMN; }

  // Material layouts of full rows and of key tuples.
  material_tuple_schema get_material_schema() const;
  material_tuple_schema get_material_key_schema() const;
  // Binary-tuple layouts of full rows (declaration order) and of keys (key order).
  tuple_schema get_tuple_schema() const;
  tuple_schema get_key_tuple_schema() const;

  // Writes the serialised schema. An existing file is replaced durably through "<path>_tmp",
  // rename and a sync of the directory; a new file is written in place, unsynced, for its
  // creator to sync with the rest of the directory.
  void store_to_file(const std::filesystem::path& path) const;
  void load_from_file(const std::filesystem::path& path);

  friend bool operator==(const schema_descriptor&, const schema_descriptor&) = default;
};

std::shared_ptr<schema_descriptor> load_schema_from_file(const std::filesystem::path& path);

}  // namespace ombrel
