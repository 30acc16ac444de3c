#pragma once
// One mem-table of a merge tree, used concurrently: one writer at a time inserts rows through a
// memtable_updater while readers search the mem-table or scan it with iterators. A mem-table
// that reaches MEMTABLE_MAX_ENTRIES is flushed asynchronously through the tree (the owner);
// when the buffer pool runs dry, the least recently used mem-table of any tree is flushed
// early (eviction). Once flushed, the rows written out (the fallback) answer for the row set.
// Owned through std::shared_ptr. Locks: mutex_ (with cond_) guards the state fields; the
// global mem-table cache mutex guards the least-recently-used list. Both are leaves: neither
// is held while another lock is taken or while the owner is called.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "memtable/mem_table.h"
#include "memtable/mem_table_buffer_pool.h"
#include "model/common.h"
#include "model/flat_tuple.h"
#include "model/flushed_rows.h"
#include "model/schema_descriptor.h"
#include "model/tuple.h"

namespace ombrel {

class row_set : public std::enable_shared_from_this<row_set>,
                private mem_table::buffer_creator,
                private mem_table_buffer_pool::evictor {
 public:
  class owner;
  class tree_block;
  class memtable_updater;
  class read_lock;
  class iterator;
  class entry_batch;

  // An open row set without a mem-table. `tree` must outlive the row set's mem-table (flush or
  // discard every row set before the owner goes); buffers come from `pool`.
  explicit row_set(owner& tree,
                   mem_table_buffer_pool& pool = mem_table_buffer_pool::get_instance());
  ~row_set() override;
  row_set(const row_set&) = delete;
  row_set& operator=(const row_set&) = delete;

  // A writer handle; empty once a flush has started (the caller must start a new row set).
  memtable_updater get_memtable_updater();

  // Marks the row set as flushing. True if this call did it; false if a flush is already
  // under way or done.
  bool start_flush();
  // Writes the mem-table out through the owner while `block` holds the tree, then answers
  // from the result; the mem-table is released once its last reader has left. An empty
  // mem-table is not written. REQUIRES: start_flush() returned true. A failure leaves the
  // mem-table in place and readable, records the cause for wait_flush, reopens the row set
  // for updaters, and is rethrown.
  void finish_flush(tree_block& block);
  // Waits until the flush under way ends. Returns when the row set is flushed; a failed
  // flush throws errors::fatal_error "memtable flush failed" nesting the cause. REQUIRES: the
  // caller holds no updater of this row set in the middle of a batch.
  void wait_flush();
  // Drops the mem-table without writing it (its rows are lost): for trees that are dropped
  // or rolled back. The row set counts as flushed and holds no rows afterwards.
  void discard();

  // The newest version of `key` (key slots in material form) not newer than `timestamp`, with
  // the picked columns; from the fallback once flushed. The mem-table never answers
  // upcoming_t.
  search_result search(tx_timestamp timestamp, const material_tuple& key,
                       const picked_columns& picker);

  // An iterator on the first entry (on the fallback's first row once flushed); not valid()
  // when there is none. `schema` is the tree's row material schema.
  iterator get_iterator(const material_tuple_schema& schema);

  // Called by the buffer pool when it has no buffer: flushes the least recently used
  // mem-table of any tree through its owner and returns true, or returns false when that
  // mem-table belongs to `requester`, when its writer (in a batch on another thread) waits for
  // memory itself, or when the list is empty while mem-tables off it (being flushed) still
  // hold memory. Throws errors::fatal_error "Failed to find any mem-tables to evict" when no
  // mem-table exists at all, and "memtable flush failed" (nesting the cause) when the flush fails.
  static bool evict(row_set* requester);
  // Number of mem-tables in the least-recently-used list.
  static size_t cached_memtables();

  // True while no row was inserted, or when flushing left nothing to read. Such a row set
  // takes no part in scans or flushes.
  bool is_empty() const;
  // Lock-free: a writer that keeps its updater between rows asks it on every row.
  bool is_flush_started() const;
  bool is_flushed() const;
  // The cause of the last failed flush, null after a successful one.
  std::exception_ptr flush_error() const;
  std::shared_ptr<flushed_rows> fallback() const;
  // The tag of the last inserted row. REQUIRES: no insert running concurrently.
  tx_timestamp last_timestamp() const;
  uuid last_txid() const;

 private:
  struct mem_table_cache_entry;
  class key_buffer;
  struct read_state;
  class read_guard;
  struct pending_flush;

  mem_table_buffer* create_buffer(size_t size) override;
  // Evicts the least recently used mem-table of another row set.
  bool evict_for_buffer() override { return evict(this); }
  // The value of one material slot of a mem-table row: fixed-size values in material form,
  // length-prefixed ones as their payload; nothing for a null.
  static std::optional<bytes_view> slot_value(const material_tuple_schema& schema,
                                              const material_tuple& row, uint32_t slot);
  // The picked columns of a mem-table row, as views into the buffer.
  static void read_values(const material_tuple_schema& schema, const material_tuple& row,
                          const picked_columns& picker, row_values& out);

  bool ensure_tuple_size(memtable_updater& updater, size_t size);
  void insert(memtable_updater& updater, const parsed_tuple& row, tx_timestamp timestamp,
              uuid txid);
  bool acquire_writer(memtable_updater& updater);
  void release_writer(memtable_updater& updater);
  read_state enter_read();
  void leave_read();
  void maybe_start_flush(uint64_t entry_count);
  void run_async_flush(tree_block& block);
  // Ends a flush attempt that failed with `cause`; `reading` when it had entered as reader.
  void end_failed_flush(std::exception_ptr cause, bool reading);
  // Releases the flushed mem-table now if no reader is left; else the last reader does.
  void release_memtable(std::unique_lock<std::mutex>& lock);

  owner& owner_;
  mem_table_buffer_pool& pool_;
  std::atomic<uint64_t> entries_{0};

  mutable std::mutex mutex_;
  std::condition_variable cond_;
  std::unique_ptr<mem_table_cache_entry> memtable_;
  std::shared_ptr<flushed_rows> fallback_;
  uint32_t readers_ = 0;          // operations reading the mem-table, the flush included
  uint32_t writers_ = 0;          // updaters holding the writer state, all on writer_thread_
  uint32_t writers_waiting_ = 0;  // updaters waiting for it; new readers wait behind them
  std::thread::id writer_thread_;
  bool writer_fetching_ = false;  // the writer state's holder waits for a buffer
  // In order: open for inserts; a flush was asked for (inserts go on until it starts); the
  // flush writes the mem-table out (no more inserts); flushed or discarded, for good. A failed
  // flush goes back to open.
  enum class flush_state : uint8_t { open, requested, writing, flushed };
  flush_state flush_ = flush_state::open;
  // flush_ != open, for is_flush_started without the mutex; written with flush_.
  std::atomic<bool> flush_started_{false};
  // Sets flush_ and flush_started_. REQUIRES: mutex_ held.
  void set_flush(flush_state state);
  uint64_t flush_attempts_ = 0;  // ended flush attempts, for wait_flush
  std::exception_ptr flush_error_;
  uint64_t auto_flush_from_ = 0;  // after a failed flush, inserts retry from this entry count
  tx_timestamp last_timestamp_ = 0;
  uuid last_txid_;
};

// The tree's update right (its blocked flag), held for the whole flush.
class row_set::tree_block {
 public:
  virtual ~tree_block() = default;
};

// What a row set needs from its merge tree.
class row_set::owner {
 public:
  virtual ~owner() = default;
  virtual const schema_descriptor& schema() const = 0;
  // The tree's cached material schemas of rows and of keys.
  virtual const material_tuple_schema& row_material_schema() const = 0;
  virtual const material_tuple_schema& key_material_schema() const = 0;
  // The update right, or null when it is held elsewhere right now (an insert that wants to
  // start a flush then tries again on a later insert). Must not wait.
  virtual std::unique_ptr<tree_block> block_tree() = 0;
  // Writes `table`, the mem-table of `rows`, out while `block` is held and returns what answers
  // for its rows from then on. Called by finish_flush only for a non-empty mem-table.
  virtual std::shared_ptr<flushed_rows> write_memtable(tree_block& block, const row_set& rows,
                                                       const mem_table& table) = 0;
  // Flushes `rows` synchronously when it still is one of the tree's unflushed row sets.
  virtual void evict_memtable(std::shared_ptr<row_set> rows) = 0;
  // Bracket an eviction that chose one of this owner's mem-tables. eviction_started is called
  // under the mem-table cache mutex while that mem-table is still listed, so the owner is
  // alive; the owner does not go before the matching eviction_finished.
  virtual void eviction_started() = 0;
  virtual void eviction_finished() = 0;
  // Runs `task` on another thread; `task` reports its own failures.
  virtual void submit(std::function<void()> task) = 0;
};

// The writer handle. Move-only. While it holds the writer state (from its first successful
// ensure_tuple_size or insert until it is destroyed or reset), readers wait, so a batch of
// inserts through one updater becomes visible at once. Callers serialise writers.
class row_set::memtable_updater {
 public:
  memtable_updater() = default;
  memtable_updater(memtable_updater&& other) noexcept;
  memtable_updater& operator=(memtable_updater&& other) noexcept;
  ~memtable_updater();

