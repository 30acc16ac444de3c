#include "tree/tree_state.h"

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
    switch (found.index()) {
      case 0:  // not here
      case 1:  // only newer versions here
        continue;
      case 2:
        return false;
      case 3:
        f(std::get<flat_tuple>(found).values());
        return true;
      default:
        throw std::bad_variant_access();
    }
  }
  return false;
}

}  // namespace ombrel
