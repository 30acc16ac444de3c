#include "tree/merge_tree.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "native/errors.h"
#include "native/log.h"
#include "tests/support/test_dir.h"
#include "tests/tree/tree_test_util.h"

namespace ombrel {
namespace {

using namespace testing::tree_rows;

TEST(MergeTreeTest, ReadsSeeVersionsAsOfTheirTimestamp) {
  testing::test_dir dir;
  merge_tree tree(table_schema(), dir / "t");
  const uuid tx{1, 2};
  tree.upsert(10, tx, view(row(1, "ten")));
  tree.upsert(30, tx, view(row(1, "thirty")));
  tree.upsert(20, tx, view(row(1, "twenty")));
  EXPECT_EQ(name_at(tree, 5, 1), "-");
  EXPECT_EQ(name_at(tree, 20, 1), "twenty");
  EXPECT_EQ(name_at(tree, 25, 1), "twenty");
  EXPECT_EQ(name_at(tree, TX_TIMESTAMP_LATEST, 1), "thirty");

  EXPECT_FALSE(tree.remove(40, tx, view(key(2)))) << "never written";
  EXPECT_TRUE(tree.remove(50, tx, view(key(1))));
  EXPECT_FALSE(tree.remove(55, tx, view(key(1)))) << "already removed";
  EXPECT_EQ(name_at(tree, 60, 1), "-");
  EXPECT_EQ(name_at(tree, 45, 1), "thirty");
  tree.upsert(70, tx, view(row(1, "again")));
  EXPECT_EQ(name_at(tree, 70, 1), "again");

  // Empty input changes and reads nothing.
  tree.upsert(80, tx, bytes_view());
  EXPECT_TRUE(tree.read(80, bytes_view()).empty());
  EXPECT_EQ(name_at(tree, 80, 1), "again");

  // One column of the latest version.
  const auto k = key(1);
  const auto name = tree.read(view(k), 1);
  ASSERT_TRUE(name.has_value());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(name->data()), name->size()), "again");
  EXPECT_FALSE(tree.read(view(key(9)), 1).has_value());
  EXPECT_EQ(message_of([&] { tree.read(view(k), 2); }), "Column index exceeds column count");
}

TEST(MergeTreeTest, CreationRefusesBadSchemasAndLeavesNoFiles) {
  testing::test_dir dir;
  schema_descriptor nullable_key = table_schema();
  nullable_key.columns[0].nullable = true;
  EXPECT_EQ(message_of([&] { merge_tree(nullable_key, dir / "a"); }),
            "Nullable column in key segment");
  EXPECT_FALSE(std::filesystem::exists(dir / "a" / "schema"));
  schema_descriptor duplicate = table_schema();
  duplicate.columns[1].name = "id";
  EXPECT_EQ(message_of([&] { merge_tree(duplicate, dir / "b"); }),
            "Can't create merge-tree with given schema.");
  EXPECT_FALSE(std::filesystem::exists(dir / "b" / "schema"));
}

TEST(MergeTreeTest, OpeningAndDropping) {
  testing::test_dir dir;
  { merge_tree created(table_schema(), dir / "t"); }
  {
    merge_tree opened(dir / "t");
    EXPECT_FALSE(opened.is_dropped());
    EXPECT_EQ(opened.get_schema(), table_schema());
    EXPECT_TRUE(opened.get_state()->memtables.empty());
    EXPECT_EQ(opened.get_last_persisted_row_tag(), row_tag{});
    opened.upsert(1, uuid{}, view(row(1, "x")));
    EXPECT_TRUE(opened.mark_as_dropped());
    EXPECT_FALSE(opened.mark_as_dropped());
    EXPECT_TRUE(std::filesystem::exists(dir / "t" / "dropped"));
    opened.upsert(2, uuid{}, view(row(2, "ignored")));
    EXPECT_EQ(name_at(opened, 5, 1), "-") << "a dropped tree reads as empty";
    EXPECT_FALSE(opened.remove(3, uuid{}, view(key(1))));
  }
  {
    merge_tree dropped(dir / "t");
    EXPECT_TRUE(dropped.is_dropped());
    dropped.remove_dropped();
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "t"));

  // A removal interrupted after the schema went: the tree still opens, as dropped.
  std::filesystem::create_directories(dir / "half");
  std::ofstream(dir / "half" / "dropped").close();
  merge_tree half(dir / "half");
  EXPECT_TRUE(half.is_dropped());
  half.remove_dropped();
  EXPECT_FALSE(std::filesystem::exists(dir / "half"));

  // A damaged schema file names the directory.
  std::filesystem::create_directories(dir / "bad");
  std::ofstream(dir / "bad" / "schema") << "xx";
  EXPECT_EQ(message_of([&] { merge_tree(dir / "bad"); })
                .rfind("Could not load merge-tree from directory \"" + (dir / "bad").string() +
                           "\" : Truncated schema",
                       0),
            0u);
}

