#pragma once
// One immutable, sorted run of row versions of a partition, stored as a directory of column
// files with a sparse key index. Opened from its directory or written from a mem-table, then
// shared through std::shared_ptr by tree states, merges and iterators, and read by any number
// of threads without locking (column layouts are filled once, lazily). It answers a flushed
// row set's reads, so it is the row set's fallback. Only the remove-on-destroy flag changes
// after construction; when set, the destructor deletes the directory.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "model/common.h"
#include "model/flushed_rows.h"
#include "model/schema_descriptor.h"
#include "model/sorted_rows.h"
#include "model/tuple.h"
#include "segment/column_file.h"
#include "segment/column_picker.h"
#include "segment/column_reader.h"
#include "segment/primary_index.h"
#include "segment/segment_cache.h"

namespace ombrel {

class segment;
namespace detail {
class block_rows;
}

// Loaded readers of some column files of one segment, and of its tombstone column.
struct column_reader_pack {
  std::vector<column_reader> readers;
  std::optional<column_reader> tombstones;

  // Segment order, for copies: readers for the first `count` column files in the segment's
  // column order (schema columns, then the timestamp column), each loaded, and the tombstone
  // reader when there is one.
  void prepare(const segment& s, unsigned count);
  // Picker order, for searches and scans: readers for the first `count` entries of the
  // picker's read list, each loaded, and the tombstone reader when there is one.
  void prepare_in_picker_order(const segment& s, const column_picker& picker, unsigned count);
};

class segment : public flushed_rows, public std::enable_shared_from_this<segment> {
 public:
  static constexpr std::string_view SCHEMA_FILENAME = "_schema";

  // Where the visible version of a key lies: not in the segment, only newer versions, (not
  // produced) a tombstone, or its row number.
  using position_result = std::variant<std::monostate, upcoming_t, tombstone_t, uint64_t>;

  // Opens an existing segment directory, refusing files that disagree: errors::error
  // "Segment files disagree: " + path + ... when a column or tombstone file holds another row
  // count than "_tx_ts", "Index is corrupted: " + path + ": " + what is wrong when the index
  // entries cannot sample the rows (their count, the first and last keys, an interior key at
  // every granularity the count allows); also the errors of the schema file, of the column
  // trailers, of the index and of the key blocks read for the checks.
  explicit segment(const std::filesystem::path& directory);
  // Writes a new segment directory from `rows` (synced before this returns) and opens it.
  // Throws errors::error "segment directory already exists: " + path when it exists.
  segment(std::filesystem::path directory, schema_descriptor schema, const sorted_rows& rows);
  ~segment() override;
  segment(const segment&) = delete;
  segment& operator=(const segment&) = delete;

  // One column file per schema column in schema order, then the timestamp column.
  static std::vector<column_file> make_columns(const std::filesystem::path& directory,
                                               const schema_descriptor& schema);
  // Writes the whole directory from `rows` first.
  static std::vector<column_file> make_columns(const std::filesystem::path& directory,
                                               const schema_descriptor& schema,
                                               const material_tuple_schema& material_schema,
                                               const sorted_rows& rows);

  // ---- Column changes. Each writes a complete new segment into `directory` (which must not
  // exist), synced like a flushed one, and returns it opened; this segment is not changed.
  // Files the change leaves alone are hard-linked. On failure the new directory is removed.

  // Appends `column`: null in every row when nullable, else default_value() of its type.
  std::shared_ptr<segment> add_column(const column_descriptor& column,
                                      const std::filesystem::path& directory) const;
  // Throws errors::error "Cannot drop a key column" before writing anything.
  std::shared_ptr<segment> drop_column(unsigned column,
                                       const std::filesystem::path& directory) const;
  std::shared_ptr<segment> rename_column(unsigned column, const std::string& name,
                                         const std::filesystem::path& directory) const;
  // The column's type, size and nullability from `info`, its values converted by
  // value_converter. Throws errors::error "Cannot modify a key column" before writing anything.
  std::shared_ptr<segment> modify_column(unsigned column, const column_info& info,
                                         const std::filesystem::path& directory) const;

  // Picks up "_tombstone" when it exists, checking its trailer and header table and that it
  // holds size() rows.
  void initialize_tombstones();
  // Copies every file of the directory into `target` (created when missing).
  void save_to_directory(const std::filesystem::path& target) const;

  const schema_descriptor& schema() const { return schema_; }
  const material_tuple_schema& material_schema() const { return material_schema_; }
  const std::filesystem::path& directory() const { return directory_; }
  const std::vector<column_file>& columns() const { return columns_; }
  const primary_index& index() const { return index_; }
  uint32_t size() const { return size_; }
  const std::optional<column_file>& tombstones() const { return tombstones_; }
  // Marks the directory for deletion when the last reference goes (a merge replaced it).
  void set_remove_on_destroy(bool remove = true) { remove_on_destroy_.store(remove); }
  // The same, keeping `until_removed` alive until the directory is gone: an owner that waits
  // for its last copy to go knows that no thread touches the directory any more.
  void set_remove_on_destroy(std::shared_ptr<const void> until_removed);
  bool remove_on_destroy() const { return remove_on_destroy_.load(); }

