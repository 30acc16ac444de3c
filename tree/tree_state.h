#pragma once
// An immutable snapshot of a merge tree's structure: its mem-tables (newest first), its levels
// of segments and the tag of the last row persisted. Shared by the tree, readers and
// iterators; a structural change builds a new snapshot and publishes it in one pointer swap.

#include <functional>
#include <memory>
#include <vector>

#include "memtable/row_set.h"
#include "model/common.h"
#include "model/flat_tuple.h"
#include "model/search_result.h"
#include "model/tuple.h"
#include "segment/segment.h"

namespace ombrel {

class merge_tree;

// The timestamp and transaction id of a row version.
struct row_tag {
  tx_timestamp timestamp = 0;
  uuid tx;
  friend bool operator==(const row_tag&, const row_tag&) = default;
};

// One level: segments in ascending key order whose key ranges do not overlap, except that the
// versions of one key may continue from the end of one segment into the start of the next.
using level = std::vector<std::shared_ptr<segment>>;

class tree_state {
 public:
  using row_function = std::function<void(const row_values&)>;

  // Newest first: element 0 receives inserts.
  std::vector<std::shared_ptr<row_set>> memtables;
  // Level 0 (the smallest) first.
  std::vector<level> levels;
  row_tag last_persisted_row_tag;

  // A copy with a new row set for `tree` in front.
  std::shared_ptr<tree_state> add_memtable(merge_tree& tree) const;
  // A copy without `rows`, whose last row becomes the last persisted row; unchanged when
  // `rows` is not here.
  std::shared_ptr<tree_state> erase_memtable(const row_set* rows) const;

  // Finds the version of `key` (key slots in material form) visible at `timestamp`, searching
  // the mem-tables newest first and then the levels from 0, and hands its picked values to
  // `f`. False when the key is absent or its visible version is a removal.
  bool if_exists(tx_timestamp timestamp, const material_tuple& key, const picked_columns& picker,
                 const row_function& f) const;

  // Total rows of a level, as its segments record them.
  static uint64_t size_of(const level& l);
};

// The first segment of `l` whose largest key is not less than `key`; l.size() when none.
size_t find_segment(const level& l, const material_tuple& key);

}  // namespace ombrel
