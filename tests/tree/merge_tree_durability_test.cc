#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "model/file_system.h"
#include "native/config.h"
#include "tests/support/fault_file_system.h"
#include "tests/support/test_dir.h"
#include "tests/support/testing.h"
#include "tests/support/unsynced_file_system.h"
#include "tests/tree/tree_checks.h"
#include "tests/tree/tree_test_util.h"
#include "tree/layout_file.h"

namespace ombrel {
namespace {

using namespace testing::tree_rows;
using testing::fault_file_system;
using testing::fs_op;

// Small mem-tables and levels, so that a few hundred rows flush, merge and move down. Level
// sizes are read once per process: set before any test runs.
const bool small_tree = use_small_levels();

// Every version written, per key: the reference a tree must answer like.
class model {
 public:
  void upsert(tx_timestamp ts, int64_t id, std::string name) {
    versions_[id][ts] = std::move(name);
  }
  void remove(tx_timestamp ts, int64_t id) { versions_[id][ts] = std::nullopt; }
  bool live(int64_t id) const { return at(TX_TIMESTAMP_LATEST, id) != "-"; }
  std::string at(tx_timestamp ts, int64_t id) const {
    auto k = versions_.find(id);
    if (k == versions_.end()) return "-";
    auto v = k->second.upper_bound(ts);
    if (v == k->second.begin()) return "-";
    return std::prev(v)->second.value_or("-");
  }
  const std::map<int64_t, std::map<tx_timestamp, std::optional<std::string>>>& keys() const {
    return versions_;
  }

