#pragma once
// Writes one complete segment directory from rows that arrive sorted (key ascending, newest
// version first): "_schema", a column file per column, "_tx_ts", "_tombstone" once a removal
// arrives, and the sparse index "_index". It only appends; it never reorders or drops rows.
// close() makes the directory durable before anything may name it. One writer thread.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "model/schema_descriptor.h"
#include "model/sorted_rows.h"
#include "model/tuple_schema.h"
#include "segment/column_creator.h"
#include "segment/primary_index_creator.h"

namespace ombrel {

struct column_reader_pack;

class segment_creator {
 public:
  // What writing a segment cost.
  struct creation_stats {
    uint64_t rows = 0;
    std::chrono::nanoseconds sync_time{0};  // spent syncing files and the directory
  };

  // Creates `directory` with empty column files and "_schema". `schema` and `material_schema`
  // must outlive the creator. Throws errors::error "segment directory already exists: " +
  // path, touching nothing, when the directory exists.
  segment_creator(const std::filesystem::path& directory, const schema_descriptor& schema,
                  const material_tuple_schema& material_schema);
  // Closes when close() was not called; a failure is logged, not thrown.
  ~segment_creator();
  segment_creator(const segment_creator&) = delete;
  segment_creator& operator=(const segment_creator&) = delete;

  // Appends one row. REQUIRES: rows in segment order.
  void add_entry(const versioned_row& entry);
  // Appends row `row` of a segment loaded in `pack` (one reader per column of that segment in
  // its column order, plus its tombstone reader when it has one); its columns must be this
  // creator's. REQUIRES: rows in segment order.
  void add_tuple(const column_reader_pack& pack, unsigned row);
  // Appends one row given as its values in this creator's column order (schema columns, then
  // the 8-byte timestamp), no value meaning null, and whether it is a removal. Throws
  // errors::fatal_error when `values` holds another number of columns, errors::error when a
  // sampled key value is null. REQUIRES: rows in segment order.
  void add_row(std::span<const std::optional<bytes_view>> values, bool removal);
  // (Re)creates the tombstone column with a 0 for every row added so far.
  void make_tombstones_creator();

  // Finishes every column file, writes "_index", then syncs every file written and the
  // directory. Throws errors::error "Double close" when called again, and the I/O and column
  // errors (errors::system_error when a sync fails).
  void close();

  uint64_t row_count() const { return row_count_; }
  const creation_stats& stats() const { return stats_; }

  // Writes a whole segment from `rows` and closes it. An error leaves the partly written
  // directory on disk.
  static creation_stats create_from_rows(const std::filesystem::path& directory,
                                         const schema_descriptor& schema,
                                         const material_tuple_schema& material_schema,
                                         const sorted_rows& rows);

 private:
  void add_index_sample(const column_reader_pack& pack, unsigned row);
  void append_last_key();
  void sync_all();

  const schema_descriptor& schema_;
  const material_tuple_schema& material_schema_;
  uint64_t row_count_ = 0;
  std::vector<column_creator> column_creators_;
  std::optional<column_creator> tombstone_creator_;
  primary_index_creator index_creator_;
  std::filesystem::path directory_;
  bool closed_ = false;
  uint64_t granularity_;
  creation_stats stats_;
};

}  // namespace ombrel
