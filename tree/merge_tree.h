#pragma once
// The rows of one table partition: a log-structured tree whose newest rows live in mem-tables
// (row sets) and whose snapshots (tree_state) are published copy-on-write. Readers take a
// snapshot; structural writers (flush, schema change) hold the blocked flag while they build
// the next one.
//
// Locks, outermost first: tree_lock_ (shared by row operations and scans, exclusive for
// removal of a dropped tree), insert_mutex_ (serialises upsert and remove), state_mutex_ (only
// to copy or swap the snapshot and the blocked flag). watermark_mutex_ is a leaf.
// Thread-safe.

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <vector>

#include "memtable/row_set.h"
#include "model/bitset.h"
#include "model/common.h"
#include "model/schema_descriptor.h"
#include "model/tuple_schema.h"
#include "tree/tree_state.h"

namespace ombrel {

class merge_tree;
class merge_tree_iterator;

// Holding one means holding the tree's blocked flag. A writer stores the snapshot it built;
// destruction publishes it and clears the flag. Move-only.
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

 private:
  void release();

  merge_tree* tree_ = nullptr;
  std::shared_ptr<tree_state> state_;
};

class merge_tree final : public row_set::owner {
 public:
  static constexpr const char* SCHEMA_FILENAME = "schema";
  static constexpr const char* DROPPED_FILENAME = "dropped";

  // Creates a tree in `directory`. Refuses nullable key columns ("Nullable column in key
  // segment") and repeated column names ("Can't create merge-tree with given schema.").
  merge_tree(const schema_descriptor& schema, const std::filesystem::path& directory);
  // Opens the tree in `directory`; a tree marked dropped opens without reading its schema.
  explicit merge_tree(const std::filesystem::path& directory);
  // Flushes the current mem-table; a failure is logged, never thrown.
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

  bool mark_as_dropped();
  void remove_dropped();
  bool is_dropped() const { return dropped_.load(); }

  void set_low_watermark(tx_timestamp timestamp);
  tx_timestamp get_low_watermark() const;
  row_tag get_last_persisted_row_tag() const;

  const schema_descriptor& get_schema() const { return schema_; }
  const tuple_schema& get_key_schema() const { return key_tuple_schema_; }
  const material_tuple_schema& get_key_material_schema() const { return key_material_schema_; }
  const material_tuple_schema& get_row_material_schema() const { return row_material_schema_; }
  const std::filesystem::path& directory() const { return directory_; }

  // ---- row_set::owner ----
  const schema_descriptor& schema() const override { return schema_; }
  const material_tuple_schema& row_material_schema() const override { return row_material_schema_; }
  const material_tuple_schema& key_material_schema() const override { return key_material_schema_; }
  std::unique_ptr<row_set::tree_block> block_tree() override;
  std::shared_ptr<row_set::flushed_rows> write_memtable(row_set::tree_block& block,
                                                        const mem_table& table) override;
  void evict_memtable(std::shared_ptr<row_set> rows) override;
  void submit(std::function<void()> task) override;

 private:
  void build_schema_caches();
  void publish_empty_state();
  // Writes the newest mem-table out, if it holds rows, and publishes the result.
  void flush_memtable_internal();
  // Drops every mem-table without writing it.
  void discard_memtables();
  std::vector<std::byte> read_internal(std::shared_lock<std::shared_mutex> lock,
                                       tx_timestamp timestamp, bytes_view key,
                                       const std::shared_ptr<tree_state>& state) const;

  std::shared_ptr<tree_state> state_;
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
  mutable std::shared_mutex tree_lock_;
  std::mutex insert_mutex_;
  tx_timestamp low_watermark_ = 0;
  mutable std::mutex watermark_mutex_;
  std::filesystem::path directory_;
  std::atomic<bool> dropped_{false};
};

}  // namespace ombrel
