#include "storage/storage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "model/binary_tuple_builder.h"
#include "native/errors.h"
#include "native/log.h"
#include "tests/support/test_dir.h"
#include "tree/merge_tree.h"

namespace ombrel {
namespace {

schema_descriptor table_schema() {
  schema_descriptor s;
  s.columns.emplace_back("id", column_info::of_type(INT64, false));
  s.columns.emplace_back("name", column_info::of_type(STRING, true));
  s.initialize_positions({0, NO_COLUMN});
  return s;
}

std::vector<std::byte> row(int64_t id) {
  binary_tuple_builder b(2);
  b.start();
  b.claim_int64(id);
  b.claim_null();
  b.layout();
  b.append_int64(id);
  b.append_null();
  return b.buffer();
}

std::string read_file(const std::filesystem::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Rows of a catalog scan as "partition/table/name".
std::vector<std::string> catalog_rows(storage& s) {
  std::unique_ptr<abstract_table> catalog = s.get_table_catalog();
  EXPECT_EQ(catalog->get_schema().columns.size(), 3u);
  EXPECT_EQ(catalog->get_schema().columns[0].name, "part_id");
  std::vector<std::string> rows;
  auto it = catalog->get_full_pipeline(0);
  while (it->get_next([&](const row_values& values) {
    int32_t partition, table;
    std::memcpy(&partition, values[0]->data, 4);
    std::memcpy(&table, values[1]->data, 4);
    rows.push_back(std::to_string(partition) + "/" + std::to_string(table) + "/" +
                   std::string(values[2]->as_string()));
  })) {
  }
  return rows;
}

TEST(StorageTest, PartitionsAreRegisteredOpenedAndClosed) {
  testing::test_dir dir;
  storage s(dir.path());
  table_partition* a = s.create_table_partition("alpha", 3, 1, table_schema());
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(s.create_table_partition("alpha", 3, 1, table_schema()), nullptr);
  EXPECT_EQ(s.create_table_partition("", 3, 2, table_schema()), nullptr);
  table_partition* b = s.create_table_partition("beta", 3, 2, table_schema());
  table_partition* c = s.create_table_partition("gamma", -4, 0, table_schema());
  EXPECT_EQ(read_file(dir / "3" / "1" / "name"), "alpha");
  EXPECT_TRUE(std::filesystem::exists(dir / "-4" / "0" / "schema"));
  EXPECT_EQ(s.get_table_partition(3, -1), a);
  EXPECT_EQ(catalog_rows(s), (std::vector<std::string>{"0/-4/gamma", "1/3/alpha", "2/3/beta"}));
  for (table_partition* p : {a, a, b, c}) storage::table_deleter::run(p);
  storage::table_deleter::run(nullptr);

  // Closed partitions reopen from disk, also after the storage is rebuilt.
  table_partition* again = s.get_table_partition(3, 2);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->name, "beta");
  EXPECT_EQ(again->get_schema(), table_schema());
  storage::table_deleter::run(again);
  // A rebuilt registry lists partitions of one table in directory order.
  storage rebuilt(dir.path());
  auto rows = catalog_rows(rebuilt);
  std::sort(rows.begin(), rows.end());
  EXPECT_EQ(rows, (std::vector<std::string>{"0/-4/gamma", "1/3/alpha", "2/3/beta"}));
}

TEST(StorageTest, PartitionsOutliveTheStorageObject) {
  testing::test_dir dir;
  auto s = std::make_unique<storage>(dir.path());
  table_partition* p = s->create_table_partition("t", 1, 1, table_schema());
  s->get_registry()->broadcast_low_watermark(77);
  EXPECT_EQ(p->tree().get_low_watermark(), 77);
  const std::weak_ptr<storage::registry> registry = s->get_registry();
  s.reset();
  ASSERT_FALSE(registry.expired()) << "the open partition keeps the registry";
  const auto r = row(5);
  p->tree().upsert(1, uuid{}, bytes_view(r.size(), r.data()));
  auto scan = p->get_full_pipeline(2);
  ASSERT_NE(scan, nullptr);
  int64_t id = 0;
  EXPECT_TRUE(scan->get_next(
      [&](const row_values& values) { std::memcpy(&id, values.at(0)->data, 8); }));
  EXPECT_EQ(id, 5);
  storage::table_deleter::run(p);
  EXPECT_FALSE(registry.expired()) << "the open scan keeps the partition and its registry";
  scan.reset();
  EXPECT_TRUE(registry.expired());
}

TEST(StorageTest, StartUpScanFinishesDropsAndRefusesStrayNames) {
  testing::test_dir dir;
  {
    storage s(dir.path());
    storage::table_deleter::run(s.create_table_partition("keep", 5, 7, table_schema()));
    storage::table_deleter::run(s.create_table_partition("drop", 5, 8, table_schema()));
  }
  std::ofstream(dir / "5" / "8" / "dropped").close();
  std::filesystem::create_directories(dir / "5" / "9x");
  std::ofstream(dir / "5" / "file").close();
  {
    storage s(dir.path());
    EXPECT_FALSE(std::filesystem::exists(dir / "5" / "8"));
    EXPECT_EQ(catalog_rows(s), std::vector<std::string>{"7/5/keep"});
  }
  std::filesystem::create_directories(dir / "tmp");
  try {
    storage s(dir.path());
    FAIL() << "a stray directory was accepted";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "stoi");
  }
}

TEST(StorageTest, DropWaitsForTheLastScanAndHidesThePartition) {
  testing::test_dir dir;
  storage s(dir.path());
  table_partition* p = s.create_table_partition("t", 2, 1, table_schema());
  for (int64_t id : {1, 2}) {
    const auto r = row(id);
    p->tree().upsert(1, uuid{}, bytes_view(r.size(), r.data()));
  }
  std::unique_ptr<abstract_iterator> scan = p->get_projection_pipeline(5, bitset(1, true));
  ASSERT_NE(scan, nullptr);
  int64_t id = 0;
  auto read_id = [&](const row_values& values) { std::memcpy(&id, values.at(0)->data, 8); };
  ASSERT_TRUE(scan->get_next(read_id));
  EXPECT_EQ(id, 1);
  s.drop_table_partition(2, 1);
  storage::table_deleter::run(p);
  EXPECT_TRUE(std::filesystem::exists(dir / "2" / "1")) << "the open scan keeps the files";
  EXPECT_TRUE(catalog_rows(s).empty());
  ASSERT_TRUE(scan->get_next(read_id)) << "the open scan goes on";
  EXPECT_EQ(id, 2);
  scan.reset();
  EXPECT_FALSE(std::filesystem::exists(dir / "2" / "1"));
  EXPECT_EQ(s.get_table_partition(2, 1), nullptr);
  s.drop_table_partition(2, 1);

  table_partition* q = s.create_table_partition("t", 2, 2, table_schema());
  s.drop_table_partition(2, 2);
  EXPECT_EQ(q->get_projection_pipeline(0, bitset()), nullptr) << "no scan after the drop";
  storage::table_deleter::run(q);
}

TEST(StorageConcurrencyTest, OneClosedPartitionIsOpenedOnceForManyThreads) {
  testing::test_dir dir;
  storage s(dir.path());
  storage::table_deleter::run(s.create_table_partition("t", 1, 1, table_schema()));
  for (int round = 0; round < 10; ++round) {
    std::vector<table_partition*> got(4);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < got.size(); ++i) {
      threads.emplace_back([&, i] { got[i] = s.get_table_partition(1, 1); });
    }
    for (auto& t : threads) t.join();
    for (table_partition* p : got) EXPECT_EQ(p, got[0]);
    for (table_partition* p : got) storage::table_deleter::run(p);
  }
}

TEST(StorageConcurrencyTest, WritesOpensReleasesAndDropsInParallel) {
  testing::test_dir dir;
  storage s(dir.path());
  constexpr int WRITERS = 3;
  constexpr int ROWS = 1000;
  for (int w = 0; w < WRITERS; ++w) {
    storage::table_deleter::run(s.create_table_partition("w", 1, w, table_schema()));
  }
  std::vector<std::thread> threads;
  for (int w = 0; w < WRITERS; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < ROWS; ++i) {
        table_partition* p = s.get_table_partition(1, w);
        const auto r = row(i);
        p->tree().upsert(i + 1, uuid{}, bytes_view(r.size(), r.data()));
        storage::table_deleter::run(p);
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < 200; ++i) {
      storage::table_deleter::run(s.create_table_partition("scratch", 2, i, table_schema()));
      s.drop_table_partition(2, i);
      catalog_rows(s);
    }
  });
  for (auto& t : threads) t.join();
  EXPECT_EQ(catalog_rows(s).size(), static_cast<size_t>(WRITERS));
}

}  // namespace
}  // namespace ombrel
