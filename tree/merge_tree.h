#pragma once
// The rows of one table partition: a log-structured tree whose newest rows live in mem-tables
// (row sets) and whose older rows live in levels of immutable segments on disk. Snapshots
// (tree_state) are published copy-on-write: readers take one; structural writers (flush,
// merge, compaction, schema change) hold the blocked flag while they build the next one, and
// commit every step to a layout file before it may be published.
//
// Locks, outermost first: tree_lock_ (shared by row operations and scans, exclusive for
// column changes and the removal of a dropped tree), insert_mutex_ (serialises upsert and remove),
// state_mutex_ (only to copy or swap the snapshot and the blocked flag). watermark_mutex_ is a
// leaf. Thread-safe.

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "memtable/row_set.h"
#include "model/bitset.h"
#include "model/common.h"
#include "model/schema_descriptor.h"
#include "model/tuple_schema.h"
#include "segment/seqno_helper.h"
#include "tree/tree_state.h"

namespace ombrel {

class merge_tree;
class merge_tree_iterator;

// Holding one means holding the tree's blocked flag. A writer stores each snapshot it has
// committed; destruction publishes the last one (with the tree's current mem-tables, less the
// row sets this update flushed) and clears the flag. Move-only.
class merge_tree_updater : public row_set::tree_block {
 public:
  merge_tree_updater() = default;
  explicit merge_tree_updater(merge_tree* tree) : tree_(tree) {}
  merge_tree_updater(merge_tree_updater&& other) noexcept;
  merge_tree_updater& operator=(merge_tree_updater&& other) noexcept;
  ~merge_tree_updater() override;

  const std::shared_ptr<tree_state>& state() const { return state_; }
  void set_state(std::shared_ptr<tree_state> state) { state_ = std::move(state); }
  merge_tree* tree() const { return tree_; }

  // `rows` was written out by this update: the published list no longer holds it.
  void erase(const row_set* rows) { erased_.push_back(rows); }
  // These segments were replaced: each deletes its directory once nothing holds it after the
  // published state stops listing it.
  void retire(const std::vector<std::shared_ptr<segment>>& replaced) {
    retired_.insert(retired_.end(), replaced.begin(), replaced.end());
  }
  const std::vector<const row_set*>& erased() const { return erased_; }
  const std::vector<std::shared_ptr<segment>>& retired() const { return retired_; }

 private:
  void release();

  merge_tree* tree_ = nullptr;
  std::shared_ptr<tree_state> state_;
  std::vector<const row_set*> erased_;
  std::vector<std::shared_ptr<segment>> retired_;
};

class merge_tree final : public row_set::owner {
 public:
  static constexpr const char* SCHEMA_FILENAME = "schema";
  static constexpr const char* DROPPED_FILENAME = "dropped";
  static constexpr const char* LAYOUT_FILENAME_PREFIX = "_layout_";
  // Where a layout is written before it is renamed into place; never a layout name.
  static constexpr const char* LAYOUT_TEMP_FILENAME = "_layout.tmp";

  class merge_helper;

  // Refuses nullable key columns ("Nullable column in key segment") and repeated column names
  // ("Can't create merge-tree with given schema.").
  static void check_schema(const schema_descriptor& schema);
  // Creates a tree in `directory`; check_schema() first.
  merge_tree(const schema_descriptor& schema, const std::filesystem::path& directory);
  // Opens the tree in `directory` from its newest layout file; a tree marked dropped opens
  // empty without reading its schema. A newest layout that cannot be loaded refuses the open
  // (nothing on disk is touched then).
  explicit merge_tree(const std::filesystem::path& directory);
  // Flushes every unflushed mem-table, oldest first; a failure is logged, never thrown.
  ~merge_tree() override;
  merge_tree(const merge_tree&) = delete;
  merge_tree& operator=(const merge_tree&) = delete;

  std::shared_ptr<tree_state> get_state() const;
  std::shared_ptr<tree_state> get_state(const merge_tree_updater& updater) const;
  // Waits for the blocked flag and takes it.
  merge_tree_updater block_tree_wait();
  // Clears the blocked flag, publishing the updater's snapshot if it has one.
  void unblock_tree(const merge_tree_updater& updater);

  void upsert(tx_timestamp timestamp, const uuid& tx, bytes_view row);
  // True when a live row was found and a removal written.
  bool remove(tx_timestamp timestamp, const uuid& tx, bytes_view key);

  // Upserts and removals of one batch, each with the effect of upsert() and remove(), under
  // one hold of the tree lock (shared) and the insert mutex, and with the mem-table's writer
  // state kept from one row to the next: a row costs no lock of its own, and readers see the
  // rows a batch put into one mem-table together. Lives on the caller's stack; the tree must
  // outlive it.
  class batch_writer {
   public:
    explicit batch_writer(merge_tree& tree);
    batch_writer(const batch_writer&) = delete;
    batch_writer& operator=(const batch_writer&) = delete;

