#include "tree/merge_tree_iterator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "model/big_decimal.h"
#include "model/big_integer.h"
#include "native/errors.h"
#include "tests/memtable/memtable_fakes.h"
#include "tests/segment/segment_test_util.h"
#include "tests/support/test_dir.h"
#include "tests/support/testing.h"
#include "tree/thread_pool.h"

namespace ombrel {
namespace {

using testing::cell;
using testing::fake_tree;
using testing::test_table;

constexpr auto WAIT = std::chrono::seconds(20);

// (v INT64 nullable, name STRING key 0, n INT64 key 1, s STRING nullable), or with n alone as
// the key.
schema_descriptor scan_schema(bool int_key = false) {
  return testing::make_schema({testing::column("v", INT64, true), testing::column("name", STRING),
                               testing::column("n", INT64), testing::column("s", STRING, true)},
                              {NO_COLUMN, int_key ? NO_COLUMN : 0u, int_key ? 0u : 1u, NO_COLUMN});
}

// The name and n cells for a key number; key numbers sort like their keys (of either schema).
std::vector<cell> key_cells(int64_t key, bool int_key = false) {
  char name[32];
  std::snprintf(name, sizeof name, "key%05lld", static_cast<long long>(key / 3));
  return {std::string(name), int_key ? key : key % 3 - 1};
}

// Rows written out as a segment.
class segment_writer : public testing::test_mem_table {
 public:
  explicit segment_writer(const test_table& table)
      : test_mem_table(table.schema), schema_(table.schema) {}
  std::shared_ptr<segment> write(const std::filesystem::path& dir) {
    return std::make_shared<segment>(dir, schema_, get());
  }