  // ---- Searches. Keys are key tuples in material form (variable-length slots with their
  // 32-bit length). Column and index errors propagate; "Unimplemented for these types" for
  // a key type without an order.

  // The first row whose key is not less than `key` / greater than `key`.
  uint64_t lower_bound(const material_tuple& key) const;
  uint64_t upper_bound(const material_tuple& key) const;
  // The visible version of `key` at `timestamp` within granules [low, high); `pack` holds the
  // loaded timestamp reader at 0 and the key readers in key order at 1..k.
  position_result search_position(tx_timestamp timestamp, const material_tuple& key,
                                  column_reader_pack& pack, uint64_t low, uint64_t high) const;
  // The same over the granules the index selects.
  position_result position(tx_timestamp timestamp, const material_tuple& key,
                           column_reader_pack& pack) const;
  // The visible version of `key` at `timestamp` with the picker's requested columns.
  search_result search(tx_timestamp timestamp, const material_tuple& key,
                       const column_picker& picker) const;

  // ---- The fallback of a flushed row set: picked columns are table column numbers.
  search_result search(tx_timestamp timestamp, const material_tuple& key,
                       const picked_columns& picker) const override;
  // The same without a copy: hands the visible row's picked values to `f` (views valid during
  // the call).
  search_outcome search(tx_timestamp timestamp, const material_tuple& key,
                        const picked_columns& picker,
                        const std::function<void(const row_values&)>& f) const;
  std::unique_ptr<row_cursor> first() const override;
  std::unique_ptr<row_cursor> position(tx_timestamp timestamp, const material_tuple& key,
                                       const picked_columns& picker) const override;

  // ---- Block access for this layer's readers. Column slots: the index in columns(), and
  // tombstone_slot() for the tombstone column.
  uint32_t timestamp_slot() const { return static_cast<uint32_t>(schema_.columns.size()); }
  uint32_t tombstone_slot() const { return timestamp_slot() + 1; }
  // The slot's column layout, read at first use. REQUIRES: a slot of an existing column.
  const column_layout& layout(uint32_t slot) const;
  // The block holding `row`, decoded whole and not cached (point reads go through row groups).
  segment_cache::block_ptr value_block(uint32_t slot, uint64_t row) const;
  // The slot's whole null map (cached), or null when the column has none.
  segment_cache::block_ptr null_map(uint32_t slot) const;
  // The cached group of rows holding `row` (one cache lookup; reads nothing).
  std::shared_ptr<const row_group> row_group_of(uint64_t row) const;
  // The slot's block holding `row` in point form, kept in `group` (which holds `row`).
  const decoded_block& group_block(const row_group& group, uint32_t slot, uint64_t row) const;
  // The slot's null map over the rows of `group`, kept in it; null when the column has none.
  const decoded_block* group_nulls(const row_group& group, uint32_t slot) const;
  // Identity of this segment object in the cache.
  uint64_t cache_id() const { return cache_id_; }

 private:
  struct row_range {
    uint64_t begin = 0;
    uint64_t end = 0;
  };
  // The rows of granules [low, high), clipped to the segment.
  row_range rows_of(uint64_t low, uint64_t high) const;
  // Refuses a file whose row count is not size_.
  void check_rows(const column_file& file, uint32_t rows) const;
  // Checks the index against the key columns and gives it the granularity its entries were
  // sampled with, which a restart under another configured one does not change. Reads only
  // the key blocks of the rows it compares.
  void fit_index();
  // Search with `requested` table columns in output order.
  search_result search_columns(tx_timestamp timestamp, const material_tuple& key,
                               const std::vector<unsigned>& requested) const;
  // The same, handing the row to `f`.
  search_outcome visit_columns(tx_timestamp timestamp, const material_tuple& key,
                               const std::vector<unsigned>& requested,
                               const std::function<void(const row_values&)>& f) const;
  // The row of the visible version read through `rows`, or why there is none.
  position_result find_row(tx_timestamp timestamp, const material_tuple& key,
                           detail::block_rows& rows) const;
  std::shared_ptr<const segment> keep_alive() const;

  schema_descriptor schema_;
  material_tuple_schema material_schema_;
  std::filesystem::path directory_;
  std::vector<column_file> columns_;
  primary_index index_;
  uint32_t size_ = 0;
  std::optional<column_file> tombstones_;
  std::atomic<bool> remove_on_destroy_{false};
  std::shared_ptr<const void> until_removed_;
  std::mutex until_removed_mutex_;

  // Taken at construction, so that the process-wide cache outlives even a static segment.
  segment_cache& cache_;
  uint64_t cache_id_;
  // Rows per row group: the block size the columns were most likely written with, so that a
  // group holds one block of each column.
  uint32_t group_rows_;
  // Per slot (columns, then the tombstone column): filled once under its flag.
  std::unique_ptr<std::once_flag[]> layout_once_;
  mutable std::vector<std::unique_ptr<const column_layout>> layouts_;
};

}  // namespace ombrel