  explicit operator bool() const { return rows_ != nullptr; }
  row_set* get() const { return rows_.get(); }

  // Makes room for a row whose material size bound is `size`: creates the mem-table on first
  // use, marks it most recently used and obtains buffers (which may evict other mem-tables).
  // False when no room can be had or the mem-table is already being written out; a failure
  // (false or an exception) also ends this updater's batch.
  bool ensure_tuple_size(size_t size);
  // Inserts `row` at `timestamp` for transaction `txid`. REQUIRES: a successful
  // ensure_tuple_size(row.material_size()). Starts the asynchronous flush when the mem-table
  // reaches MEMTABLE_MAX_ENTRIES entries.
  void insert(const parsed_tuple& row, tx_timestamp timestamp, uuid txid);
  // Ends this updater's batch, then flushes the row set in the calling thread while `block`
  // holds the tree, or waits for the flush already under way.
  void flush(tree_block& block);
  // Releases the writer state and the row set, as destruction does.
  void reset();

 private:
  friend class row_set;
  explicit memtable_updater(std::shared_ptr<row_set> rows) : rows_(std::move(rows)) {}

  std::shared_ptr<row_set> rows_;
  bool writing_ = false;
};

// Keeps the mem-table's memory valid (the row set counts a reader) until destroyed or
// released. Empty when nothing needed holding. REQUIRES: the row set outlives it; the holder
// takes no other read of the same row set meanwhile (a waiting writer would block it).
class row_set::read_lock {
 public:
  read_lock() = default;
  read_lock(read_lock&& other) noexcept : rows_(std::exchange(other.rows_, nullptr)) {}
  read_lock& operator=(read_lock&& other) noexcept;
  ~read_lock() { release(); }

