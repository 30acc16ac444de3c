#pragma once
// A scan of one snapshot of a merge tree: a heap merge of its mem-tables and levels in key
// order that hands out, per key, the newest version not newer than the read timestamp, skipping
// keys whose visible version is a removal. Segment timestamp and key columns are read ahead on
// the shared pool, four segments deep per level, with the value columns of segments that hold a
// live version old enough to be seen (a row that may be delivered); other segments never read
// theirs. Owned by its caller (a cursor); one thread at a time. Read-ahead tasks own
// what they touch, so the iterator may be dropped at any point.

#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <vector>

#include "memtable/row_set.h"
#include "model/bitset.h"
#include "model/common.h"
#include "model/schema_descriptor.h"
#include "segment/column_picker.h"
#include "segment/segment.h"
#include "tree/abstract_table.h"
#include "tree/tree_state.h"

namespace ombrel {

// Typed order and equality of key values given as payload views, decided once per key column.
class key_order {
 public:
  key_order() = default;
  explicit key_order(const schema_descriptor& schema);

  size_t size() const { return columns_.size(); }
  // Negative when key `a` sorts before key `b`. Throws errors::error "Unimplemented for these
  // types" for key types without an order.
  int compare(const bytes_view* a, const bytes_view* b) const;
  // Equal under the typed order (DECIMAL 1.5 and 1.50, FLOAT -0.0 and 0.0 are one key).
  bool equal(const bytes_view* a, const bytes_view* b) const;

 private:
  struct column {
    ombrel_type type = NONE;
    bool fixed = false;
    // Equal values have equal bytes, so differing bytes decide without a typed comparison.
    bool one_encoding = false;
  };
  static int compare_one(const column& c, bytes_view a, bytes_view b);

  std::vector<column> columns_;
};

// Consecutive rows of one loaded segment handed out together: output column j of row
// first + i is columns[j]->value(first + i). Valid only during the callback it is given to.
struct row_run {
  const column_reader* const* columns = nullptr;
  size_t column_count = 0;
  uint32_t first = 0;
  uint32_t count = 0;
};

// A scan that can hand out runs of rows as well as single rows: consumers that fold or copy
// many rows take the runs and skip the per-row call.
class row_run_source {
 public:
  using run_callback = std::function<void(const row_run&)>;

  virtual ~row_run_source() = default;
  // Delivers at most `max_rows` rows: a run to `run` when the scan is in a stretch of one
  // segment that no other source interleaves with, else one row to `row` (as get_next).
  // False when the scan is exhausted. REQUIRES: max_rows > 0.
  virtual bool get_next_run(const run_callback& run, const abstract_iterator::row_callback& row,
                            uint32_t max_rows) = 0;
};

class merge_tree_iterator final : public abstract_iterator, public row_run_source {
 public:
  // A scan of `state` as of `timestamp` with the projected columns of `schema`, or all of them
  // when `projection` is null. Starts the read-ahead but does not wait for it: the first
  // get_next does, so that no caller waits for the pool while holding its locks.
  merge_tree_iterator(const schema_descriptor& schema, std::shared_ptr<tree_state> state,
                      tx_timestamp timestamp, const bitset* projection);
  // Runs the close action first; its failure is logged, never thrown.
  ~merge_tree_iterator() override;
  merge_tree_iterator(const merge_tree_iterator&) = delete;
  merge_tree_iterator& operator=(const merge_tree_iterator&) = delete;

  // An iterator that failed keeps failing with the same error.
  bool get_next(const row_callback& callback) override;
  bool get_next_run(const run_callback& run, const row_callback& row, uint32_t max_rows) override;
  const schema_descriptor* schema() const override { return &schema_; }

  // Run once when the iterator is destroyed (a partition counts its scans with it).
  void set_close_action(std::function<void()> action) { close_action_ = std::move(action); }

 private:
  class level_state;
  enum class mode : uint8_t { fast_forward, merging, exhausted };
  // Mem-table entries are copied a batch at a time under one read guard: the scan then reads
  // them without the row set's lock, and a flush may release the mem-table meanwhile.
  static constexpr uint32_t MEM_BATCH = 64;
  struct mem_source {
    row_set::iterator rows;
    row_set::entry_batch batch;
    uint32_t at = 0;  // the current entry in the batch
  };
  // A source's current key (when it is one INT64 column) and timestamp, kept side by side for
  // the heap's comparisons. Refreshed whenever the source moves.
  struct head {
    int64_t key = 0;
    tx_timestamp timestamp = 0;
  };