TEST(MergeTreeTest, ClosingWritesTheRowsOutAndReopeningReadsThem) {
  testing::test_dir dir;
  const uuid tx{7, 9};
  {
    merge_tree tree(table_schema(), dir / "t");
    tree.upsert(10, tx, view(row(1, "ten")));
    tree.upsert(20, tx, view(row(1, "twenty")));
    tree.upsert(15, uuid{3, 4}, view(row(2, "two")));
    EXPECT_TRUE(tree.remove(30, tx, view(key(2))));
  }
  // One flush: segment 1, named by layout 1.
  EXPECT_TRUE(std::filesystem::is_directory(dir / "t" / "1"));
  EXPECT_TRUE(std::filesystem::exists(dir / "t" / "_layout_1"));
  merge_tree tree(dir / "t");
  EXPECT_EQ(tree.get_last_persisted_row_tag(), (row_tag{30, tx}));
  EXPECT_EQ(name_at(tree, 12, 1), "ten");
  EXPECT_EQ(name_at(tree, TX_TIMESTAMP_LATEST, 1), "twenty");
  EXPECT_EQ(name_at(tree, 20, 2), "two");
  EXPECT_EQ(name_at(tree, 30, 2), "-");
}

// A batch keeps its mem-table writer from row to row, yet its rows land where single upserts put
// them, and its removals see the rows it wrote before.
TEST(MergeTreeTest, BatchWriterPutsRowsWhereSingleUpsertsWould) {
  testing::test_dir dir;
  const memtable_limit limit(16);
  merge_tree tree(table_schema(), dir / "t");
  const uuid tx{1, 1};
  std::shared_ptr<row_set> first;
  {
    merge_tree::batch_writer batch(tree);
    for (int i = 0; i < 20; ++i) batch.upsert(1, tx, view(row(i, std::to_string(i))));
    // The 16th row asked for the first mem-table's flush: the 17th started the next one.
    const std::shared_ptr<tree_state> state = tree.get_state();
    ASSERT_EQ(state->memtables.size(), 2u);
    first = state->memtables.back();
    EXPECT_TRUE(first->is_flush_started());
    EXPECT_TRUE(batch.remove(2, tx, view(key(18))));
    EXPECT_FALSE(batch.remove(2, tx, view(key(99))));
    batch.upsert(3, tx, view(row(18, "back")));
  }
  first->wait_flush();
  uint64_t flushed = 0;
  for (auto cursor = first->fallback()->first(); cursor && cursor->next();) ++flushed;
  EXPECT_EQ(flushed + 1, 16u) << "first() rests on the first row";
  EXPECT_EQ(name_at(tree, 1, 18), "18");
  EXPECT_EQ(name_at(tree, 2, 18), "-");
  EXPECT_EQ(name_at(tree, TX_TIMESTAMP_LATEST, 18), "back");
  EXPECT_EQ(name_at(tree, TX_TIMESTAMP_LATEST, 15), "15");
}

TEST(MergeTreeConcurrencyTest, WritersAndReadersOfOneTree) {
  testing::test_dir dir;
  merge_tree tree(table_schema(), dir / "t");
  constexpr int ROWS = 3000;
  constexpr int BATCH = 50;
  const memtable_limit limit(256);  // mem-tables flush while batches go on
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  std::thread writer([&] {
    // Single upserts and batches alternate.
    for (int first = 0; first < ROWS; first += BATCH) {
      std::optional<merge_tree::batch_writer> batch;
      if (first / BATCH % 2 == 1) batch.emplace(tree);
      for (int i = first; i < first + BATCH; ++i) {
        const auto r = row(i, std::to_string(i));
        if (batch) {
          batch->upsert(i + 1, uuid{0, i}, view(r));
        } else {
          tree.upsert(i + 1, uuid{0, i}, view(r));
        }
      }
    }
    done = true;
  });
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&, r] {
      std::mt19937 rng(r);
      while (!done) {
        const int id = static_cast<int>(rng() % ROWS);
        const std::string got = name_at(tree, TX_TIMESTAMP_LATEST, id);
        if (got != "-" && got != std::to_string(id)) ++failures;
      }
    });
  }
  writer.join();
  for (auto& t : readers) t.join();
  EXPECT_EQ(failures, 0);
  for (int i = 0; i < ROWS; ++i)
    ASSERT_EQ(name_at(tree, TX_TIMESTAMP_LATEST, i), std::to_string(i));
}

}  // namespace
}  // namespace ombrel
