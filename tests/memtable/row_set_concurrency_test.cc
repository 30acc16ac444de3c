// One writer inserting batches while readers search and scan, with and without a background
// flush in the middle, and writers of two trees evicting each other's mem-tables. The checks
// hold for every interleaving; run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "memtable/row_set.h"
#include "memtable_fakes.h"

namespace ombrel {
namespace {

using testing::fake_tree;
using testing::int_of;

constexpr int64_t KEYS = 48;
constexpr int BATCHES = 40;
constexpr int READERS = 3;

// Batch b writes every key twice, all at timestamp 2b first, then all at 2b + 1, with v equal
// to the timestamp. A reader that saw part of a batch would meet an even newest version.
void write_batches(fake_tree& tree, const std::shared_ptr<row_set>& rows, std::atomic<int>& done) {
  std::mt19937_64 rng(7);
  std::vector<int64_t> order(KEYS);
  for (int64_t k = 0; k < KEYS; ++k) order[k] = k;
  for (int b = 1; b <= BATCHES; ++b) {
    auto u = rows->get_memtable_updater();
    if (!u) break;  // the row set is being flushed: a tree would start a new one
    std::shuffle(order.begin(), order.end(), rng);
    bool stored = true;
    for (tx_timestamp ts : {2 * b, 2 * b + 1}) {
      for (int64_t k : order) {
        auto row = tree.table().row({k, ts, std::string(static_cast<size_t>(k % 5), 's')});
        if (!u.ensure_tuple_size(row->parsed->material_size())) {
          stored = false;
          break;
        }
        u.insert(*row->parsed, ts, uuid{b, k});
      }
    }
    ASSERT_TRUE(stored);
    done = b;
  }
}

// Checks one full scan: entries ascend by key and descend by timestamp within a key; the first
// version met of every key is the newest of a whole batch; values match their timestamps.
struct scan_checker {
  const testing::test_table& table;
  const picked_columns& picker;

