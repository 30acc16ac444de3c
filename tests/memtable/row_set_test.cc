#include "memtable/row_set.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "memtable_fakes.h"
#include "native/log.h"
#include "tests/support/test_dir.h"

namespace ombrel {
namespace {

using testing::cell;
using testing::fake_tree;
using testing::file_text;
using testing::int_of;
using testing::message_of;
using testing::nested_message_of;
using testing::string_of;

// A row set on a private pool; every test ends with no mem-table cached anywhere.
class RowSetTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(row_set::cached_memtables(), 0u); }
  void TearDown() override {
    tree_.reset();
    EXPECT_EQ(row_set::cached_memtables(), 0u);
  }

  fake_tree& tree(fake_tree::executor mode = fake_tree::executor::inline_run) {
    if (!tree_) tree_ = std::make_unique<fake_tree>(testing::int_key_schema(), pool_, mode);
    return *tree_;
  }
  owned_material_tuple key(int64_t k) { return tree_->table().key({k}); }
  picked_columns all() { return picked_columns::all(tree_->schema()); }

  mem_table_buffer_pool pool_{64 * 1024, 64 * 64 * 1024};
  std::unique_ptr<fake_tree> tree_;
};

// The kind of a result and, for rows, the v column.
std::string describe(const search_result& r, size_t v = 1) {
  switch (r.index()) {
    case 0:
      return "none";
    case 1:
      return "upcoming";
    case 2:
      return "tombstone";
    default:
      return "v=" + std::to_string(int_of(std::get<flat_tuple>(r)[v]));
  }
}

TEST_F(RowSetTest, SearchAnswersVisibleVersionWithPickedColumnsBeforeAndAfterFlush) {
  fake_tree& t = tree();
  auto rows = t.new_row_set();
  EXPECT_TRUE(rows->is_empty());
  EXPECT_EQ(describe(rows->search(10, key(1).get(), all())), "none");
  t.upsert(rows, {1, 10, "ten"}, 10);
  t.upsert(rows, {1, 30, std::nullopt}, 30);
  t.upsert(rows, {1, 20, "twenty"}, 20);
  t.upsert(rows, {2, 5, "five"}, 5);
  {
    auto u = rows->get_memtable_updater();
    const auto removal = t.table().removal({2});
    ASSERT_TRUE(u.ensure_tuple_size(removal->parsed->material_size()));
    u.insert(*removal->parsed, 8, uuid{8, 9});
  }
  EXPECT_FALSE(rows->is_empty());
  EXPECT_EQ(rows->last_timestamp(), 8);
  EXPECT_EQ(rows->last_txid(), (uuid{8, 9}));

  // Once flushed, the written rows answer; they may tell that only newer versions exist.
  const struct {
    int64_t k;
    tx_timestamp at;
    const char* expected;
    const char* flushed;
  } cases[] = {{1, 25, "v=20", "v=20"},
               {1, 5, "none", "upcoming"},
               {1, 40, "v=30", "v=30"},
               {1, 10, "v=10", "v=10"},
               {2, 7, "v=5", "v=5"},
               {2, 8, "tombstone", "tombstone"},
               {2, 100, "tombstone", "tombstone"},
               {3, 100, "none", "none"}};
  for (bool flushed : {false, true}) {
    for (const auto& c : cases) {
      EXPECT_EQ(describe(rows->search(c.at, key(c.k).get(), all())),
                flushed ? c.flushed : c.expected)
          << c.k << " at " << c.at << (flushed ? " flushed" : "");
    }
    // Columns come in the picker's order; a null value is an empty optional.
    const auto picked = picked_columns::of(t.schema(), {2, 0});
    const auto r20 = std::get<flat_tuple>(rows->search(25, key(1).get(), picked));
    ASSERT_EQ(r20.size(), 2u);
    EXPECT_EQ(string_of(r20[0]), "twenty");
    EXPECT_EQ(int_of(r20[1]), 1);
    const auto r30 = std::get<flat_tuple>(rows->search(30, key(1).get(), picked));
    EXPECT_FALSE(r30[0].has_value());
    const auto none = std::get<flat_tuple>(rows->search(30, key(1).get(), picked_columns{}));
    EXPECT_TRUE(none.empty());
    if (flushed) break;
    auto block = t.block_tree_wait();
    rows->get_memtable_updater().flush(*block);
    ASSERT_TRUE(rows->is_flushed());
  }
  EXPECT_EQ(t.last_written->searches, 11);
}

