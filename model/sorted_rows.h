#pragma once
// Row versions in segment order (key ascending, newest version first): what a mem-table hands
// to the segment writer, without the writer knowing where the rows live.

#include <cstddef>
#include <cstdint>

#include "model/common.h"
#include "model/tuple.h"

namespace ombrel {

// One version of a row in material form. A removal carries only the key slots.
struct versioned_row {
  tx_timestamp timestamp = 0;
  material_tuple tuple;
  bool tombstone = false;
};

class sorted_rows {
 public:
  // Receives the rows one by one.
  class sink {
   public:
    virtual void add(const versioned_row& row) = 0;

   protected:
    ~sink() = default;
  };

  virtual ~sorted_rows() = default;
  virtual uint64_t row_count() const = 0;
  // Per table column, the payload bytes of its present length-prefixed values (for sizing
  // buffers up front); 0 for columns past the end.
  virtual uint64_t varlen_bytes(size_t column) const = 0;
  // Hands every row to `out`, in order; the views stay valid for the call.
  virtual void write_to(sink& out) const = 0;
};

}  // namespace ombrel