  // Waits for the first segment of each level and orders the sources.
  void begin();
  bool next_row(const row_callback& callback);
  // Delivers a run of the current segment from its current row when one can start there.
  bool next_run(const run_callback& run, uint32_t max_rows);
  // Advances the current source and restores the merge order.
  void next();
  mode switch_to_next_level(bool push_current);
  mode check_fast_forward();
  // True when source a's version comes after source b's.
  bool comes_after(uint32_t a, uint32_t b) {
    if (!int_key_) return comes_after_typed(a, b);
    const head& x = heads_[a];
    const head& y = heads_[b];
    if (x.key != y.key) return x.key > y.key;
    if (x.timestamp != y.timestamp) return x.timestamp < y.timestamp;
    return a > b;
  }
  bool comes_after_typed(uint32_t a, uint32_t b);
  void push(uint32_t source);
  uint32_t pop();
  // Moves the heap's top down to its place after it was replaced.
  void sift_down();
  // Moves a mem-table source to its next entry; false when it ran out.
  bool advance_mem(uint32_t source);
  // The current key of `source` in `out` (key_order().size() views).
  void load_key(uint32_t source, bytes_view* out);
  void refresh(uint32_t source);
  int64_t int_key_of(uint32_t source) const { return heads_[source].key; }
  tx_timestamp timestamp_of(uint32_t source) const { return heads_[source].timestamp; }
  bool is_tombstone(uint32_t source) const;
  bool is_mem(uint32_t source) const { return source < mem_count_; }
  level_state& level_of(uint32_t source) const { return *levels_[source - mem_count_]; }
  // Whether the current key of `source` is the last key decided; if not, it becomes it.
  bool repeats_last_key(uint32_t source);
  void remember_key(const bytes_view* key);
  // Lets go of the snapshot and everything loaded, keeping the close action.
  void release_sources();

  schema_descriptor schema_;
  std::shared_ptr<tree_state> state_;
  tx_timestamp read_timestamp_;
  std::shared_ptr<const column_picker> picker_;
  picked_columns mem_picker_;
  // Decoded columns of one segment go back here for the next segment's (all levels share it).
  std::shared_ptr<column_memory> memory_;
  key_order order_;
  // The key is one INT64 column: sources are ordered by that integer without views.
  bool int_key_ = false;
  std::vector<mem_source> mem_;
  uint32_t mem_count_ = 0;
  std::vector<std::unique_ptr<level_state>> levels_;
  std::vector<head> heads_;  // per source
  std::vector<uint32_t> heap_;
  uint32_t current_ = 0;
  bool begun_ = false;
  mode mode_ = mode::exhausted;
  // The key last decided (emitted or found removed), owned.
  std::vector<std::byte> last_key_bytes_;
  std::vector<bytes_view> last_key_;
  int64_t last_int_key_ = 0;
  bool has_last_key_ = false;
  std::vector<bytes_view> key_a_, key_b_;
  row_values values_;
  std::exception_ptr failure_;
  std::function<void()> close_action_;
};

// One level of segments: walks their rows in order while the next ones are read ahead.
class merge_tree_iterator::level_state {
 public:
  static constexpr unsigned READ_AHEAD = 4;

  // Schedules the read-ahead of the first segments for a scan as of `read_timestamp`.
  level_state(const level& segments, std::shared_ptr<const column_picker> picker,
              tx_timestamp read_timestamp, std::shared_ptr<column_memory> memory);

  // Rests on the first row of the first non-empty segment; false when there is none.
  bool start() { return start_next_segment(); }
  // Moves to the next row; `started` tells whether a new segment began. False when the level
  // ran out.
  bool advance(bool& started);
  tx_timestamp timestamp() const;
  bool is_tombstone() const;
  void load_key(size_t key_count, bytes_view* out) const;
  // The current row's and the last row's key when the key is one INT64 column.
  int64_t int_key() const { return int_key_at(row_); }
  int64_t last_int_key() const { return int_key_at(row_count_ - 1); }
  // The key and timestamp of the current segment's last row.
  void load_last_key(size_t key_count, bytes_view* out) const;
  tx_timestamp last_timestamp() const;
  // The picked values of the current row; loads the value columns on first use.
  void read_tuple(row_values& out);
  // The rows from the current one on that may go out as one run, at most max_rows: each
  // visible (not newer than the read timestamp, not a removal) and with another key than the
  // row before it (an older version of the same key ends the run). 0 when the current row
  // itself is not visible. `int_key`: the key is one INT64 column, compared as integers.
  uint32_t run_length(const key_order& order, bool int_key, uint32_t max_rows);
  // The run of `count` rows from the current one, which becomes the run's last row; loads the
  // value columns on first use.
  row_run take_run(uint32_t count);

 private:
  void schedule_load();
  bool start_next_segment();
  int64_t int_key_at(uint32_t row) const {
    int64_t k;
    std::memcpy(&k, keys_ + size_t{row} * sizeof(k), sizeof(k));
    return k;
  }
  // Loads the value columns if needed and points output_ and output_values_ at them.
  void prepare_output();
  // Lets go of the current pack's columns off the scanning thread.
  void release_pack();

  level segments_;
  std::shared_ptr<const column_picker> picker_;
  tx_timestamp read_timestamp_;
  std::shared_ptr<column_memory> memory_;
  size_t next_to_schedule_ = 0;
  std::deque<std::future<column_reader_pack>> loads_;
  std::deque<std::shared_ptr<segment>> loading_;
  std::shared_ptr<segment> segment_;
  column_reader_pack pack_;
  std::vector<const column_reader*> output_;  // the pack's readers in output order, once loaded
  std::vector<column_values> output_values_;  // their columns
  std::vector<bytes_view> key_a_, key_b_;
  const std::byte* timestamps_ = nullptr;
  const std::byte* keys_ = nullptr;  // the first key column
  uint32_t row_ = 0;
  uint32_t row_count_ = 0;
};

}  // namespace ombrel