TEST_F(RowSetTest, EntryLimitStartsBackgroundFlushAndClosesUpdaters) {
  testing::max_entries_scope limit(3);
  fake_tree& t = tree(fake_tree::executor::manual);
  {
    auto first = t.new_row_set();
    for (int64_t k = 1; k <= 3; ++k) {
      EXPECT_FALSE(first->is_flush_started()) << k;
      t.upsert(first, {k, k, "a"}, k);
    }
    EXPECT_TRUE(first->is_flush_started());
    EXPECT_FALSE(first->get_memtable_updater());
    t.run_pending();
    EXPECT_TRUE(first->is_flushed());
    EXPECT_EQ(t.writes, 1);
  }
  auto rows = t.new_row_set();
  t.upsert(rows, {1, 1, "a"}, 1);
  t.upsert(rows, {2, 2, "b"}, 2);
  EXPECT_FALSE(rows->is_flush_started());
  {
    // While the tree is blocked elsewhere the flush cannot start; the next insert tries again.
    auto held = t.block_tree_wait();
    t.upsert(rows, {3, 3, "c"}, 3);
    EXPECT_FALSE(rows->is_flush_started());
    EXPECT_TRUE(rows->get_memtable_updater());
  }
  t.upsert(rows, {4, 4, "d"}, 4);
  EXPECT_TRUE(rows->is_flush_started());
  EXPECT_FALSE(rows->get_memtable_updater());
  EXPECT_FALSE(rows->is_flushed());
  EXPECT_EQ(describe(rows->search(10, key(4).get(), all())), "v=4");
  EXPECT_EQ(t.writes, 1);
  t.run_pending();
  EXPECT_TRUE(rows->is_flushed());
  EXPECT_EQ(t.writes, 2);
  EXPECT_EQ(t.last_written->rows().size(), 4u);
  EXPECT_EQ(row_set::cached_memtables(), 0u);
  EXPECT_FALSE(rows->get_memtable_updater());
  EXPECT_NO_THROW(rows->wait_flush());
}

// Keys and timestamps of every entry an iterator yields, stepping `before` times, then running
// `between`, then stepping to the end.
std::vector<std::pair<int64_t, tx_timestamp>> scan(row_set& rows, const material_tuple_schema& s,
                                                   const picked_columns& picker, int before,
                                                   const std::function<void()>& between) {
  std::vector<std::pair<int64_t, tx_timestamp>> out;
  auto it = rows.get_iterator(s);
  row_values values;
  int steps = 0;
  for (bool more = it.valid(); more; more = it.get_next_tuple(picker)) {
    if (steps++ == before && between) between();
    int64_t k;
    std::memcpy(&k, it.key()[0], 8);
    out.emplace_back(k, it.timestamp());
    if (!it.is_tombstone()) {
      auto lock = it.read_tuple(picker, values);
      EXPECT_EQ(int_of(values[0]), k);
      EXPECT_EQ(int_of(values[1]), k * 1000 + it.timestamp());
    }
  }
  EXPECT_FALSE(it.valid());
  EXPECT_FALSE(it.get_next_tuple(picker));
  return out;
}

