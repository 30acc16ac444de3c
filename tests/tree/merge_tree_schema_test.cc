#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "model/big_decimal.h"
#include "model/big_integer.h"
#include "model/binary_tuple_builder.h"
#include "model/binary_tuple_parser.h"
#include "model/file_system.h"
#include "native/config.h"
#include "tests/support/fault_file_system.h"
#include "tests/support/test_dir.h"
#include "tests/support/testing.h"
#include "tests/support/unsynced_file_system.h"
#include "tests/tree/tree_checks.h"
#include "tests/tree/tree_test_util.h"
#include "tree/merge_tree.h"
#include "tree/merge_tree_iterator.h"

namespace ombrel {
namespace {

using testing::fault_file_system;
using testing::fs_op;
using testing::tree_rows::expect_tidy;
using testing::tree_rows::key;
using testing::tree_rows::memtable_limit;
using testing::tree_rows::message_of;
using testing::tree_rows::use_small_levels;
using testing::tree_rows::view;

// Small mem-tables and levels, so that a few hundred rows lie in several levels.
const bool small_tree = use_small_levels();

std::string hex(bytes_view v) {
  std::string out;
  for (const std::byte b : v) out += fmt::format("{:02x}", std::to_integer<unsigned>(b));
  return out;
}

template <typename T>
std::string hex_of(const T& number) {
  std::vector<std::byte> bytes(number.byte_size());
  number.store_bytes(bytes.data());
  return hex(view(bytes));
}

// Values as text, one cell per column; nullopt for null.
using cells = std::vector<std::optional<std::string>>;

struct model_column {
  std::string name;
  ombrel_type type;
  bool nullable;
};

std::optional<std::string> element_text(ombrel_type type, bytes_view v) {
  if (v.size() == 0) return std::nullopt;
  switch (type) {
    case INT32:
      return std::to_string(binary_tuple_parser::get_int32(v));
    case INT64:
      return std::to_string(binary_tuple_parser::get_int64(v));
    case DOUBLE:
      return fmt::format("{}", binary_tuple_parser::get_double(v));
    case STRING:
      return std::string(binary_tuple_parser::get_varlen(v).as_string());
    default:
      return hex(v);  // DECIMAL and NUMBER: their bytes
  }
}

std::optional<std::string> material_text(ombrel_type type, const std::optional<bytes_view>& v) {
  if (!v) return std::nullopt;
  auto load = [&](auto value) {
    std::memcpy(&value, v->data, sizeof(value));
    return value;
  };
  switch (type) {
    case INT32:
      return std::to_string(load(int32_t{}));
    case INT64:
      return std::to_string(load(int64_t{}));
    case DOUBLE:
      return fmt::format("{}", load(double{}));
    case STRING:
      return std::string(v->as_string());
    default:
      return hex(*v);
  }
}

// Every version of every row in the current shape: what the tree must answer like.
class model {
 public:
  std::vector<model_column> columns{
      {"id", INT64, false}, {"name", STRING, true}, {"n", INT32, true}};
  std::map<int64_t, std::map<tx_timestamp, std::optional<cells>>> versions;

