#pragma once
// Which columns a read needs and in which order it delivers them. The read list holds segment
// column indexes: the timestamp column, the key columns in key order, then each requested
// non-key column; the output list gives each requested column's place in the read list.
// Immutable after construction; shared by the layers of one read on any thread.

#include <cstdint>
#include <vector>

#include "model/bitset.h"
#include "model/schema_descriptor.h"
#include "model/search_result.h"

namespace ombrel {

class column_picker {
 public:
  struct no_output_t {};
  static constexpr no_output_t no_output{};

  // Every column in schema order.
  explicit column_picker(const schema_descriptor& schema);
  // Only the timestamp and key columns are read; nothing is delivered (existence checks).
  column_picker(const schema_descriptor& schema, no_output_t);
  // One column. REQUIRES: column below the schema's column count.
  column_picker(const schema_descriptor& schema, unsigned column);
  // The columns whose bit is set, in increasing number; bits beyond the schema are ignored.
  column_picker(const schema_descriptor& schema, const bitset& projection);
  // The given columns in the given order (a column may repeat).
  column_picker(const schema_descriptor& schema, std::vector<unsigned> requested);

  // Rebuilds the lists for `requested` (table column numbers in output order).
  void arrange_columns(const schema_descriptor& schema, std::vector<unsigned> requested);

  // Segment column indexes to load, timestamp and key columns first.
  const std::vector<unsigned>& columns() const { return columns_; }
  // Per requested column: its position in columns().
  const std::vector<unsigned>& output() const { return output_; }
  // Per requested column: its material slot (mem-table reads).
  const std::vector<unsigned>& positions() const { return positions_; }
  // Length of the prefix of columns() a key search needs: the keys plus the timestamp.
  uint32_t search_column_count() const { return search_column_count_; }

  // The requested table columns in output order.
  std::vector<unsigned> requested() const;
  // The same pick for mem-table reads.
  picked_columns picked() const;

 private:
  std::vector<unsigned> columns_;
  std::vector<unsigned> output_;
  std::vector<unsigned> positions_;
  uint32_t search_column_count_ = 0;
};

}  // namespace ombrel
