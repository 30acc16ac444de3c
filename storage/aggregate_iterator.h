#pragma once
// The row source of an aggregate cursor: consumes its whole scan at the first get_next, folding
// each row into the group of its key, then hands out one row of results per group in ascending
// key order. Groups are found by hashing a canonical form of their key (values that compare
// equal have equal bytes) and sorted once when the scan is done. Owns the scan (which may hold
// a partition open) and the function objects; one thread at a time.

#include <cstdint>
#include <memory>
#include <vector>

#include "model/bitset.h"
#include "model/flat_tuple.h"
#include "model/schema_descriptor.h"
#include "storage/aggregate_functions.h"
#include "tree/abstract_table.h"
#include "tree/merge_tree_iterator.h"

namespace ombrel {

// The order of group keys: key columns in key order, each compared by its type; nulls form one
// group before every value, NaNs one group after every number, -0.0 and 0.0 one group. Throws
// errors::error "Unimplemented for these types" for a type without an order (NONE).
int compare(const schema_descriptor& schema, const row_values& a, const row_values& b);

// One group: its key (group columns in column order) and one accumulator per call.
struct aggregate_tuple {
  flat_tuple key;
  std::vector<aggregate_value> values;

  // The results as a row, one value per call; values needing bytes of their own are rendered
  // into `buffers` (one per call), valid until the next rendering.
  row_values get_internal_tuple(std::vector<combined_buffer>& buffers);
};

class aggregate_iterator final : public abstract_iterator {
 public:
  struct tuple_comparator {
    const schema_descriptor* schema;
    bool operator()(const flat_tuple& a, const flat_tuple& b) const {
      return compare(*schema, a.values(), b.values()) < 0;
    }
  };

  // `group_positions`: the group columns as positions in the scanned rows; `group_schema`
  // types them (make_group_set_schema). `inner` may be null (nothing to scan).
  aggregate_iterator(std::unique_ptr<abstract_iterator> inner, const bitset& group_positions,
                     schema_descriptor group_schema,
                     std::vector<std::unique_ptr<aggregate_function>> functions);
  ~aggregate_iterator() override;

  bool get_next(const row_callback& callback) override;

  // Folds the whole scan into groups and orders them. Runs once, at the first get_next.
  void aggregate();
  // One fresh accumulator per call.
  void initialize(aggregate_tuple& tuple) const;

 private:
  // How one key column is brought to its canonical form.
  enum class key_kind : uint8_t { bytes, boolean, float32, float64, decimal, number };
  struct slot {
    uint64_t hash = 0;
    uint64_t word = 0;  // the whole key of a one-word key, else unused
    uint32_t group = EMPTY;
  };
  static constexpr uint32_t EMPTY = UINT32_MAX;
  static constexpr uint32_t RUN_ROWS = 2048;

  void add_row(const row_values& row);
  // Folds the rows of a run: their groups first, then each function over the whole run.
  void add_run(const row_run& run);
  // The group of a key held in one word (one fixed-size column of at most 8 bytes).
  uint32_t find_word_group(const row_values& row);
  // The group of the one-word key `word`, whose key value is `key` (added when new).
  uint32_t word_group(uint64_t word, bytes_view key);
  // run_groups_ for a run grouped by one non-nullable column of plain bytes of one word;
  // false for other keys.
  bool find_run_groups(const row_run& run);
  template <typename W>
  void find_word_groups(const std::byte* data, uint32_t count);
  // The group of any other key.
  uint32_t find_group(const row_values& row);
  uint32_t add_group();
  // Fills key_ with the canonical key of `row` and returns its hash.
  uint64_t make_key(const row_values& row);
  bool key_equals(const flat_tuple& stored) const;
  void grow();

  std::unique_ptr<abstract_iterator> inner_;
  std::vector<uint32_t> group_positions_;
  std::vector<key_kind> key_kinds_;
  // Bytes of a one-word key, 0 when the key does not fit one word.
  uint32_t word_size_ = 0;
  uint32_t null_group_ = EMPTY;  // the group of the null one-word key
  schema_descriptor group_schema_;
  std::vector<std::unique_ptr<aggregate_function>> functions_;
  std::vector<aggregate_tuple> groups_;
  std::vector<slot> slots_;  // open addressing, a power of two, at most half full
  // Groups of small one-word keys by the word itself (EMPTY when not seen), in front of slots_:
  // keys such as a code in 0..999 then cost one load per row. Filled on first use.
  static constexpr uint64_t DIRECT_WORDS = 4096;
  std::vector<uint32_t> direct_;
  // The key of the row being folded, and the canonical bytes of values rewritten for it.
  row_values key_;
  std::vector<std::vector<std::byte>> key_bytes_;
  // Scratch of add_run: the group columns of one row, the group of each row, accumulators.
  row_values run_row_;
  std::vector<uint32_t> run_groups_;
  std::vector<aggregate_value*> run_values_;
  std::vector<uint32_t> order_;  // groups in key order, once aggregated
  size_t next_ = 0;
  std::vector<combined_buffer> buffers_;
  bool aggregated_ = false;
};

}  // namespace ombrel
