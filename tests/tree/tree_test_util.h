#pragma once
// Rows of a small table (id INT64 key, name STRING nullable) for merge tree tests.

#include <functional>
#include <string>
#include <vector>

#include "model/binary_tuple_builder.h"
#include "model/binary_tuple_parser.h"
#include "model/schema_descriptor.h"
#include "native/config.h"
#include "tests/support/testing.h"
#include "tree/merge_tree.h"

namespace ombrel::testing::tree_rows {

using ombrel::testing::message_of;

// (id INT64 key, name STRING nullable)
inline schema_descriptor table_schema() {
  schema_descriptor s;
  s.columns.emplace_back("id", column_info::of_type(INT64, false));
  s.columns.emplace_back("name", column_info::of_type(STRING, true));
  s.initialize_positions({0, NO_COLUMN});
  return s;
}

inline std::vector<std::byte> row(int64_t id, const std::string& name) {
  binary_tuple_builder b(2);
  b.start();
  b.claim_int64(id);
  b.claim_varlen(bytes_view(name.data(), name.size()));
  b.layout();
  b.append_int64(id);
  b.append_varlen(bytes_view(name.data(), name.size()));
  return b.buffer();
}

inline std::vector<std::byte> key(int64_t id) {
  binary_tuple_builder b(1);
  b.start();
  b.claim_int64(id);
  b.layout();
  b.append_int64(id);
  return b.buffer();
}

inline bytes_view view(const std::vector<std::byte>& v) { return {v.size(), v.data()}; }

// The name of the row visible at `ts`, "-" when there is none.
inline std::string name_at(merge_tree& tree, tx_timestamp ts, const std::vector<std::byte>& k) {
  const auto found = tree.read(ts, view(k));
  if (found.empty()) return "-";
  binary_tuple_parser p(2, view(found));
  p.get_next();
  return std::string(binary_tuple_parser::get_varlen(p.get_next()).as_string());
}

inline std::string name_at(merge_tree& tree, tx_timestamp ts, int64_t id) {
  return name_at(tree, ts, key(id));
}

// MEMTABLE_MAX_ENTRIES for a scope.
struct memtable_limit : config_scope<uint64_t> {
  explicit memtable_limit(uint64_t entries)
      : config_scope(config::get_config().memtable_max_entries, entries) {}
};

// Levels of 24 rows and a fanout of 2, so that a few hundred rows flush, merge and move down.
// Level sizes are read once per process: call before any tree compacts.
inline bool use_small_levels() {
  auto& c = config::get_config();
  c.set_param(config::merge_tree_first_level_size_param_name, "24");
  c.set_param(config::merge_tree_fanout_param_name, "2");
  return true;
}

}  // namespace ombrel::testing::tree_rows
