#pragma once
// One merge of a merge tree: a run of rows of one level (or a segment just written from a
// mem-table) goes into the level below, merged with the segments there whose key ranges it
// meets; versions no reader can reach any more are dropped on the way. It edits the two levels
// of a tree state that is being built under the tree's blocked flag; nothing is published or
// committed here. One thread.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "model/common.h"
#include "segment/seqno_helper.h"
#include "tree/merge_tree.h"
#include "tree/tree_state.h"

namespace ombrel {

class merge_tree::merge_helper {
 public:
  // The fresh segment(s) of `fresh` go into level 0 of `levels` (which must exist).
  merge_helper(std::vector<level>& levels, level& fresh);
  // A run of levels[l] around segment `s` goes into levels[l + 1] (which must exist). The run
  // never ends between two versions of one key.
  merge_helper(std::vector<level>& levels, size_t l, size_t s);

  // Moves the run down: without rewriting when it is a whole segment that overlaps nothing,
  // else copying and merging into new segments named by `namer`. Applies `low_watermark`
  // (signed) to merged rows. On failure the levels are in an unspecified state (the caller
  // drops the copy it gave) and every segment written so far is flagged for removal.
  void merge(seqno_helper& namer, tx_timestamp low_watermark);

  // The segments this merge replaced; they go once no published state lists them.
  const std::vector<std::shared_ptr<segment>>& removed() const { return removed_; }
  // The segments it wrote.
  const std::vector<std::shared_ptr<segment>>& created() const { return created_; }

  // The run and the overlap, as chosen (for tests).
  size_t first() const { return first_; }
  uint64_t offset() const { return offset_; }
  uint64_t count() const { return count_; }
  std::pair<size_t, size_t> overlap() const { return overlap_; }

 private:
  void perform_adjustment(size_t s);
  void perform_intersection();
  bool run_is_whole_segment() const;
  bool run_continues() const;
  std::vector<std::shared_ptr<segment>> perform_merge(seqno_helper& namer,
                                                      tx_timestamp low_watermark);

  level* source_;
  level* target_;
  size_t first_ = 0;
  uint64_t offset_ = 0;
  uint64_t count_ = 0;
  bool target_is_last_ = false;
  std::pair<size_t, size_t> overlap_{0, 0};
  std::vector<std::shared_ptr<segment>> removed_;
  std::vector<std::shared_ptr<segment>> created_;
};

// Rewrites `s`, the segment of the deepest level that follows `previous` (null for the first),
// without the versions that no read at or above `low_watermark` reaches and without removals
// older than it. Returns the replacement segments (none when nothing is left), or {s} itself
// when there was nothing to drop. New segments are named by `namer` and appended to `created`
// as they are written, also when a later step fails (the caller removes them then).
std::vector<std::shared_ptr<segment>> drop_unreachable_versions(
    const std::shared_ptr<segment>& s, const segment* previous, seqno_helper& namer,
    tx_timestamp low_watermark, std::vector<std::shared_ptr<segment>>& created);

}  // namespace ombrel
