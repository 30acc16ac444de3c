#pragma once
// The scan interface between the registry, the merge tree and the cursors: anything a cursor can
// scan is an abstract_table; a scan is an abstract_iterator that hands out one row per call.

#include <functional>
#include <memory>
#include <string>

#include "model/bitset.h"
#include "model/common.h"
#include "model/flat_tuple.h"
#include "model/schema_descriptor.h"

namespace ombrel {

class abstract_iterator {
 public:
  using row_callback = std::function<void(const row_values&)>;

  virtual ~abstract_iterator() = default;

  // Delivers at most one row (values in output column order, material form) to `callback` and
  // returns true, or returns false when the source is exhausted. Views are valid only during
  // the call.
  virtual bool get_next(const row_callback& callback) = 0;
  // The table schema the rows were cut from, fixed when the scan began; null when it is the
  // table's get_schema() for good.
  virtual const schema_descriptor* schema() const { return nullptr; }
};

class abstract_table {
 public:
  explicit abstract_table(std::string table_name = {}) : name(std::move(table_name)) {}
  virtual ~abstract_table() = default;

  virtual const schema_descriptor& get_schema() const = 0;
  // A scan of the rows visible at `timestamp` with the projected columns; null when there is
  // nothing to scan.
  virtual std::unique_ptr<abstract_iterator> get_projection_pipeline(tx_timestamp timestamp,
                                                                     const bitset& projection) = 0;
  // The same with every column. Tables whose schema may change pick the columns when the scan
  // begins (see abstract_iterator::schema()).
  virtual std::unique_ptr<abstract_iterator> get_full_pipeline(tx_timestamp timestamp) {
    return get_projection_pipeline(timestamp, bitset(get_schema().columns.size(), true));
  }

  std::string name;
};

}  // namespace ombrel