    void upsert(tx_timestamp timestamp, const uuid& tx, bytes_view row);
    bool remove(tx_timestamp timestamp, const uuid& tx, bytes_view key);

   private:
    merge_tree& tree_;
    std::shared_lock<std::shared_mutex> tree_lock_;
    std::scoped_lock<std::mutex> insert_lock_;
    // Declared last: the writer state goes before the locks.
    row_set::memtable_updater updater_;
  };
  // The row visible at `timestamp` as a binary tuple; empty when there is none.
  std::vector<std::byte> read(tx_timestamp timestamp, bytes_view key);
  // One column of the latest version; empty for a null value or a missing row.
  std::optional<std::vector<std::byte>> read(bytes_view key, unsigned column);
  // A scan as of `timestamp` of the projected columns (of every column when `projection` is
  // null). The schema and the snapshot are taken together under the tree lock, so a column
  // change never pairs the scan's schema with rows of another shape. The read-ahead is waited
  // for by the scan's first step, outside the lock.
  std::unique_ptr<merge_tree_iterator> get_iterator(tx_timestamp timestamp,
                                                    const bitset* projection);

  // A writer handle of the newest mem-table with room for a row of material size `size`.
  row_set::memtable_updater ensure_memtable_for_insert(size_t size);

  // Flushes the mem-tables, then merges every level into the deepest one and rewrites what
  // holds versions no read at or above the low watermark reaches. Returns the deepest level.
  std::vector<std::shared_ptr<segment>> make_full_compaction();
  // Rows a level holds before it gives rows to the next: MERGE_TREE_FIRST_LEVEL_SIZE x
  // MERGE_TREE_FANOUT^level, both read once per process.
  static uint64_t get_max_size(unsigned level);

  // "_layout_" followed by `n` in the tree's directory.
  std::filesystem::path make_layout_name(uint64_t n) const;
  // The number of a layout file name: "_layout_" followed by decimal digits fitting 64 bits.
  static std::optional<uint64_t> parse_layout_file_name(const std::filesystem::path& path);
  static bool is_layout_file(const std::filesystem::path& path) {
    return parse_layout_file_name(path).has_value();
  }

  // ---- Column changes. Each takes the tree lock exclusively, flushes every mem-table, writes
  // every segment anew (segment::add_column and its kin) and commits the layout naming them;
  // only then are "schema" and the in-memory schema replaced. A failure before the commit
  // changes nothing; after it, the change stands (a recovery adopts the segments' schema).
  // A dropped tree logs a WARNING and changes nothing. Errors::error "Column <name> already
  // exists", "Column <name> not found", "Cannot drop a key column", "Cannot modify a key
  // column", "A column cannot have type NONE", "Invalid name of column ...", and the
  // conversion errors of value_converter.
  void add_column(const column_descriptor& column);
  void drop_column(const std::string& name);
  // Renaming a column to its own name does nothing and takes no lock.
  void rename_column(const std::string& old_name, const std::string& new_name);
  // Keeps the name (and the host's attributes); does nothing when the type and the
  // nullability are those of the column already.
  void modify_column(const std::string& name, const column_info& info);

  bool mark_as_dropped();
  void remove_dropped();
  bool is_dropped() const { return dropped_.load(); }

  void set_low_watermark(tx_timestamp timestamp);
  tx_timestamp get_low_watermark() const;
  row_tag get_last_persisted_row_tag() const;

  // Safe without the tree lock: every schema the tree has had lives as long as the tree.
  const schema_descriptor& get_schema() const {
    const schema_descriptor* published = published_schema_.load();
    return published != nullptr ? *published : schema_;
  }
  const tuple_schema& get_key_schema() const { return key_tuple_schema_; }
  const material_tuple_schema& get_key_material_schema() const { return key_material_schema_; }
  const material_tuple_schema& get_row_material_schema() const { return row_material_schema_; }
  const std::filesystem::path& directory() const { return directory_; }

  // ---- row_set::owner ----
  const schema_descriptor& schema() const override { return schema_; }
  const material_tuple_schema& row_material_schema() const override { return row_material_schema_; }
  const material_tuple_schema& key_material_schema() const override { return key_material_schema_; }
  std::unique_ptr<row_set::tree_block> block_tree() override;
  // Writes `rows` (after any older unflushed row set) to a new segment, merges it into level 0,
  // commits, and compacts the levels. The state goes into the updater `block`.
  std::shared_ptr<flushed_rows> write_memtable(row_set::tree_block& block, const row_set& rows,
                                               const mem_table& table) override;
  void evict_memtable(std::shared_ptr<row_set> rows) override;
  void eviction_started() override;
  void eviction_finished() override;
  void submit(std::function<void()> task) override;

 private:
  // Rebuilds the row and key layouts and the pickers from schema_, and publishes a copy of it
  // for get_schema().
  void build_schema_caches();
  void publish_empty_state();
  // Flushes every unflushed row set, oldest first, and returns the still-held updater.
  merge_tree_updater flush_memtable_internal();
  // Flushes the unflushed row sets of the published state oldest first, up to and including
  // `through` (all of them when null).
  void flush_pending(merge_tree_updater& updater, const row_set* through);
  // Drops every mem-table without writing it.
  void discard_memtables();

