// Level capacities and compaction: after every flush (and at recovery) over-full levels give
// rows to the level below; a full compaction pushes everything into the deepest level and drops
// what no read at or above the low watermark can reach.

#include <cstdlib>
#include <mutex>

#include "native/config.h"
#include "tree/merge_helper.h"
#include "tree/merge_tree.h"

namespace ombrel {

uint64_t merge_tree::get_max_size(unsigned level) {
  struct sizes {
    uint64_t first;
    uint64_t fanout;
  };
  static const sizes read_once = [] {
    const auto& c = config::get_config();
    return sizes{c.merge_tree_first_level_size.load(), c.merge_tree_fanout.load()};
  }();
  uint64_t size = read_once.first;
  for (unsigned l = 0; l < level; ++l) {
    if (__builtin_mul_overflow(size, read_once.fanout, &size)) return UINT64_MAX;
  }
  return size;
}

void merge_tree::compact_levels(merge_tree_updater& updater, std::shared_ptr<tree_state>& state,
                                tx_timestamp low_watermark) {
  for (size_t l = 0; l < state->levels.size(); ++l) {
    while (!state->levels[l].empty() &&
           tree_state::size_of(state->levels[l]) > get_max_size(static_cast<unsigned>(l))) {
      auto next = std::make_shared<tree_state>(*state);
      if (l + 1 == next->levels.size()) next->levels.emplace_back();
      if (next->levels[l + 1].empty()) {
        // Nothing below to merge with: the whole level moves down unchanged.
        std::swap(next->levels[l], next->levels[l + 1]);
        commit(updater, next);
        state = next;
        break;
      }
      const size_t chosen = static_cast<size_t>(std::rand()) % next->levels[l].size();
      merge_helper merge(next->levels, l, chosen);
      merge_into(merge, low_watermark);
      commit(updater, next, merge.removed(), merge.created());
      state = next;
    }
  }
}

std::vector<std::shared_ptr<segment>> merge_tree::make_full_compaction() {
  std::shared_lock tree_lock(tree_lock_);
  merge_tree_updater updater = flush_memtable_internal();
  std::shared_ptr<tree_state> state = get_state(updater);
  if (state->levels.empty()) return {};
  const tx_timestamp low_watermark = get_low_watermark();
  for (size_t l = 0; l + 1 < state->levels.size(); ++l) {
    if (state->levels[l].empty()) continue;
    if (state->levels[l + 1].empty()) {
      auto next = std::make_shared<tree_state>(*state);
      std::swap(next->levels[l], next->levels[l + 1]);
      commit(updater, next);
      state = next;
      continue;
    }
    while (!state->levels[l].empty()) {
      auto next = std::make_shared<tree_state>(*state);
      merge_helper merge(next->levels, l, next->levels[l].size() - 1);
      merge_into(merge, low_watermark);
      commit(updater, next, merge.removed(), merge.created());
      state = next;
    }
  }
  while (tree_state::size_of(state->levels.back()) >
         get_max_size(static_cast<unsigned>(state->levels.size() - 1))) {
    auto next = std::make_shared<tree_state>(*state);
    next->levels.emplace_back();
    std::swap(next->levels[next->levels.size() - 2], next->levels.back());
    commit(updater, next);
    state = next;
  }
  // Rows that reached the deepest level without a merge still hold what a merge would drop.
  level rewritten;
  std::vector<std::shared_ptr<segment>> removed;
  std::vector<std::shared_ptr<segment>> created;
  const level& deepest = state->levels.back();
  try {
    for (size_t i = 0; i < deepest.size(); ++i) {
      const segment* previous = i == 0 ? nullptr : deepest[i - 1].get();
      auto replacement =
          drop_unreachable_versions(deepest[i], previous, namer_, low_watermark, created);
      if (replacement.size() != 1 || replacement[0] != deepest[i]) {
        removed.push_back(deepest[i]);
      }
      rewritten.insert(rewritten.end(), replacement.begin(), replacement.end());
    }
  } catch (...) {
    remove_when_unused(created);
    throw;
  }
  if (!removed.empty()) {
    auto next = std::make_shared<tree_state>(*state);
    next->levels.back() = std::move(rewritten);
    commit(updater, next, removed, created);
    state = next;
  }
  return state->levels.back();
}

}  // namespace ombrel