  explicit operator bool() const { return rows_ != nullptr; }
  void release();

 private:
  friend class row_set;
  explicit read_lock(row_set* rows) : rows_(rows) {}
  row_set* rows_ = nullptr;
};

// A copy of one key in material layout, owned, so that a position survives the release of the
// mem-table.
class row_set::key_buffer {
 public:
  key_buffer() = default;
  explicit key_buffer(const material_tuple_schema& schema);
  // From the key slots of a material tuple.
  void assign(const material_tuple& tuple);
  // From key values in key order, variable-length ones as payloads.
  void assign(const row_values& key);
  material_tuple get() const {
    return material_tuple(pointers_.data(), static_cast<uint32_t>(pointers_.size()));
  }
  size_t size() const { return pointers_.size(); }

 private:
  std::byte* reserve(size_t bytes);

  std::vector<material_tuple_schema::element_info> elements_;
  std::vector<uint64_t> storage_;
  std::vector<const std::byte*> pointers_;
};

// What a reader found: the mem-table (a reader is then counted) or, once flushed, the fallback.
struct row_set::read_state {
  const mem_table* table = nullptr;
  bool flushed = false;
  std::shared_ptr<flushed_rows> fallback;
};

// Counts a reader for its lifetime when it found the mem-table.
class row_set::read_guard {
 public:
  explicit read_guard(row_set& rows) : rows_(rows), state_(rows.enter_read()) {}
  ~read_guard() {
    if (state_.table != nullptr) rows_.leave_read();
  }
  read_guard(const read_guard&) = delete;
  read_guard& operator=(const read_guard&) = delete;

  const read_state& state() const { return state_; }
  // Hands the counted reader over to a read_lock.
  read_lock to_lock() {
    if (state_.table == nullptr) return {};
    state_.table = nullptr;
    return read_lock(&rows_);
  }

 private:
  row_set& rows_;
  read_state state_;
};

// An ordered scan of the row set's entries: every version, key ascending, newest first. It
// rests on one entry and keeps a copy of its key, so it carries on from the fallback after a
// flush. One thread at a time; keeps the row set alive.
class row_set::iterator {
 public:
  iterator() = default;
  iterator(iterator&&) noexcept = default;
  iterator& operator=(iterator&&) noexcept = default;