// Row by row or in batches, a scan carries on from the fallback when its row set is flushed.
TEST_F(RowSetTest, ScansCarryOnFromFallbackAfterFlushAndBatchesStopAtTheirByteRoom) {
  fake_tree& t = tree();
  // Keys 20..22 hold 20 KB strings: two of them never share a batch's 32 KB; key 30's 40 KB
  // make a batch of its own with more room. Key 7 is removed.
  auto text = [](int64_t k) {
    return std::string(k >= 20 && k <= 22 ? 20000 : k == 30 ? 40000 : 1, char('a' + k % 26));
  };
  std::vector<std::pair<int64_t, tx_timestamp>> expected;
  for (int64_t k = 0; k < 50; ++k) {
    for (tx_timestamp ts : {3, 1}) expected.emplace_back(k, ts);
  }
  expected.insert(expected.begin() + 14, {7, 4});
  auto filled = [&] {
    auto rows = t.new_row_set();
    for (auto [k, ts] : expected) {
      if (ts != 4) t.upsert(rows, {k, k * 1000 + ts, text(k)}, ts);
    }
    auto removal = t.table().removal({int64_t{7}});
    auto u = rows->get_memtable_updater();
    EXPECT_TRUE(u.ensure_tuple_size(removal->parsed->material_size()));
    u.insert(*removal->parsed, 4, uuid{});
    return rows;
  };
  auto flush = [&](row_set& rows) {
    auto block = t.block_tree_wait();
    rows.get_memtable_updater().flush(*block);
    ASSERT_TRUE(rows.is_flushed());
  };
  const auto row_picker = picked_columns::of(t.schema(), {0, 1});
  for (int before : {0, 1, 57, 100}) {
    SCOPED_TRACE(before);
    auto rows = filled();
    EXPECT_EQ(scan(*rows, t.table().row_material, row_picker, before, [&] { flush(*rows); }),
              expected);
  }
  // An iterator opened after the flush starts on the fallback.
  auto rows = filled();
  flush(*rows);
  EXPECT_EQ(scan(*rows, t.table().row_material, row_picker, -1, nullptr), expected);

  const auto picker = picked_columns::of(t.schema(), {2, 1});
  for (int flush_after : {0, 2, 9, -1}) {
    SCOPED_TRACE(flush_after);
    auto rows = filled();
    auto it = rows->get_iterator(t.table().row_material);
    row_set::entry_batch batch;
    row_values values;
    std::vector<std::pair<int64_t, tx_timestamp>> seen;
    for (int n = 0; it.next_batch(picker, 7, batch); ++n) {
      ASSERT_GE(batch.size(), 1u);
      ASSERT_LE(batch.size(), 7u);
      if (n == flush_after) {
        flush(*rows);
        ASSERT_EQ(row_set::cached_memtables(), 0u) << "the batch holds no reader";
      }
      int long_texts = 0;
      for (uint32_t i = 0; i < batch.size(); ++i) {
        int64_t k;
        std::memcpy(&k, batch.key(i)[0].data, sizeof(k));
        ASSERT_EQ(batch.key(i)[0].size(), 8u);
        seen.emplace_back(k, batch.timestamp(i));
        batch.read(i, values);
        ASSERT_EQ(values.size(), 2u);
        ASSERT_EQ(batch.is_tombstone(i), k == 7 && batch.timestamp(i) == 4);
        if (batch.is_tombstone(i)) {
          EXPECT_FALSE(values[0] || values[1]);
          continue;
        }
        EXPECT_EQ(string_of(values[0]), text(k));
        EXPECT_EQ(int_of(values[1]), k * 1000 + batch.timestamp(i));
        long_texts += k >= 20 && k <= 22;
      }
      EXPECT_LE(long_texts, 1);
    }
    EXPECT_EQ(seen, expected);
    EXPECT_FALSE(it.next_batch(picker, 7, batch));
    EXPECT_EQ(batch.size(), 0u);
  }

  // Switching needs the current entry in the fallback.
  auto other = t.new_row_set();
  t.upsert(other, {500, 1, "z"}, 1);
  auto lost = other->get_iterator(t.table().row_material);
  other->discard();
  EXPECT_EQ(message_of([&] { lost.get_next_tuple(row_picker); }),
            "Cursor failed to switch to a fallback segment");
}

TEST_F(RowSetTest, IteratorSeesLaterInsertsAfterItsPositionAcrossSplits) {
  fake_tree& t = tree();
  auto rows = t.new_row_set();
  for (int64_t k = 0; k < 40; k += 2) t.upsert(rows, {k, k * 1000 + 5, "v"}, 5);
  const auto picker = picked_columns::of(t.schema(), {0, 1});
  const auto seen = scan(*rows, t.table().row_material, picker, 10, [&] {
    // The iterator rests on key 20: rows before it stay unseen, rows after it are seen, and
    // enough of them split its leaf several times.
    t.upsert(rows, {3, 3005, "v"}, 5);
    t.upsert(rows, {20, 20004, "v"}, 4);  // an older version of the current key
    t.upsert(rows, {20, 20006, "v"}, 6);  // a newer one sorts before it
    for (int64_t k = 21; k < 400; k += 2) t.upsert(rows, {k, k * 1000 + 5, "v"}, 5);
  });
  std::vector<std::pair<int64_t, tx_timestamp>> expected;
  for (int64_t k = 0; k <= 20; k += 2) expected.emplace_back(k, 5);
  expected.emplace_back(20, 4);
  for (int64_t k = 21; k < 400; ++k) {
    if (k % 2 == 1 || k < 40) expected.emplace_back(k, 5);
  }
  std::sort(expected.begin(), expected.end(), [](auto& a, auto& b) {
    return a.first != b.first ? a.first < b.first : a.second > b.second;
  });
  EXPECT_EQ(seen, expected);
}

