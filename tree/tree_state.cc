#include "tree/tree_state.h"

#include <algorithm>
#include <variant>

#include "tree/merge_tree.h"

namespace ombrel {

std::shared_ptr<tree_state> tree_state::add_memtable(merge_tree& tree) const {
  auto next = std::make_shared<tree_state>(*this);
  next->memtables.insert(next->memtables.begin(), std::make_shared<row_set>(tree));
  return next;
}

std::shared_ptr<tree_state> tree_state::erase_memtable(const row_set* rows) const {
  auto next = std::make_shared<tree_state>(*this);
  for (auto it = next->memtables.begin(); it != next->memtables.end(); ++it) {
    if (it->get() == rows) {
      next->last_persisted_row_tag = {rows->last_timestamp(), rows->last_txid()};
      next->memtables.erase(it);
      break;
    }
  }
  return next;
}

bool tree_state::if_exists(tx_timestamp timestamp, const material_tuple& key,
                           const picked_columns& picker, const row_function& f) const {
  for (const std::shared_ptr<row_set>& rows : memtables) {
    search_result found = rows->search(timestamp, key, picker);
    switch (outcome_of(found)) {
      case search_outcome::absent:
      case search_outcome::upcoming:  // only newer versions here
        continue;
      case search_outcome::tombstone:
        return false;
      case search_outcome::found:
        f(std::get<flat_tuple>(found).values());
        return true;
    }
  }
  for (const level& l : levels) {
    // Versions of one key may run on into the next segments: those answer upcoming_t until
    // one holds a visible version.
    // Segments hand the row to `f` straight from their blocks, without a copy.
    for (size_t s = find_segment(l, key); s < l.size(); ++s) {
      switch (l[s]->search(timestamp, key, picker, f)) {
        case search_outcome::absent:
          break;
        case search_outcome::upcoming:
          continue;
        case search_outcome::tombstone:
          return false;
        case search_outcome::found:
          return true;
      }
      break;
    }
  }
  return false;
}

uint64_t tree_state::size_of(const level& l) {
  uint64_t rows = 0;
  for (const std::shared_ptr<segment>& s : l) rows += s->size();
  return rows;
}

size_t find_segment(const level& l, const material_tuple& key) {
  auto it = std::partition_point(l.begin(), l.end(), [&](const std::shared_ptr<segment>& s) {
    return compare(s->material_schema(), s->index().keys().back(), key) < 0;
  });
  return static_cast<size_t>(it - l.begin());
}

}  // namespace ombrel