  void operator()(row_set& rows) const {
    row_values values;
    auto it = rows.get_iterator(table.row_material);
    int64_t last_key = -1;
    tx_timestamp last_ts = 0;
    for (bool more = it.valid(); more; more = it.get_next_tuple(picker)) {
      int64_t k;
      std::memcpy(&k, it.key()[0], 8);
      const tx_timestamp ts = it.timestamp();
      if (k == last_key) {
        ASSERT_LT(ts, last_ts) << "key " << k;
      } else {
        ASSERT_GT(k, last_key);
        ASSERT_EQ(ts % 2, 1) << "key " << k << " first seen at " << ts;
      }
      last_key = k;
      last_ts = ts;
      ASSERT_FALSE(it.is_tombstone());
      auto lock = it.read_tuple(picker, values);
      ASSERT_EQ(values.size(), 3u);
      ASSERT_EQ(int_of(values[0]), k);
      ASSERT_EQ(int_of(values[1]), ts);
      ASSERT_EQ(values[2]->size(), static_cast<size_t>(k % 5));
    }
  }
};

void check_search(row_set& rows, const testing::test_table& table, const picked_columns& picker,
                  std::mt19937_64& rng, std::atomic<int>& written) {
  const int before = written;  // batches complete before the search began
  const int64_t k = static_cast<int64_t>(rng() % KEYS);
  const auto key = table.key({k});
  const auto r = rows.search(TX_TIMESTAMP_LATEST, key.get(), picker);
  if (r.index() == 0) {
    ASSERT_EQ(before, 0);
    return;
  }
  ASSERT_EQ(r.index(), 3u);
  const auto& row = std::get<flat_tuple>(r);
  const int64_t v = int_of(row[1]);
  ASSERT_EQ(v % 2, 1) << "a partial batch: key " << k << " at " << v;
  ASSERT_GE(v, 2 * before + 1);
  // An older, whole batch is still found as of its own timestamp.
  const tx_timestamp older = 2 * static_cast<tx_timestamp>(rng() % ((v - 1) / 2) + 1) + 1;
  const auto o = rows.search(older, key.get(), picker);
  ASSERT_EQ(o.index(), 3u);
  ASSERT_EQ(int_of(std::get<flat_tuple>(o)[1]), older);
}

// Ends the process when a test outlives `limit`: a wait inside the row set that never ends
// would otherwise hang the run instead of failing it.
class watchdog {
 public:
  explicit watchdog(std::chrono::seconds limit)
      : thread_([this, limit] {
          std::unique_lock lock(mutex_);
          if (cond_.wait_for(lock, limit, [&] { return done_; })) return;
          std::fprintf(stderr, "FAILED: %s still running after %lld s\n",
                       ::testing::UnitTest::GetInstance()->current_test_info()->name(),
                       static_cast<long long>(limit.count()));
          std::fflush(stderr);
          std::_Exit(1);
        }) {}
  ~watchdog() {
    {
      std::scoped_lock lock(mutex_);
      done_ = true;
      cond_.notify_all();
    }
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  bool done_ = false;
  std::thread thread_;
};

// How long readers wait for the writer and the flush to end before they fail the test.
constexpr auto FLUSH_LIMIT = std::chrono::seconds(60);

void run_readers_against_writer(fake_tree& tree, const std::shared_ptr<row_set>& rows,
                                const std::function<bool()>& finished) {
  const picked_columns picker = picked_columns::all(tree.schema());
  std::atomic<int> written{0};
  std::atomic<bool> writer_done{false};
  std::vector<std::thread> readers;
  const auto deadline = std::chrono::steady_clock::now() + FLUSH_LIMIT;
  for (int r = 0; r < READERS; ++r) {
    readers.emplace_back([&, r] {
      std::mt19937_64 rng(100 + r);
      const scan_checker scan{tree.table(), picker};
      int after = 0;
      // Keep reading until the writer and the flush are done, then a few rounds more.
      while (after < 3) {
        if (writer_done && finished()) ++after;
        if (std::chrono::steady_clock::now() > deadline) {
          ADD_FAILURE() << "the writer or the flush did not finish within " << FLUSH_LIMIT.count()
                        << " s";
          return;
        }
        for (int i = 0; i < 20; ++i) check_search(*rows, tree.table(), picker, rng, written);
        scan(*rows);
        if (::testing::Test::HasFatalFailure()) return;
      }
    });
  }
  write_batches(tree, rows, written);
  writer_done = true;
  for (auto& t : readers) t.join();
}

class RowSetConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(row_set::cached_memtables(), 0u); }
  void TearDown() override { EXPECT_EQ(row_set::cached_memtables(), 0u); }
  watchdog watchdog_{std::chrono::seconds(300)};
  mem_table_buffer_pool pool_{64 * 1024, 64 * 64 * 1024};
};

TEST_F(RowSetConcurrencyTest, ReadersNeverSeePartOfABatchAndScansStayOrdered) {
  fake_tree tree(testing::int_key_schema(), pool_);
  auto rows = tree.new_row_set();
  run_readers_against_writer(tree, rows, [] { return true; });
  EXPECT_EQ(rows->get_iterator(tree.table().row_material).valid(), true);
  EXPECT_EQ(rows->last_timestamp(), 2 * BATCHES + 1);
}

// An eviction that picks the requester's own mem-table only unlinks it and resets its touch
// countdown; the writer's next touches must link it again, whatever the interleaving. Timed:
// the fault needs a reset between a touch's read of the countdown and its decrement, which a
// second of both loops meets most of the time.
TEST_F(RowSetConcurrencyTest, MemTableUnlinkedWhileTouchedIsLinkedAgain) {
  fake_tree tree(testing::int_key_schema(), pool_);
  auto rows = tree.new_row_set();
  tree.upsert(rows, {1, 1, "x"}, 1);
  std::atomic<bool> stop{false};
  std::thread evictor([&] {
    while (!stop) EXPECT_FALSE(row_set::evict(rows.get()));
  });
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (std::chrono::steady_clock::now() < end) {
    auto u = rows->get_memtable_updater();
    ASSERT_TRUE(u.ensure_tuple_size(16));
  }
  stop = true;
  evictor.join();
  auto u = rows->get_memtable_updater();
  ASSERT_TRUE(u.ensure_tuple_size(16));
  EXPECT_EQ(row_set::cached_memtables(), 1u);
}

TEST_F(RowSetConcurrencyTest, ReadersCarryOnAcrossABackgroundFlush) {
  // The limit falls in the middle of a batch: the flush waits for the batch to end.
  testing::max_entries_scope limit(KEYS * 2 * (BATCHES / 2) + KEYS / 2);
  fake_tree tree(testing::int_key_schema(), pool_, fake_tree::executor::thread);
  auto rows = tree.new_row_set();
  run_readers_against_writer(tree, rows, [&] { return rows->is_flushed(); });
  tree.join();
  ASSERT_TRUE(rows->is_flushed());
  EXPECT_EQ(tree.writes, 1);
  // Every batch up to the one that reached the limit went in whole.
  EXPECT_EQ(tree.last_written->rows().size(), static_cast<size_t>(KEYS * 2 * (BATCHES / 2 + 1)));
}

// Two trees on a pool too small for both: each writer's requests flush the other's mem-table
// (or its own, when it is the least recently used) and it carries on in a new row set, as a
// tree does. With batches, a writer asks for memory while holding the writer state.
TEST_F(RowSetConcurrencyTest, WritersOfTwoTreesEvictEachOther) {
  for (int64_t batch : {1, 20}) {
    SCOPED_TRACE(batch);
    mem_table_buffer_pool pool(4096, 6 * 4096);
    fake_tree trees[2] = {fake_tree(testing::int_key_schema(), pool),
                          fake_tree(testing::int_key_schema(), pool)};
    constexpr int64_t ROWS = 1500;
    std::vector<std::shared_ptr<row_set>> sets[2];
    auto writer = [&](int w) {
      fake_tree& tree = trees[w];
      sets[w].push_back(tree.new_row_set());
      row_set::memtable_updater u;
      for (int64_t k = 0; k < ROWS; ++k) {
        auto row = tree.table().row({k, k * 10 + w, std::string(40, 'a' + w)});
        if (k % batch == 0) u.reset();
        for (int attempt = 0;; ++attempt) {
          ASSERT_LT(attempt, 100000);
          if (!u) u = sets[w].back()->get_memtable_updater();
          if (u && u.ensure_tuple_size(row->parsed->material_size())) {
            u.insert(*row->parsed, k + 1, uuid{w, k});
            break;
          }
          // No room, or evicted meanwhile: write it out and start another.
          if (u) {
            auto block = tree.block_tree_wait();
            u.flush(*block);
            u.reset();
          }
          sets[w].push_back(tree.new_row_set());
        }
      }
    };
    std::thread second(writer, 1);
    writer(0);
    second.join();
    for (int w = 0; w < 2; ++w) {
      SCOPED_TRACE(w);
      EXPECT_GT(sets[w].size(), 2u);
      const picked_columns picker = picked_columns::all(trees[w].schema());
      for (int64_t k = 0; k < ROWS; ++k) {
        const auto key = trees[w].table().key({k});
        int found = 0;
        for (const auto& rows : sets[w]) {
          const auto r = rows->search(TX_TIMESTAMP_LATEST, key.get(), picker);
          if (r.index() != 3) continue;
          ++found;
          ASSERT_EQ(int_of(std::get<flat_tuple>(r)[1]), k * 10 + w);
        }
        ASSERT_EQ(found, 1) << k;
      }
    }
  }
}

}  // namespace
}  // namespace ombrel
