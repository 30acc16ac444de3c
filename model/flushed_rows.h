#pragma once
// The rows of a flushed mem-table as written out, in the mem-table's order (key ascending,
// newest version first): what answers for a row set once its flush is done.

#include <memory>

#include "model/common.h"
#include "model/flat_tuple.h"
#include "model/search_result.h"
#include "model/tuple.h"

namespace ombrel {

// An ordered walk over flushed rows, resting on one row. One thread at a time.
class row_cursor {
 public:
  virtual ~row_cursor() = default;
  // Moves to the next row; false when there is none (the cursor is then spent).
  virtual bool next() = 0;
  virtual tx_timestamp timestamp() const = 0;
  virtual bool is_tombstone() const = 0;
  // The key columns in key order (variable-length values as payloads).
  virtual void read_key(row_values& out) const = 0;
  // The picked columns of the current row; the views stay valid until the cursor moves.
  virtual void read(const picked_columns& picker, row_values& out) = 0;
};

// Immutable; any thread.
class flushed_rows {
 public:
  virtual ~flushed_rows() = default;
  // The newest version of `key` (key slots in material form) not newer than `timestamp`, with
  // the picked columns; upcoming_t when only newer versions exist.
  virtual search_result search(tx_timestamp timestamp, const material_tuple& key,
                               const picked_columns& picker) const = 0;
  // A cursor on the first row, or null when there is none.
  virtual std::unique_ptr<row_cursor> first() const = 0;
  // A cursor on the first row of `key` whose timestamp is at most `timestamp`, prepared to
  // read `picker`'s columns; null when there is none.
  virtual std::unique_ptr<row_cursor> position(tx_timestamp timestamp, const material_tuple& key,
                                               const picked_columns& picker) const = 0;
};

}  // namespace ombrel