  schema_descriptor schema() const {
    schema_descriptor s;
    std::vector<uint32_t> positions;
    for (const auto& c : columns) {
      s.columns.emplace_back(c.name, column_info::of_type(c.type, c.nullable));
      positions.push_back(positions.empty() ? 0 : NO_COLUMN);
    }
    s.initialize_positions(positions);
    return s;
  }
  size_t index(const std::string& name) const {
    for (size_t c = 0; c < columns.size(); ++c) {
      if (columns[c].name == name) return c;
    }
    throw std::logic_error("no column " + name);
  }
  std::optional<cells> at(tx_timestamp ts, int64_t id) const {
    auto k = versions.find(id);
    if (k == versions.end()) return std::nullopt;
    auto v = k->second.upper_bound(ts);
    if (v == k->second.begin()) return std::nullopt;
    return std::prev(v)->second;
  }
  // Applies `f` to every live version.
  void for_each_row(const std::function<void(cells&)>& f) {
    for (auto& [id, by_ts] : versions) {
      for (auto& [ts, row] : by_ts) {
        if (row) f(*row);
      }
    }
  }
  void map_column(
      size_t c,
      const std::function<std::optional<std::string>(const std::optional<std::string>&)>& f) {
    for_each_row([&](cells& row) { row[c] = f(row[c]); });
  }
  void add(model_column column, std::optional<std::string> value) {
    columns.push_back(column);
    for_each_row([&](cells& row) { row.push_back(value); });
  }
  void drop(const std::string& name) {
    const size_t c = index(name);
    columns.erase(columns.begin() + static_cast<long>(c));
    for_each_row([&](cells& row) { row.erase(row.begin() + static_cast<long>(c)); });
  }
};

std::vector<std::byte> build_row(const model& m, const cells& row) {
  binary_tuple_builder b(static_cast<int32_t>(row.size()));
  for (int pass = 0; pass < 2; ++pass) {
    if (pass == 0)
      b.start();
    else
      b.layout();
    for (size_t c = 0; c < row.size(); ++c) {
      const ombrel_type type = m.columns[c].type;
      if (!row[c]) {
        pass == 0 ? b.claim_null() : b.append_null();
        continue;
      }
      const std::string& v = *row[c];
      switch (type) {
        case INT32:
          pass == 0 ? b.claim_int32(std::stoi(v)) : b.append_int32(std::stoi(v));
          break;
        case INT64:
          pass == 0 ? b.claim_int64(std::stoll(v)) : b.append_int64(std::stoll(v));
          break;
        case DOUBLE:
          pass == 0 ? b.claim_double(std::stod(v)) : b.append_double(std::stod(v));
          break;
        case STRING: {
          const bytes_view s(v.data(), v.size());
          pass == 0 ? b.claim_varlen(s) : b.append_varlen(s);
          break;
        }
        case DECIMAL:
          pass == 0 ? b.claim_number(big_decimal()) : b.append_number(big_decimal());
          break;
        default: {  // NUMBER: random_value writes only 7
          const big_integer n(7);
          pass == 0 ? b.claim_number(n) : b.append_number(n);
        }
      }
    }
  }
  return b.buffer();
}

// A value of `column` for a write at `ts`.
std::optional<std::string> random_value(const model_column& column, tx_timestamp ts,
                                        std::mt19937& rng) {
  if (column.nullable && rng() % 5 == 0) return std::nullopt;
  const int r = static_cast<int>(rng() % 2001) - 1000;
  switch (column.type) {
    case INT32:
    case INT64:
      return std::to_string(r);
    case DOUBLE:
      return fmt::format("{}", r / 4.0);
    case STRING:
      return rng() % 7 == 0 ? std::string() : "v" + std::to_string(ts);
    case DECIMAL:
      return hex_of(big_decimal());
    default:
      return hex_of(big_integer(7));
  }
}

void write_random(merge_tree& tree, model& m, std::mt19937& rng, tx_timestamp& ts, int count) {
  for (int i = 0; i < count; ++i) {
    ++ts;
    const int64_t id = static_cast<int64_t>(rng() % 50);
    if (rng() % 4 == 0) {
      const bool live = m.at(TX_TIMESTAMP_LATEST, id).has_value();
      ASSERT_EQ(tree.remove(ts, uuid{0, ts}, view(key(id))), live);
      if (live) m.versions[id][ts] = std::nullopt;
      continue;
    }
    cells row{std::to_string(id)};
    for (size_t c = 1; c < m.columns.size(); ++c)
      row.push_back(random_value(m.columns[c], ts, rng));
    tree.upsert(ts, uuid{0, ts}, view(build_row(m, row)));
    m.versions[id][ts] = row;
  }
}

std::string show(const std::optional<cells>& row) {
  if (!row) return "-";
  std::string out;
  for (const auto& c : *row) out += "|" + c.value_or("null");
  return out;
}

std::optional<cells> read_row(merge_tree& tree, const model& m, tx_timestamp ts, int64_t id) {
  const std::vector<std::byte> found = tree.read(ts, view(key(id)));
  if (found.empty()) return std::nullopt;
  binary_tuple_parser p(static_cast<uint32_t>(m.columns.size()), view(found));
  cells row;
  for (const auto& c : m.columns) row.push_back(element_text(c.type, p.get_next()));
  return row;
}

std::vector<std::string> scan(merge_tree_iterator& it, const model& m) {
  std::vector<std::string> rows;
  while (it.get_next([&](const row_values& values) {
    cells row;
    for (size_t c = 0; c < values.size(); ++c)
      row.push_back(material_text(m.columns[c].type, values[c]));
    rows.push_back(show(row));
  })) {
  }
  return rows;
}

std::vector<std::string> expected_scan(const model& m, tx_timestamp ts) {
  std::vector<std::string> rows;
  for (const auto& [id, by_ts] : m.versions) {
    if (auto row = m.at(ts, id)) rows.push_back(show(row));
  }
  return rows;
}

// Point reads of every version at every timestamp where an answer may change, and scans.
void expect_same(merge_tree& tree, const model& m, const std::string& when) {
  ASSERT_EQ(tree.get_schema(), m.schema()) << when;
  std::set<tx_timestamp> scan_points{TX_TIMESTAMP_LATEST};
  for (const auto& [id, by_ts] : m.versions) {
    std::set<tx_timestamp> points{TX_TIMESTAMP_LATEST};
    for (const auto& [t, v] : by_ts) points.insert({t, t - 1});
    for (tx_timestamp ts : points) {
      ASSERT_EQ(show(read_row(tree, m, ts, id)), show(m.at(ts, id)))
          << when << ": key " << id << " at " << ts;
    }
    if (id % 10 == 0 && !by_ts.empty()) scan_points.insert(by_ts.begin()->first);
  }
  for (tx_timestamp ts : scan_points) {
    auto it = tree.get_iterator(ts, nullptr);
    ASSERT_EQ(it->schema()->columns, m.schema().columns) << when;
    ASSERT_EQ(scan(*it, m), expected_scan(m, ts)) << when << ": scan at " << ts;
  }
}

size_t segment_count(merge_tree& tree) {
  size_t n = 0;
  for (const level& l : tree.get_state()->levels) n += l.size();
  return n;
}

const segment& first_segment(const tree_state& state) {
  for (const level& l : state.levels) {
    if (!l.empty()) return *l.front();
  }
  throw std::logic_error("no segment");
}

// The first segment of the deepest level: the flush that starts a change leaves it alone.
const segment& deepest_segment(const tree_state& state) {
  for (auto l = state.levels.rbegin(); l != state.levels.rend(); ++l) {
    if (!l->empty()) return *l->front();
  }
  throw std::logic_error("no segment");
}

struct change {
  std::string what;
  std::function<void(merge_tree&)> tree_side;
  std::function<void(model&)> model_side;
};

// Adding `column`, whose value in the rows there are is `value`.
change addition(const model_column& column, std::optional<std::string> value) {
  return {"add " + column.name,
          [=](merge_tree& t) {
            t.add_column({column.name, column_info::of_type(column.type, column.nullable)});
          },
          [=](model& m) { m.add(column, value); }};
}

std::vector<change> changes() {
  return {
      addition({"d", DECIMAL, false}, hex_of(big_decimal())),
      addition({"k", NUMBER, false}, hex_of(big_integer())),
      {"n INT32 to INT64",
       [](merge_tree& t) { t.modify_column("n", column_info::of_type(INT64, true)); },
       [](model& m) {
         const size_t c = m.index("n");
         m.columns[c].type = INT64;
         // The 4 bytes copied into 8 without sign extension.
         m.map_column(c, [](const std::optional<std::string>& v) -> std::optional<std::string> {
           if (!v) return v;
           return std::to_string(static_cast<uint32_t>(std::stoi(*v)));
         });
       }},
      {"n not null",
       [](merge_tree& t) { t.modify_column("n", column_info::of_type(INT64, false)); },
       [](model& m) {
         const size_t c = m.index("n");
         m.columns[c].nullable = false;
         m.map_column(c, [](const std::optional<std::string>& v) { return v.value_or("0"); });
       }},
      {"rename name to label", [](merge_tree& t) { t.rename_column("name", "label"); },
       [](model& m) { m.columns[m.index("name")].name = "label"; }},
      {"drop label", [](merge_tree& t) { t.drop_column("label"); },
       [](model& m) { m.drop("label"); }},
      addition({"label", STRING, true}, std::nullopt),
      {"n INT64 to DOUBLE",
       [](merge_tree& t) { t.modify_column("n", column_info::of_type(DOUBLE, false)); },
       [](model& m) {
         const size_t c = m.index("n");
         m.columns[c].type = DOUBLE;
         m.map_column(c, [](const std::optional<std::string>& v) {
           return fmt::format("{}", static_cast<double>(std::stoll(*v)));
         });
       }},
  };
}

TEST(MergeTreeSchemaTest, EveryVersionReadsBackInTheNewShapeAcrossRestartsAndMerges) {
  const uint64_t seed = testing::test_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  testing::test_dir dir;
  const memtable_limit limit(16);
  testing::unsynced_file_system unsynced;
  const scoped_file_system installed(unsynced);
  model m;
  auto tree = std::make_unique<merge_tree>(m.schema(), dir / "t");
  tx_timestamp ts = 0;
  for (const change& c : changes()) {
    SCOPED_TRACE(c.what);
    write_random(*tree, m, rng, ts, 150);
    tree->make_full_compaction();
    write_random(*tree, m, rng, ts, 30);  // one flush into level 0, the rest in a mem-table
    if (HasFatalFailure()) return;
    // Rows in mem-tables and in more than one level meet the change.
    tree->block_tree_wait();  // waits for a flush in flight
    size_t levels_with_rows = 0;
    for (const level& l : tree->get_state()->levels) levels_with_rows += !l.empty();
    EXPECT_GE(levels_with_rows, 2u);
    EXPECT_FALSE(tree->get_state()->memtables.empty());
    const model before = m;
    // A scan begun before the change keeps its snapshot and its shape.
    auto early = tree->get_iterator(TX_TIMESTAMP_LATEST, nullptr);
    auto old_state = tree->get_state();
    c.tree_side(*tree);
    c.model_side(m);
    auto new_state = tree->get_state();
    EXPECT_TRUE(new_state->memtables.empty());
    // The key column is carried over, not copied: both directories name one file.
    const std::filesystem::path old_key = deepest_segment(*old_state).directory() / "id.bin";
    const std::filesystem::path new_key = deepest_segment(*new_state).directory() / "id.bin";
    EXPECT_NE(old_key, new_key);
    EXPECT_TRUE(std::filesystem::equivalent(old_key, new_key));
    EXPECT_EQ(scan(*early, before), expected_scan(before, TX_TIMESTAMP_LATEST));
    early.reset();
    old_state.reset();
    new_state.reset();
    expect_same(*tree, m, "after the change");
    expect_tidy(*tree);
    tree.reset();
    tree = std::make_unique<merge_tree>(dir / "t");
    expect_same(*tree, m, "after a restart");
    write_random(*tree, m, rng, ts, 60);
    tree->make_full_compaction();
    expect_same(*tree, m, "after new rows and a full compaction");
    if (HasFatalFailure()) return;
  }
  tree.reset();
  merge_tree reopened(dir / "t");
  expect_same(reopened, m, "at the end");
  expect_tidy(reopened);
}

// A tree of the model's schema with rows in two levels and in a mem-table.
std::unique_ptr<merge_tree> filled_tree(const std::filesystem::path& path, model& m,
                                        tx_timestamp& ts) {
  std::mt19937 rng(7);
  auto tree = std::make_unique<merge_tree>(m.schema(), path);
  write_random(*tree, m, rng, ts, 60);
  tree->make_full_compaction();
  write_random(*tree, m, rng, ts, 40);
  tree->block_tree_wait();
  return tree;
}

TEST(MergeTreeSchemaTest, RefusalsComeBeforeAnyWorkAndNoOpsWriteNothing) {
  testing::test_dir dir;
  const memtable_limit limit(1000);
  model m;
  tx_timestamp ts = 0;
  std::mt19937 rng(1);
  // Rows only in a mem-table: no segment could raise the key errors.
  auto tree = std::make_unique<merge_tree>(m.schema(), dir / "t");
  write_random(*tree, m, rng, ts, 20);
  fault_file_system fs;
  {
    const scoped_file_system installed(fs);
    const column_info int32 = column_info::of_type(INT32, true);
    const std::string long_name(252, 'x');  // "<name>.bin" takes 256 bytes
    const auto add = [&](std::string name, column_info info) {
      return [&tree, name, info] { tree->add_column({name, info}); };
    };
    const std::vector<std::pair<std::function<void()>, std::string>> refused = {
        {[&] { tree->drop_column("id"); }, "Cannot drop a key column"},
        {[&] { tree->modify_column("id", int32); }, "Cannot modify a key column"},
        {[&] { tree->drop_column("nope"); }, "Column nope not found"},
        {[&] { tree->modify_column("nope", int32); }, "Column nope not found"},
        {[&] { tree->rename_column("nope", "x"); }, "Column nope not found"},
        {[&] { tree->rename_column("n", "name"); }, "Column name already exists"},
        {add("n", int32), "Column n already exists"},
        {add("z", column_info::of_type(NONE, true)), "A column cannot have type NONE"},
        {[&] { tree->modify_column("n", column_info::of_type(NONE, true)); },
         "A column cannot have type NONE"},
        {add("a/b", int32), "Invalid name of column 3 \"a/b\": contains '/'"},
        {add(std::string("a\0b", 3), int32),
         "Invalid name of column 3 \"a\\x00b\": contains a zero byte"},
        {add("..", int32), "Invalid name of column 3 \"..\": names a directory"},
        {add(long_name, int32), "Invalid name of column 3 \"" + long_name +
                                    "\": its file name takes 256 bytes, more than 255"},
        {[&] { tree->rename_column("n", "."); },
         "Invalid name of column 2 \".\": names a directory"},
    };
    for (const auto& [call, message] : refused) EXPECT_EQ(message_of(call), message);
    // No-ops: renaming to the same name, retyping to the same type and nullability.
    tree->rename_column("n", "n");
    tree->modify_column("n", column_info{INT32, 4, true, false, 7, 7, 7});
    for (fs_op op : {fs_op::open, fs_op::write, fs_op::rename, fs_op::mkdir, fs_op::link}) {
      EXPECT_EQ(fs.count(op), 0u) << static_cast<int>(op);
    }
  }
  EXPECT_EQ(tree->get_schema(), m.schema());
  EXPECT_EQ(segment_count(*tree), 0u);
  expect_same(*tree, m, "after the refusals");
  // A dropped tree changes nothing and does not throw.
  ASSERT_TRUE(tree->mark_as_dropped());
  tree->add_column({"z", column_info::of_type(INT32, true)});
  tree->drop_column("n");
  EXPECT_EQ(tree->get_schema(), m.schema());
}

TEST(MergeTreeSchemaTest, EveryUnflushedRowSetIsWrittenOutBeforeTheChange) {
  testing::test_dir dir;
  const memtable_limit limit(8);
  model m;
  tx_timestamp ts = 0;
  std::mt19937 rng(2);
  fault_file_system fs;  // outlives the tree and its background flushes
  auto tree = std::make_unique<merge_tree>(m.schema(), dir / "t");
  {
    // Background flushes fail: each full row set stays unflushed behind a newer one.
    const scoped_file_system installed(fs);
    fs.fail_matching(fs_op::mkdir, "/t/", EIO);
    write_random(*tree, m, rng, ts, 40);
    tree->block_tree_wait();  // the last flush attempt has ended
    fs.clear_faults();
  }
  size_t unflushed = 0;
  for (const auto& rows : tree->get_state()->memtables) unflushed += !rows->is_flushed();
  EXPECT_GE(unflushed, 2u);
  tree->add_column({"z", column_info::of_type(INT32, false)});
  m.add({"z", INT32, false}, "0");
  EXPECT_TRUE(tree->get_state()->memtables.empty());
  expect_same(*tree, m, "after the change");
  tree.reset();
  merge_tree reopened(dir / "t");
  expect_same(reopened, m, "after a restart");
}

TEST(MergeTreeSchemaTest, RecoveryAdoptsTheSegmentsSchemaAndRefusesMixedOnes) {
  testing::test_dir dir;
  const memtable_limit limit(16);
  model m;
  tx_timestamp ts = 0;
  auto tree = filled_tree(dir / "t", m, ts);
  const std::vector<std::byte> old_schema = m.schema().serialize();
  tree->rename_column("name", "label");
  m.columns[m.index("name")].name = "label";
  ASSERT_GE(segment_count(*tree), 2u);
  tree.reset();
  // As if the process stopped after the layout commit, before "schema" was replaced.
  files::replace_file(dir / "t" / "schema", dir / "t" / "schema_tmp", old_schema);
  tree = std::make_unique<merge_tree>(dir / "t");
  expect_same(*tree, m, "after adopting");
  EXPECT_EQ(*load_schema_from_file(dir / "t" / "schema"), m.schema());
  const std::filesystem::path one = first_segment(*tree->get_state()).directory();
  tree.reset();
  // One segment of another schema: the tree refuses to open, naming that segment (whose
  // files no longer match its schema).
  files::replace_file(one / std::string(segment::SCHEMA_FILENAME), one / "_schema_tmp", old_schema);
  const std::string refusal = message_of([&] { merge_tree t(dir / "t"); });
  EXPECT_EQ(refusal, "Could not load merge-tree from directory \"" + (dir / "t").string() +
                         "\" : Damaged segment " + one.string() + ": " +
                         (one / "name.bin").string() + ": No such file or directory");
}

// Each failed call of a change leaves the tree wholly old or wholly new, live and after a
// power loss and a restart.
TEST(MergeTreeSchemaTest, EveryFailedCallOfAChangeLeavesTheOldOrTheNewTree) {
  const memtable_limit limit(16);
  // Layers outlive the test: a pool thread may still be inside one (a replaced segment
  // deleting its directory) when its scope ends.
  testing::unsynced_file_system unsynced;
  std::vector<std::unique_ptr<fault_file_system>> layers;
  const std::vector<change> all = {
      changes()[2],  // a column rewritten
      {"drop name", [](merge_tree& t) { t.drop_column("name"); }, [](model& m) { m.drop("name"); }},
  };
  for (const change* c : {&all[0], &all[1]}) {
    SCOPED_TRACE(c->what);
    std::map<fs_op, uint64_t> calls;
    // Returns whether the change threw.
    auto scenario = [&](bool count, fs_op op, uint64_t n) {
      testing::test_dir dir;
      model before;
      tx_timestamp ts = 0;
      std::unique_ptr<merge_tree> tree;
      {
        const scoped_file_system installed(unsynced);  // what the fault layer sees is durable
        tree = filled_tree(dir / "t", before, ts);
      }
      model after = before;
      c->model_side(after);
      fault_file_system& fs = *layers.emplace_back(std::make_unique<fault_file_system>());
      bool failed = false;
      {
        const scoped_file_system installed(fs);
        if (count) {
          c->tree_side(*tree);
          for (fs_op o : testing::tree_rows::CHANGE_OPS) calls[o] = fs.count(o);
        } else {
          fs.fail_nth(op, n, op == fs_op::write ? ENOSPC : EIO);
          try {
            c->tree_side(*tree);
          } catch (const std::exception&) {
            failed = true;
          }
          fs.clear_faults();
          expect_same(*tree, failed ? before : after, "live after the failure");
          tree.reset();
          fs.simulate_power_loss();
        }
      }
      tree.reset();
      merge_tree reopened(dir / "t");
      const bool is_new = reopened.get_schema() == after.schema();
      // A change that returned is durable; one that threw may have reached its commit.
      if (!failed) {
        EXPECT_TRUE(is_new);
      }
      expect_same(reopened, is_new ? after : before, "reopened");
      return failed;
    };
    scenario(true, fs_op::open, 0);
    // The first calls of each kind, then a sample: real syncs make each run slow.
    testing::tree_rows::fail_each_call(
        calls, 4, [&](fs_op op, uint64_t n) { return scenario(false, op, n); });
    if (HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace ombrel