TEST_F(RowSetTest, ReadLockKeepsMemTableUntilReleased) {
  fake_tree& t = tree();
  auto rows = t.new_row_set();
  t.upsert(rows, {1, 1001, "held value"}, 1);
  auto it = rows->get_iterator(t.table().row_material);
  row_values values;
  auto lock = it.read_tuple(all(), values);
  ASSERT_TRUE(lock);
  std::thread flusher([&] {
    auto block = t.block_tree_wait();
    rows->get_memtable_updater().flush(*block);
  });
  while (!rows->is_flushed()) std::this_thread::yield();
  // Flushed, but the mem-table waits for this reader before its buffers go.
  EXPECT_EQ(row_set::cached_memtables(), 1u);
  EXPECT_EQ(string_of(values[2]), "held value");
  EXPECT_EQ(describe(rows->search(1, key(1).get(), all())), "v=1001");
  lock.release();
  flusher.join();
  EXPECT_EQ(row_set::cached_memtables(), 0u);
  // The iterator reads from the fallback now, without a lock.
  EXPECT_FALSE(it.read_tuple(all(), values));
  EXPECT_EQ(string_of(values[2]), "held value");
}

TEST_F(RowSetTest, FailedBackgroundFlushIsLoggedKeepsRowsAndIsRetried) {
  testing::test_dir dir;
  logging::setup(logging::level::debug, (dir / "log.txt").string());
  testing::max_entries_scope limit(2);
  fake_tree& t = tree(fake_tree::executor::thread);
  t.fail_writes = 1;
  auto rows = t.new_row_set();
  t.upsert(rows, {1, 1, "a"}, 1);
  t.upsert(rows, {2, 2, "b"}, 2);
  t.join();
  logging::shutdown();
  EXPECT_EQ(file_text(dir / "log.txt"), "[ERROR] Asynchronous mem-table flush failed: disk full");

  // Waiters get the failure instead of waiting forever.
  EXPECT_EQ(message_of([&] { rows->wait_flush(); }), "memtable flush failed");
  EXPECT_EQ(nested_message_of([&] { rows->wait_flush(); }), "disk full");
  EXPECT_NE(rows->flush_error(), nullptr);
  EXPECT_FALSE(rows->is_flushed());
  EXPECT_FALSE(rows->is_flush_started());
  // The rows stay readable and the row set takes writers again; the next insert retries.
  EXPECT_EQ(describe(rows->search(5, key(2).get(), all())), "v=2");
  ASSERT_TRUE(rows->get_memtable_updater());
  // A failed synchronous flush reopens the row set the same way.
  t.fail_writes = 1;
  {
    auto block = t.block_tree_wait();
    auto u = rows->get_memtable_updater();
    EXPECT_EQ(message_of([&] { u.flush(*block); }), "disk full");
  }
  EXPECT_EQ(describe(rows->search(5, key(2).get(), all())), "v=2");
  t.upsert(rows, {3, 3, "c"}, 3);
  t.join();
  EXPECT_TRUE(rows->is_flushed());
  EXPECT_EQ(rows->flush_error(), nullptr);
  EXPECT_EQ(t.last_written->rows().size(), 3u);
  EXPECT_EQ(describe(rows->search(5, key(2).get(), all())), "v=2");
}

TEST_F(RowSetTest, DroppedFlushTaskIsReportedNotAwaitedForever) {
  testing::max_entries_scope limit(1);
  fake_tree& t = tree(fake_tree::executor::drop);
  auto rows = t.new_row_set();
  t.upsert(rows, {1, 1, "a"}, 1);
  EXPECT_EQ(nested_message_of([&] { rows->wait_flush(); }),
            "mem-table flush task was dropped without running");
  EXPECT_FALSE(rows->is_flush_started());
  EXPECT_EQ(describe(rows->search(5, key(1).get(), all())), "v=1");
}