 private:
  std::map<int64_t, std::map<tx_timestamp, std::optional<std::string>>> versions_;
};

// The tree answers like the model at every timestamp from `from` on: per key, wherever its
// answer may change (its versions, one before each) and at `from` and the latest.
void expect_same(merge_tree& tree, const model& m, tx_timestamp from, const std::string& when) {
  for (const auto& [id, versions] : m.keys()) {
    std::set<tx_timestamp> points{from, TX_TIMESTAMP_LATEST};
    for (const auto& [t, v] : versions) points.insert({t, t - 1});
    for (tx_timestamp ts : points) {
      if (ts < from) continue;
      ASSERT_EQ(name_at(tree, ts, id), m.at(ts, id)) << when << ": key " << id << " at " << ts;
    }
  }
}

TEST(MergeTreeDurabilityTest, RandomHistoryAnswersLikeTheModelAcrossFlushesMergesAndRestarts) {
  const uint64_t seed = testing::test_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  testing::test_dir dir;
  const memtable_limit limit(16);
  testing::unsynced_file_system unsynced;
  const scoped_file_system installed(unsynced);
  model m;
  auto tree = std::make_unique<merge_tree>(table_schema(), dir / "t");
  tx_timestamp ts = 0;
  tx_timestamp watermark = 0;
  for (int step = 0; step < 1500; ++step) {
    const int op = static_cast<int>(rng() % 100);
    const int64_t id = static_cast<int64_t>(rng() % 60);
    ++ts;
    if (op < 70) {
      const std::string name = "v" + std::to_string(ts);
      tree->upsert(ts, uuid{0, ts}, view(row(id, name)));
      m.upsert(ts, id, name);
    } else if (op < 85) {
      const bool live = m.live(id);
      ASSERT_EQ(tree->remove(ts, uuid{0, ts}, view(key(id))), live) << "remove " << id;
      if (live) m.remove(ts, id);
    } else if (op < 90) {
      // The host only ever moves its watermark forward.
      watermark = std::max(watermark, ts - static_cast<tx_timestamp>(rng() % 40));
      tree->set_low_watermark(watermark);
    } else if (op < 94) {
      tree->make_full_compaction();
      expect_same(*tree, m, watermark, "after full compaction at step " + std::to_string(step));
    } else if (op < 97) {
      tree.reset();
      tree = std::make_unique<merge_tree>(dir / "t");
      tree->set_low_watermark(watermark);
      EXPECT_LE(tree->get_last_persisted_row_tag().timestamp, ts);
      expect_tidy(*tree);
      expect_same(*tree, m, watermark, "after restart at step " + std::to_string(step));
    } else {
      expect_same(*tree, m, watermark, "at step " + std::to_string(step));
    }
    if (HasFatalFailure()) return;
  }
  tree->make_full_compaction();
  expect_same(*tree, m, watermark, "at the end");
  // Everything sits in the deepest level, without what no read at or above the watermark sees:
  // per key every version from the watermark on, and the newest older one unless a removal.
  const auto state = tree->get_state();
  for (size_t l = 0; l + 1 < state->levels.size(); ++l) EXPECT_TRUE(state->levels[l].empty());
  uint64_t reachable = 0;
  for (const auto& [id, versions] : m.keys()) {
    std::optional<tx_timestamp> newer;
    for (auto v = versions.rbegin(); v != versions.rend(); ++v) {
      const bool hidden = newer && *newer <= watermark;
      reachable += v->first >= watermark || (v->second.has_value() && !hidden);
      newer = v->first;
    }
  }
  EXPECT_EQ(tree_state::size_of(state->levels.back()), reachable);
}

// Rows 0..n-1 written at timestamps from `first`, named after their timestamp.
void write_rows(merge_tree& tree, model& m, tx_timestamp& ts, int n) {
  for (int i = 0; i < n; ++i) {
    ++ts;
    const std::string name = "v" + std::to_string(ts);
    tree.upsert(ts, uuid{1, ts}, view(row(i, name)));
    m.upsert(ts, i, name);
  }
}

// A segment a merge replaced goes with its last holder, which may be a pool task that outlives
// the tree: the tree waits for that, so nothing deletes in its directory after it is gone.
TEST(MergeTreeDurabilityTest, ReplacedSegmentsAreGoneBeforeTheTreeIs) {
  testing::test_dir dir;
  model m;
  tx_timestamp ts = 0;
  auto tree = std::make_unique<merge_tree>(table_schema(), dir / "t");
  write_rows(*tree, m, ts, 40);
  std::shared_ptr<segment> held = tree->make_full_compaction().front();
  write_rows(*tree, m, ts, 40);
  tree->set_low_watermark(ts);
  tree->make_full_compaction();
  ASSERT_TRUE(held->remove_on_destroy()) << "the second compaction must replace the segment";
  const std::filesystem::path replaced = held->directory();
  std::thread holder([&held] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    held.reset();
  });
  tree.reset();
  EXPECT_FALSE(std::filesystem::exists(replaced));
  holder.join();
  EXPECT_FALSE(std::filesystem::exists(replaced));
}

// A flush, a merge into level 0 and commits, failing at one system call: the error reaches
// the caller, every acknowledged row stays readable, a retry succeeds, and so does a reopen.
TEST(MergeTreeDurabilityTest, EveryFailedCallOfAFlushAndMergeKeepsRowsAndRetrySucceeds) {
  const memtable_limit limit(1000);
  using lost_names = fault_file_system::lost_names;
  // A dry run counts the calls of each kind.
  std::map<fs_op, uint64_t> calls;
  auto scenario = [&](fault_file_system* faults, fs_op op, uint64_t n,
                      std::optional<fault_file_system::lost_names> power_loss) {
    testing::test_dir dir;
    model m;
    tx_timestamp ts = 0;
    auto tree = std::make_unique<merge_tree>(table_schema(), dir / "t");
    write_rows(*tree, m, ts, 40);
    tree->make_full_compaction();
    write_rows(*tree, m, ts, 30);
    const row_tag durable = tree->get_last_persisted_row_tag();
    fault_file_system fs;
    bool failed = false;
    {
      const scoped_file_system installed(fs);
      if (faults == nullptr) {
        tree->make_full_compaction();
        for (fs_op o : CHANGE_OPS) calls[o] = fs.count(o);
      } else {
        fs.fail_nth(op, n, op == fs_op::write ? ENOSPC : EIO);
        try {
          tree->make_full_compaction();
        } catch (const std::exception&) {
          failed = true;
        }
        expect_same(*tree, m, 0, "after the failure");
        fs.clear_faults();
        if (power_loss) {
          // The power may go before anything more is synced: then no later sync covers what
          // the failed call left.
          if (*power_loss == lost_names::all_but_renames) fs.fail_matching(fs_op::fsync, "", EIO);
          tree.reset();  // its close flush may or may not get through: both are fine
          fs.simulate_power_loss(*power_loss);
        } else {
          tree->make_full_compaction();
          expect_same(*tree, m, 0, "after the retry");
        }
      }
    }
    if (power_loss) {
      merge_tree reopened(dir / "t");
      const row_tag tag = reopened.get_last_persisted_row_tag();
      EXPECT_GE(tag.timestamp, durable.timestamp);
      // A consistent prefix: exactly the rows up to the tag.
      model prefix;
      for (const auto& [id, versions] : m.keys()) {
        for (const auto& [t, v] : versions) {
          if (t <= tag.timestamp) prefix.upsert(t, id, *v);
        }
      }
      expect_same(reopened, prefix, 0, "after power loss");
      return failed;
    }
    tree.reset();
    merge_tree reopened(dir / "t");
    EXPECT_EQ(reopened.get_last_persisted_row_tag().timestamp, ts);
    expect_same(reopened, m, 0, "after reopening");
    expect_tidy(reopened);
    return failed;
  };
  scenario(nullptr, fs_op::open, 0, std::nullopt);
  fail_each_call(calls, 8, [&](fs_op op, uint64_t n) {
    fault_file_system dummy;
    const bool failed = scenario(&dummy, op, n, std::nullopt);
    scenario(&dummy, op, n, lost_names::all);
    // A layout renamed into place before its directory's sync failed: the segments it names
    // must have durable names already.
    if (op == fs_op::fsync) scenario(&dummy, op, n, lost_names::all_but_renames);
    return failed;
  });
}

TEST(MergeTreeDurabilityTest, RecoveryTakesTheNewestLayoutAndKeepsWhatItCannotExplain) {
  testing::test_dir dir;
  const std::filesystem::path t = dir / "t";
  { merge_tree created(table_schema(), t); }
  // A first flush cut short: its unfinished layout goes, its segment (named by nothing) stays.
  std::ofstream(t / merge_tree::LAYOUT_TEMP_FILENAME) << "partial";
  std::filesystem::create_directories(t / "1");
  { merge_tree tree(t); }
  EXPECT_FALSE(std::filesystem::exists(t / merge_tree::LAYOUT_TEMP_FILENAME));
  EXPECT_TRUE(std::filesystem::remove(t / "1"));
  // Layouts 3 and 5 of an empty tree; stray names; a segment directory nobody names.
  auto write = [&](const std::string& name, const std::vector<std::byte>& bytes) {
    files::replace_file(t / name, t / (name + ".tmp"), bytes);
  };
  write("_layout_3", encode_layout({{{}}, {7, {1, 2}}}));
  write("_layout_5", encode_layout({{{}, {}}, {9, {3, 4}}}));
  write("_layout_", {});
  write("_layout_x1", {});
  std::filesystem::create_directories(t / "4");
  std::filesystem::create_directories(t / "keep");
  {
    merge_tree tree(t);
    EXPECT_EQ(tree.get_last_persisted_row_tag(), (row_tag{9, {3, 4}}));
    EXPECT_EQ(tree.get_state()->levels.size(), 2u) << "empty levels survive";
  }
  EXPECT_FALSE(std::filesystem::exists(t / "_layout_3"));
  EXPECT_TRUE(std::filesystem::exists(t / "_layout_5"));
  EXPECT_TRUE(std::filesystem::exists(t / "_layout_"));
  EXPECT_TRUE(std::filesystem::exists(t / "_layout_x1"));
  EXPECT_FALSE(std::filesystem::exists(t / "4"));
  EXPECT_TRUE(std::filesystem::exists(t / "keep"));

  // A damaged newest layout refuses the open and touches nothing.
  {
    merge_tree tree(t);
    tree.upsert(20, uuid{}, view(row(1, "a")));
  }
  const auto entries = [&] {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(t)) names.insert(e.path().filename());
    return names;
  };
  std::filesystem::path newest;
  for (const auto& e : std::filesystem::directory_iterator(t)) {
    if (merge_tree::is_layout_file(e.path())) newest = e.path();
  }
  {
    std::fstream f(newest, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(9);
    const char c = static_cast<char>(f.get() ^ 1);
    f.seekp(9);
    f.put(c);
  }
  const auto before = entries();
  EXPECT_EQ(message_of([&] { merge_tree tree(t); }),
            "Could not load merge-tree from directory \"" + t.string() +
                "\" : Checksum error in layout file: " + newest.string());
  EXPECT_EQ(entries(), before);
}

}  // namespace
}  // namespace ombrel
