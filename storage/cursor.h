#pragma once
// A scan turned into pages that the host reads in place: each page holds whole rows of the
// output schema, each a 4-byte native length followed by a binary tuple, back to back from
// offset 0 of a buffer the cursor owns. A row larger than the page replaces the buffer with one
// that fits; replaced buffers live as long as the cursor, because the host may still read them.
// Owns its iterator (which may hold a partition open). One host thread at a time; a cursor
// that failed keeps failing with the same error.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <vector>

#include "model/bitset.h"
#include "model/common.h"
#include "model/flat_tuple.h"
#include "model/schema_descriptor.h"
#include "model/tuple.h"
#include "storage/aggregate_functions.h"
#include "storage/make_schema.h"
#include "tree/abstract_table.h"
#include "tree/merge_tree_iterator.h"

namespace ombrel {

// A projected scan request: the columns whose bit is set, in table order.
struct ombrel_table_scan {
  bitset projection;
};

class cursor {
 public:
  static constexpr uint64_t PAGE_SIZE = 524288;
  static constexpr int PAGE_SIZE_ATTEMPTS = 11;  // halving down to 512 bytes
  static constexpr uint64_t MAX_RUN_ROWS = 4096;

  // Every column, with the table's schema as the output schema.
  cursor(abstract_table* table, tx_timestamp timestamp);
  cursor(abstract_table* table, tx_timestamp timestamp, const ombrel_table_scan& scan);
  // Grouped aggregates: one row per group in ascending key order, one column per call. A
  // refused request (see make_aggregate_function; "Invalid aggregate call column index." for a
  // column beyond the table's) fails before the scan is opened.
  cursor(abstract_table* table, tx_timestamp timestamp, const ombrel_aggregate& request);
  ~cursor();
  cursor(const cursor&) = delete;
  cursor& operator=(const cursor&) = delete;

  // True while rows remain; may take one row from the scan, which the next page starts with.
  bool has_next_page();
  // Refills the page; the number of rows in it. 0 with rows remaining means the buffer was
  // replaced by a larger one (take it with buffer()) for a row that did not fit.
  uint32_t fill_next_page();

  const schema_descriptor& output_schema() const { return output_schema_; }
  std::byte* buffer() const { return page_.get(); }
  uint64_t capacity() const { return capacity_; }

 private:
  // Builds the page layout of the output schema.
  void start();
  void alloc_buf();
  void realloc_buf(uint64_t size);
  // Takes room for a tuple of `length` bytes (after its 4-byte length, written here) and
  // returns where the tuple goes; null, and the page full, when it does not fit.
  std::byte* reserve(size_t length);
  // Places `row` in the page; false when it does not fit (the page is then closed).
  bool place(const row_values& row);
  // Places the rows of `run`; those that do not fit wait in pending_.
  void place_run(const row_run& run);
  template <typename F>
  auto guarded(F&& body);

  std::unique_ptr<abstract_iterator> iterator_;
  // The iterator again when it hands out runs of rows, else null.
  row_run_source* runs_ = nullptr;
  // Rows taken from the scan that the next page starts with (the rest of a run that did not
  // fit, or the row has_next_page took).
  std::deque<flat_tuple> pending_;
  row_values run_row_;
  // The columns of the run being placed.
  std::vector<column_values> run_columns_;
  uint64_t widest_row_ = 64;  // the longest row placed so far, with its length slot
  schema_descriptor output_schema_;
  tuple_schema page_schema_;
  std::unique_ptr<std::byte[]> page_;
  uint64_t capacity_ = 0;
  std::vector<std::unique_ptr<std::byte[]>> retired_pages_;
  std::optional<tuple_row_writer> writer_;
  // The page being filled: write position, room left after the next length slot, rows placed.
  std::byte* position_ = nullptr;
  uint64_t space_ = 0;
  uint32_t count_ = 0;
  bool full_ = false;
  std::exception_ptr failure_;
};

}  // namespace ombrel