  // ---- Column changes. REQUIRES: the tree lock held exclusively.
  using segment_rewrite = std::function<std::shared_ptr<segment>(
      const segment& s, const std::filesystem::path& directory)>;
  // Logs and answers true for a dropped tree.
  bool refuse_dropped() const;
  // The common frame: `next` is the schema after the change, `rewrite` writes one segment anew.
  void change_columns(const schema_descriptor& next, const segment_rewrite& rewrite);
  void set_schema(const schema_descriptor& schema);
  // When every segment of `state` carries one schema other than schema_, a change was cut
  // short after its commit: that schema replaces "schema" and schema_. Segments of different
  // schemas refuse the open. REQUIRES: the blocked flag held.
  void adopt_segment_schema(const tree_state& state);

  // ---- Layouts and recovery. REQUIRES: the blocked flag held (an updater).
  // Rebuilds the state from the newest layout file and compacts it; refuses (throws) when
  // that layout cannot be loaded.
  void recover();
  std::shared_ptr<tree_state> load_tree(const std::filesystem::path& layout, uint64_t number);
  // Writes the layout for `state` durably under a fresh number and records it in `updater`;
  // `removed` segments are retired, `created` ones are deleted if nothing names them.
  void commit(merge_tree_updater& updater, const std::shared_ptr<tree_state>& state,
              const std::vector<std::shared_ptr<segment>>& removed = {},
              const std::vector<std::shared_ptr<segment>>& created = {});
  // Deletes every layout file but the committed one.
  void remove_excessive_layouts();
  // Marks `segments` for deletion when their last reference goes.
  void remove_when_unused(const std::vector<std::shared_ptr<segment>>& segments);
  // merge.merge() with new segment names from the tree; what a failed merge wrote goes.
  void merge_into(merge_helper& merge, tx_timestamp low_watermark);
  // Deletes segment directories that `state` does not name.
  void remove_unused_segments(const std::shared_ptr<tree_state>& state);
  // Restores the level capacities, committing after every merge; `state` follows the commits.
  void compact_levels(merge_tree_updater& updater, std::shared_ptr<tree_state>& state,
                      tx_timestamp low_watermark);
  // The bodies of upsert and remove. REQUIRES: the tree lock (shared) and the insert mutex
  // held. `updater` is the writer handle the caller keeps between rows (possibly empty); it is
  // replaced when its mem-table has no room or is to be flushed, and left empty by a removal.
  void upsert_held(tx_timestamp timestamp, const uuid& tx, bytes_view row,
                   row_set::memtable_updater& updater);
  bool remove_held(tx_timestamp timestamp, const uuid& tx, bytes_view key,
                   row_set::memtable_updater& updater);
  std::vector<std::byte> read_internal(std::shared_lock<std::shared_mutex> lock,
                                       tx_timestamp timestamp, bytes_view key,
                                       const std::shared_ptr<tree_state>& state) const;

  std::shared_ptr<tree_state> state_ = std::make_shared<tree_state>();
  bool blocked_ = false;
  mutable std::mutex state_mutex_;
  std::condition_variable unblocked_;
  schema_descriptor schema_;
  // Parsing layouts, built once with the tree.
  tuple_schema key_tuple_schema_;
  material_tuple_schema key_material_schema_;
  tuple_schema row_tuple_schema_;
  material_tuple_schema row_material_schema_;
  picked_columns all_columns_;
  picked_columns no_columns_;
  // Every schema published by build_schema_caches(), the current one last; written under the
  // tree lock held exclusively (or at construction).
  std::vector<std::unique_ptr<const schema_descriptor>> schema_versions_;
  std::atomic<const schema_descriptor*> published_schema_{nullptr};
  mutable std::shared_mutex tree_lock_;
  std::mutex insert_mutex_;
  tx_timestamp low_watermark_ = 0;
  mutable std::mutex watermark_mutex_;
  std::filesystem::path directory_;
  std::atomic<bool> dropped_{false};
  // Names new segment directories; guarded by the blocked flag.
  seqno_helper namer_;
  // Number of the layout file the published state was committed to; guarded by the blocked flag.
  std::optional<uint64_t> committed_layout_;
  std::atomic<bool> closing_{false};
  std::atomic<int> evictions_in_flight_{0};
  // Held by every segment this tree marked for removal until its directory is gone. The
  // destructor lets go of its own copy and waits for the others, so that no pool thread (a
  // flush's snapshot, a scan's read-ahead) deletes anything in the directory after the tree.
  class removal_latch {
   public:
    std::future<void> done() { return done_.get_future(); }
    ~removal_latch() { done_.set_value(); }

   private:
    std::promise<void> done_;
  };
  std::shared_ptr<removal_latch> removals_ = std::make_shared<removal_latch>();
  std::future<void> removals_done_ = removals_->done();
};

}  // namespace ombrel