 private:
  const schema_descriptor& schema_;
};

// Inserts through a row set's writer, removals included (the tree would refuse removals of
// rows it cannot see).
void insert(const std::shared_ptr<row_set>& rows, const testing::parsed_row& r, tx_timestamp ts) {
  auto u = rows->get_memtable_updater();
  ASSERT_TRUE(u);
  ASSERT_TRUE(u.ensure_tuple_size(r.parsed->material_size()));
  u.insert(*r.parsed, ts, uuid{ts, 0});
}

// Every row a scan delivers, one string per row; taken in runs of at most `max_run` rows
// where the scan has them, when that is not 0.
std::vector<std::string> scan_all(merge_tree_iterator& it, uint32_t max_run = 0) {
  std::vector<std::string> rows;
  const abstract_iterator::row_callback add = [&](const row_values& values) {
    std::string text;
    for (const auto& v : values) text += "|" + (v ? std::string(v->as_string()) : "null");
    rows.push_back(text);
  };
  if (max_run == 0) {
    while (it.get_next(add)) {
    }
    return rows;
  }
  row_values row;
  const auto add_run = [&](const row_run& run) {
    EXPECT_LE(run.count, max_run);
    row.resize(run.column_count);
    for (uint32_t r = run.first; r < run.first + run.count; ++r) {
      for (size_t j = 0; j < run.column_count; ++j) row[j] = run.columns[j]->value(r);
      add(row);
    }
  };
  while (it.get_next_run(add_run, add, max_run)) {
  }
  return rows;
}

// The picked columns of a row as scan_all prints them.
std::string text_of(const std::vector<cell>& cells, const std::vector<unsigned>& columns) {
  std::string text;
  for (unsigned c : columns) {
    text += "|";
    if (!cells[c]) {
      text += "null";
    } else if (const auto* i = std::get_if<int64_t>(&*cells[c])) {
      text += std::string(reinterpret_cast<const char*>(i), 8);
    } else {
      text += std::get<std::string>(*cells[c]);
    }
  }
  return text;
}

struct version {
  int64_t key;
  tx_timestamp ts;
  uint32_t source;  // mem-tables first (newest first), then the levels from 0
  bool removal;
  std::vector<cell> cells;  // the row, declaration order
};

TEST(MergeTreeIteratorTest, ScansAgreeWithTheModelAtEveryTimestampAndProjection) {
  const uint64_t seed = testing::test_seed();
  RecordProperty("seed", std::to_string(seed));
  std::mt19937_64 rng(seed);
  auto uniform = [&](int64_t lo, int64_t hi) {
    return std::uniform_int_distribution<int64_t>(lo, hi)(rng);
  };

  for (int world = 0; world < 4; ++world) {
    SCOPED_TRACE("world " + std::to_string(world) + " of seed " + std::to_string(seed));
    // A key of one INT64 column is ordered by the integer itself.
    const bool int_key = world % 2 == 1;
    testing::test_dir dir;
    mem_table_buffer_pool pool(1 << 20, uint64_t{1} << 30);
    fake_tree tree(scan_schema(int_key), pool);
    const test_table& table = tree.table();
    const uint32_t mems = static_cast<uint32_t>(uniform(0, 3));
    const uint32_t levels = static_cast<uint32_t>(uniform(1, 3));
    const int64_t keys = uniform(1, 80);

    // Versions: equal timestamps across sources, never within one.
    std::vector<version> versions;
    int64_t next_value = 0;
    for (int64_t k = 0; k < keys; ++k) {
      std::map<std::pair<uint32_t, tx_timestamp>, bool> used;
      for (int64_t n = uniform(0, 5); n > 0; --n) {
        version v{k,
                  uniform(1, 30),
                  static_cast<uint32_t>(uniform(0, mems + levels - 1)),
                  uniform(0, 4) == 0,
                  {}};
        if (!used.emplace(std::pair(v.source, v.ts), true).second) continue;
        const auto kc = key_cells(k, int_key);
        std::optional<std::string> s;
        if (uniform(0, 3) != 0) s = std::string(static_cast<size_t>(uniform(0, 40)), 'a' + k % 26);
        v.cells = {uniform(0, 5) == 0 ? cell() : cell(next_value++), kc[0], kc[1],
                   s ? cell(*s) : cell()};
        versions.push_back(std::move(v));
      }
    }

    // Mem-tables (with an empty one among them), then levels cut into segments at random
    // points, so that the versions of a key may straddle two segments.
    auto state = std::make_shared<tree_state>();
    const auto written = [&](const version& v) {
      if (!v.removal) return table.row(v.cells);
      return int_key ? table.removal({v.cells[2]}) : table.removal({v.cells[1], v.cells[2]});
    };
    std::vector<std::shared_ptr<row_set>> mem_sets;
    for (uint32_t m = 0; m < mems; ++m) {
      mem_sets.push_back(tree.new_row_set());
      state->memtables.push_back(mem_sets.back());
      if (m == 0) state->memtables.push_back(tree.new_row_set());
    }
    for (const version& v : versions) {
      if (v.source >= mems) continue;
      insert(mem_sets[v.source], *written(v), v.ts);
    }
    for (uint32_t l = 0; l < levels; ++l) {
      std::vector<const version*> mine;
      for (const version& v : versions) {
        if (v.source == mems + l) mine.push_back(&v);
      }
      std::sort(mine.begin(), mine.end(), [](const version* a, const version* b) {
        return a->key != b->key ? a->key < b->key : a->ts > b->ts;
      });
      level built;
      size_t begin = 0;
      while (begin < mine.size()) {
        const size_t end = std::min(mine.size(), begin + static_cast<size_t>(uniform(1, 12)));
        segment_writer writer(table);
        for (size_t i = begin; i < end; ++i) {
          const version& v = *mine[i];
          writer.insert(*written(v), v.ts);
        }
        built.push_back(
            writer.write(dir / ("l" + std::to_string(l) + "s" + std::to_string(begin))));
        begin = end;
      }
      state->levels.push_back(std::move(built));
      if (uniform(0, 2) == 0) state->levels.emplace_back();  // an empty level is no source
    }

    std::vector<tx_timestamp> timestamps{0, TX_TIMESTAMP_LATEST};
    for (tx_timestamp t = 1; t <= 31; t += uniform(1, 3)) timestamps.push_back(t);
    for (tx_timestamp ts : timestamps) {
      for (int p = 0; p < 3; ++p) {
        bitset projection(static_cast<uint64_t>(uniform(0, 6)), false);
        std::vector<unsigned> columns;
        for (uint64_t c = 0; c < projection.size(); ++c) {
          if (uniform(0, 1) == 1) {
            projection.set(c);
            if (c < 4) columns.push_back(static_cast<unsigned>(c));
          }
        }
        const bool all = p == 0;
        if (all) columns = {0, 1, 2, 3};
        std::vector<std::string> expected;
        for (int64_t k = 0; k < keys; ++k) {
          const version* best = nullptr;
          for (const version& v : versions) {
            if (v.key != k || v.ts > ts) continue;
            if (!best || v.ts > best->ts || (v.ts == best->ts && v.source < best->source))
              best = &v;
          }
          if (best && !best->removal) expected.push_back(text_of(best->cells, columns));
        }
        merge_tree_iterator it(table.schema, state, ts, all ? nullptr : &projection);
        const auto max_run = static_cast<uint32_t>(p == 1 ? uniform(1, 6) : 0);
        ASSERT_EQ(scan_all(it, max_run), expected)
            << "timestamp " << ts << ", projection " << p << ", runs of " << max_run;
      }
    }
  }
}

TEST(MergeTreeIteratorTest, MergeOrderHoldsAtSegmentStartsAndForTypedKeys) {
  testing::test_dir dir;
  mem_table_buffer_pool pool(1 << 20, uint64_t{1} << 30);
  {
    // The level runs fast-forward through its first segment; the next one starts with the key
    // the mem-table holds a newer version of.
    fake_tree tree(scan_schema(), pool);
    const test_table& t = tree.table();
    auto row = [&](int64_t k, int64_t v) {
      const auto kc = key_cells(k);
      return t.row({v, kc[0], kc[1], cell()});
    };
    auto state = std::make_shared<tree_state>();
    state->memtables.push_back(tree.new_row_set());
    insert(state->memtables[0], *row(3, 50), 50);
    level l;
    for (auto [first, ts_of_3] : {std::pair{1, 0}, std::pair{3, 10}}) {
      segment_writer w(t);
      w.insert(*row(first, first * 100 + ts_of_3), ts_of_3 ? ts_of_3 : 5);
      w.insert(*row(first + 1, (first + 1) * 100), 5);
      l.push_back(w.write(dir / ("s" + std::to_string(first))));
    }
    state->levels.push_back(l);
    merge_tree_iterator it(t.schema, state, TX_TIMESTAMP_LATEST, nullptr);
    std::vector<int64_t> values;
    while (it.get_next([&](const row_values& r) { values.push_back(testing::int_of(r[0])); })) {
    }
    EXPECT_EQ(values, (std::vector<int64_t>{100, 200, 50, 400}));
  }
  // DECIMAL 1.5 and 1.50, FLOAT -0.0 and 0.0: one key each, the newer version wins.
  struct typed_case {
    ombrel_type type;
    std::function<void(binary_tuple_builder&, bool newer, bool claim)> put;
  };
  const typed_case cases[] = {{DECIMAL,
                               [](binary_tuple_builder& b, bool newer, bool claim) {
                                 const big_decimal d = newer ? big_decimal(big_integer(15), 1)
                                                             : big_decimal(big_integer(150), 2);
                                 claim ? b.claim_number(d) : b.append_number(d);
                               }},
                              {FLOAT, [](binary_tuple_builder& b, bool newer, bool claim) {
                                 const float f = newer ? 0.0f : -0.0f;
                                 claim ? b.claim_float(f) : b.append_float(f);
                               }}};
  for (const typed_case& c : cases) {
    SCOPED_TRACE(c.type);
    fake_tree tree(testing::make_schema({testing::column("k", c.type), testing::column("v", INT64)},
                                        {0, NO_COLUMN}),
                   pool);
    const test_table& t = tree.table();
    auto state = std::make_shared<tree_state>();
    for (bool newer : {true, false}) {
      binary_tuple_builder b(2);
      b.start();
      c.put(b, newer, true);
      b.claim_int64(newer);
      b.layout();
      c.put(b, newer, false);
      b.append_int64(newer);
      testing::parsed_row r;
      r.bytes = b.release();
      r.parsed.emplace(t.row_tuple, t.row_material, bytes_view(r.bytes.size(), r.bytes.data()),
                       false);
      state->memtables.push_back(tree.new_row_set());
      insert(state->memtables.back(), r, newer ? 20 : 10);
    }
    for (auto [ts, expected] : {std::pair<tx_timestamp, int64_t>{30, 1}, {15, 0}}) {
      merge_tree_iterator it(t.schema, state, ts, nullptr);
      std::vector<int64_t> values;
      while (it.get_next([&](const row_values& r) { values.push_back(testing::int_of(r[1])); })) {
      }
      EXPECT_EQ(values, std::vector<int64_t>{expected}) << "at " << ts;
    }
  }
}

TEST(MergeTreeIteratorTest, FailuresStickLocksAreReleasedAndExhaustionLetsGo) {
  testing::test_dir dir;
  mem_table_buffer_pool pool(1 << 20, uint64_t{1} << 30);
  fake_tree tree(scan_schema(), pool);
  const test_table& t = tree.table();
  auto row = [&](int64_t k) {
    const auto kc = key_cells(k);
    return t.row({k, kc[0], kc[1], cell()});
  };
  auto state = std::make_shared<tree_state>();
  state->memtables.push_back(tree.new_row_set());
  for (int64_t k = 0; k < 3; ++k) insert(state->memtables[0], *row(k), 1);
  segment_writer w(t);
  w.insert(*row(7), 1);
  state->levels.push_back({w.write(dir / "s")});
  const std::weak_ptr<tree_state> snapshot = state;
  const std::weak_ptr<segment> seg = state->levels[0][0];

  int closed = 0;
  {
    // A throwing callback leaves the mem-table free for writers, and the scan failed for good.
    merge_tree_iterator it(t.schema, state, TX_TIMESTAMP_LATEST, nullptr);
    EXPECT_THROW(it.get_next([](const row_values&) { throw errors::error("host gone"); }),
                 errors::error);
    auto writer = std::async(std::launch::async, [&] { insert(state->memtables[0], *row(9), 2); });
    ASSERT_EQ(writer.wait_for(WAIT), std::future_status::ready) << "the read lock was kept";
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(testing::message_of([&] { it.get_next([](const row_values&) {}); }), "host gone");
    }
    it.set_close_action([&] {
      ++closed;
      throw errors::error("close failed");
    });
  }
  EXPECT_EQ(closed, 1) << "a throwing close action is logged, not thrown";
  closed = 0;
  {
    auto it = std::make_unique<merge_tree_iterator>(t.schema, std::move(state), 5, nullptr);
    it->set_close_action([&] { ++closed; });
    int rows = 0;
    while (it->get_next([&](const row_values&) { ++rows; })) {
    }
    EXPECT_EQ(rows, 5);
    EXPECT_TRUE(snapshot.expired()) << "the exhausted scan still holds its snapshot";
    EXPECT_TRUE(seg.expired());
    EXPECT_FALSE(it->get_next([](const row_values&) {}));
    EXPECT_EQ(closed, 0);
    it.reset();
    EXPECT_EQ(closed, 1);
  }
}

TEST(MergeTreeIteratorTest, ValueColumnsAreReadOnlyWhereARowMayBeDelivered) {
  testing::test_dir dir;
  mem_table_buffer_pool pool(1 << 20, uint64_t{1} << 30);
  fake_tree tree(scan_schema(), pool);
  const test_table& t = tree.table();
  auto row = [&](int64_t k) {
    const auto kc = key_cells(k);
    return t.row({k, kc[0], kc[1], std::string("s")});
  };
  level l;
  for (int64_t s = 0; s < 3; ++s) {
    segment_writer w(t);
    w.insert(*row(2 * s), s == 1 ? 100 : 5);  // the middle segment: too new at 50 ...
    const auto kc = key_cells(2 * s + 1);
    w.insert(*t.removal({kc[0], kc[1]}), 5);  // ... or removed
    l.push_back(w.write(dir / std::to_string(s)));
  }
  for (unsigned c : {0u, 3u}) std::filesystem::remove(l[1]->columns()[c].path());
  auto state = std::make_shared<tree_state>();
  state->levels.push_back(l);

  merge_tree_iterator old(t.schema, state, 50, nullptr);
  std::vector<int64_t> keys;
  while (old.get_next([&](const row_values& r) { keys.push_back(testing::int_of(r[0])); })) {
  }
  EXPECT_EQ(keys, (std::vector<int64_t>{0, 4}));

  merge_tree_iterator latest(t.schema, state, TX_TIMESTAMP_LATEST, nullptr);
  ASSERT_TRUE(latest.get_next([](const row_values&) {}));
  const std::string failure =
      testing::message_of([&] { latest.get_next([](const row_values&) {}); });
  EXPECT_NE(failure, "<no exception>");
  EXPECT_EQ(testing::message_of([&] { latest.get_next([](const row_values&) {}); }), failure)
      << "a failed scan keeps its error";
}

TEST(MergeTreeIteratorTest, ScanDroppedWithReadAheadStillQueued) {
  testing::test_dir dir;
  mem_table_buffer_pool pool(1 << 20, uint64_t{1} << 30);
  fake_tree tree(scan_schema(), pool);
  const test_table& t = tree.table();
  level l;
  for (int64_t s = 0; s < 8; ++s) {
    segment_writer w(t);
    for (int64_t k = s * 4; k < s * 4 + 4; ++k) {
      const auto kc = key_cells(k);
      w.insert(*t.row({k, kc[0], kc[1], std::string("x")}), 1);
    }
    l.push_back(w.write(dir / std::to_string(s)));
  }
  auto state = std::make_shared<tree_state>();
  state->levels.push_back(l);
  for (int round = 0; round < 3; ++round) {
    auto it = std::make_unique<merge_tree_iterator>(t.schema, state, TX_TIMESTAMP_LATEST, nullptr);
    // Every worker waits, so the read-ahead scheduled from here on stays queued.
    std::promise<void> go;
    std::shared_future<void> released = go.get_future().share();
    thread_pool& workers = detail::get_async_pool();
    for (size_t i = 0; i < workers.size(); ++i) {
      workers.submit(std::packaged_task<void()>([released] { released.wait_for(WAIT); }));
    }
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(it->get_next([](const row_values&) {}));
    it.reset();
    go.set_value();
  }
  state.reset();
  l.clear();
}

TEST(MergeTreeIteratorConcurrencyTest, ScansStayCorrectWhileWritersAddNewerVersions) {
  mem_table_buffer_pool pool(1 << 20, uint64_t{1} << 30);
  fake_tree tree(scan_schema(), pool, fake_tree::executor::thread);
  const test_table& t = tree.table();
  constexpr int64_t KEYS = 300;
  auto base = tree.new_row_set();
  for (int64_t k = 0; k < KEYS; ++k) {
    const auto kc = key_cells(k);
    insert(base, *t.row({k, kc[0], kc[1], cell()}), 10);
  }
  // From here on mem-tables fill up quickly and flush while scans rest on them.
  testing::max_entries_scope small(64);
  std::mutex mutex;
  auto published = std::make_shared<tree_state>();
  published->memtables = {tree.new_row_set(), base};
  auto snapshot = [&] {
    std::scoped_lock lock(mutex);
    return published;
  };
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int64_t round = 0; !stop; ++round) {
      for (int64_t k = round % 7; k < KEYS && !stop; k += 7) {
        const auto kc = key_cells(k);
        const auto r = t.row({-k, kc[0], kc[1], std::string("newer")});
        auto u = snapshot()->memtables[0]->get_memtable_updater();
        if (u && u.ensure_tuple_size(r->parsed->material_size())) {
          u.insert(*r->parsed, 100 + round, uuid{});
          continue;
        }
        u.reset();
        // The newest mem-table is being written out: writes go to a fresh one.
        auto next = std::make_shared<tree_state>(*snapshot());
        next->memtables.insert(next->memtables.begin(), tree.new_row_set());
        std::scoped_lock lock(mutex);
        published = next;
      }
    }
  });
  for (int scan = 0; scan < 30; ++scan) {
    merge_tree_iterator it(t.schema, snapshot(), 50, nullptr);
    int64_t expected = 0;
    while (it.get_next([&](const row_values& r) {
      ASSERT_EQ(testing::int_of(r[0]), expected);
      ++expected;
    })) {
    }
    ASSERT_EQ(expected, KEYS) << "scan " << scan;
  }
  stop = true;
  writer.join();
  tree.join();
}

}  // namespace
}  // namespace ombrel