TEST_F(RowSetTest, EmptyAndDiscardedRowSetsWriteNothing) {
  fake_tree& t = tree();
  auto rows = t.new_row_set();
  {
    // An insert that failed right after the mem-table was made leaves it without entries.
    auto u = rows->get_memtable_updater();
    ASSERT_TRUE(u.ensure_tuple_size(100));
  }
  EXPECT_EQ(row_set::cached_memtables(), 1u);
  EXPECT_TRUE(rows->is_empty());
  EXPECT_FALSE(rows->get_iterator(t.table().row_material).valid());
  auto block = t.block_tree_wait();
  rows->get_memtable_updater().flush(*block);
  EXPECT_EQ(t.writes, 0);
  EXPECT_TRUE(rows->is_flushed());
  EXPECT_TRUE(rows->is_empty());
  EXPECT_EQ(row_set::cached_memtables(), 0u);
  EXPECT_EQ(describe(rows->search(5, key(1).get(), all())), "none");
  EXPECT_FALSE(rows->get_iterator(t.table().row_material).valid());

  // A discarded row set drops its rows without writing them, as many times as asked.
  auto dropped = t.new_row_set();
  t.upsert(dropped, {1, 1, "a"}, 1);
  dropped->discard();
  dropped->discard();
  EXPECT_EQ(t.writes, 0);
  EXPECT_TRUE(dropped->is_flushed());
  EXPECT_TRUE(dropped->is_empty());
  EXPECT_FALSE(dropped->get_memtable_updater());
  EXPECT_EQ(describe(dropped->search(5, key(1).get(), all())), "none");
}

TEST_F(RowSetTest, EvictionFlushesLeastRecentlyUsedMemTableOfAnotherTree) {
  mem_table_buffer_pool pool(4096, 2 * 4096);
  fake_tree a(testing::int_key_schema(), pool);
  fake_tree b(testing::int_key_schema(), pool);
  auto rows_a = a.new_row_set();
  auto rows_b = b.new_row_set();
  a.upsert(rows_a, {1, 1, "from a"}, 1);  // least recently used
  b.upsert(rows_b, {2, 2, "from b"}, 2);
  EXPECT_EQ(row_set::cached_memtables(), 2u);
  // b needs a second buffer: a's mem-table is flushed for it.
  b.upsert(rows_b, {3, 3, std::string(4000, 'x')}, 3);
  EXPECT_EQ(a.evictions, 1);
  EXPECT_EQ(b.evictions, 0);
  EXPECT_TRUE(rows_a->is_flushed());
  EXPECT_FALSE(rows_b->is_flushed());
  EXPECT_EQ(row_set::cached_memtables(), 1u);
  EXPECT_EQ(describe(rows_a->search(5, a.table().key({1}).get(), picked_columns::all(a.schema()))),
            "v=1");

  // A new mem-table of a takes b's buffers in turn.
  auto rows_c = a.new_row_set();
  a.upsert(rows_c, {4, 4, "c"}, 4);
  EXPECT_EQ(b.evictions, 1);
  EXPECT_TRUE(rows_b->is_flushed());
  auto rows_d = b.new_row_set();
  b.upsert(rows_d, {5, 5, "d"}, 5);
  EXPECT_EQ(row_set::cached_memtables(), 2u);

  // A failing eviction is fatal for the request and names its cause.
  a.fail_evictions = true;
  auto big = b.table().row({6, 6, std::string(4000, 'y')});
  auto u = rows_d->get_memtable_updater();
  try {
    u.ensure_tuple_size(big->parsed->material_size());
    ADD_FAILURE() << "no failure";
  } catch (const errors::fatal_error& e) {
    EXPECT_STREQ(e.what(), "memtable flush failed");
    EXPECT_EQ(nested_message_of([&] { std::rethrow_exception(std::current_exception()); }),
              "cannot write segment");
  }
  EXPECT_FALSE(rows_c->is_flushed());
  EXPECT_EQ(row_set::cached_memtables(), 2u) << "the failed victim stays evictable";
}

TEST_F(RowSetTest, BatchIsInvisibleToReadersUntilItsUpdaterEnds) {
  fake_tree& t = tree();
  auto rows = t.new_row_set();
  auto first = t.table().row({1, 1, "a"});
  auto second = t.table().row({1, 2, "b"});
  auto u = rows->get_memtable_updater();
  ASSERT_TRUE(u.ensure_tuple_size(first->parsed->material_size()));
  u.insert(*first->parsed, 1, uuid{});
  // The writer's own thread reads its batch without waiting.
  EXPECT_EQ(describe(rows->search(5, key(1).get(), all())), "v=1");
  std::atomic<bool> released{false};
  std::string seen;
  std::thread reader([&] {
    const auto r = rows->search(5, key(1).get(), all());
    seen = (released ? "after " : "before ") + describe(r);
  });
  ASSERT_TRUE(u.ensure_tuple_size(second->parsed->material_size()));
  u.insert(*second->parsed, 2, uuid{});
  released = true;
  u.reset();
  reader.join();
  EXPECT_EQ(seen, "after v=2");
}

}  // namespace
}  // namespace ombrel