  // Rests on an entry. False for an empty row set and after get_next_tuple returned false.
  bool valid() const { return valid_; }
  tx_timestamp timestamp() const { return timestamp_; }
  bool is_tombstone() const { return tombstone_; }
  // The current key (key slots in material form), the iterator's own copy.
  material_tuple key() const { return key_.get(); }

  // Moves to the next entry (rows inserted since the last step after the current entry
  // included); false when none follows.
  bool get_next_tuple(const picked_columns& picker);
  // The current entry's picked columns. From the mem-table the views stay valid while the
  // returned lock is held; after a switch to the fallback the lock is empty and the views
  // last until the next step. REQUIRES: valid().
  read_lock read_tuple(const picked_columns& picker, row_values& out);
  // Continues on the fallback at the current entry. Throws errors::error "Cursor failed to
  // switch to a fallback segment" when the fallback has no such entry.
  void switch_to_fallback(const picked_columns& picker);

  // Copies up to `max_entries` entries into `out` under one read guard: the current entry and
  // those after it when the current entry was not copied yet, else the entries after it. The
  // iterator then rests on the last entry copied. Entries inserted between copied ones
  // meanwhile are not seen. False, with `out` empty, when no entry is left. Takes no other
  // lock while copying, and the copies hold nothing of the mem-table. REQUIRES: max_entries > 0.
  bool next_batch(const picked_columns& picker, uint32_t max_entries, entry_batch& out);

 private:
  friend class row_set;
  // The position of the current entry in `index` (inserts may have moved it right).
  std::pair<const mem_table_pk_index::leaf_node*, uint32_t> locate(
      const mem_table_pk_index& index) const;
  bool batch_from_cursor(const picked_columns& picker, uint32_t max_entries, entry_batch& out);
  bool advance_cursor();
  void rest_on_cursor();
  void rest_on_entry(const mem_table_pk_index& index, const mem_table_pk_index::leaf_node* leaf,
                     uint32_t position);
  void switch_to(const std::shared_ptr<flushed_rows>& fallback, const picked_columns& picker);

  std::shared_ptr<row_set> rows_;
  const mem_table_pk_index::leaf_node* leaf_ = nullptr;
  uint32_t position_ = 0;
  const std::byte* row_ = nullptr;  // identifies the current entry in the mem-table
  material_tuple tuple_;            // its values, while the mem-table lives
  tx_timestamp timestamp_ = 0;
  bool tombstone_ = false;
  bool valid_ = false;
  key_buffer key_;
  bool copied_ = false;  // the current entry went out in a batch
  size_t span_ = 0;      // the most bytes read of one row from its start, for prefetching
  std::unique_ptr<row_cursor> cursor_;  // set once switched to the fallback
  row_values key_values_;
};

// Owned copies of consecutive entries of a row set: timestamp, removal flag, key and picked
// values of each, valid until the next fill whatever becomes of the mem-table. Reused across
// fills; one thread at a time.
class row_set::entry_batch {
 public:
  uint32_t size() const { return static_cast<uint32_t>(entries_.size()); }
  tx_timestamp timestamp(uint32_t i) const { return entries_[i].timestamp; }
  bool is_tombstone(uint32_t i) const { return entries_[i].tombstone; }
  // Entry i's key columns in key order, variable-length ones as payloads.
  const bytes_view* key(uint32_t i) const { return keys_.data() + size_t{i} * key_count_; }
  // Entry i's picked values (all empty for a removal).
  void read(uint32_t i, row_values& out) const {
    const auto first = values_.begin() + static_cast<ptrdiff_t>(size_t{i} * value_count_);
    out.assign(first, first + static_cast<ptrdiff_t>(value_count_));
  }

 private:
  friend class row_set::iterator;
  static constexpr size_t MIN_BYTES = 32 * 1024;
  struct entry {
    tx_timestamp timestamp;
    bool tombstone;
  };
  void clear(size_t key_count, size_t value_count);
  // Copies the entry whose views are in key_scratch_ and value_scratch_; false when its bytes
  // would not fit behind the ones already copied (the first entry always fits).
  bool append(tx_timestamp timestamp, bool tombstone);

  size_t key_count_ = 0;
  size_t value_count_ = 0;
  std::vector<entry> entries_;
  std::vector<bytes_view> keys_;
  row_values values_;
  std::vector<std::byte> bytes_;
  size_t used_ = 0;
  // The entry being copied, as views into its source.
  std::vector<bytes_view> key_scratch_;
  row_values value_scratch_;
};

}  // namespace ombrel
