#include "storage/storage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "model/file_system.h"
#include "native/errors.h"
#include "native/log.h"
#include "tests/support/fault_file_system.h"
#include "tests/support/test_dir.h"
#include "tests/support/testing.h"
#include "tests/support/tuples.h"
#include "tests/support/unsynced_file_system.h"
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
  return testing::encode_tuple({INT64, STRING}, {testing::material(id), {}});
}

void upsert(table_partition* p, tx_timestamp ts, int64_t id) {
  p->tree().upsert(ts, uuid{}, testing::view(row(id)));
}

using namespace std::chrono_literals;
using testing::file_text;
using testing::fs_op;

constexpr auto TIME_LIMIT = 10s;

// Holds the first call of `op` on a path containing `substring` until release(), so that other
// threads can queue behind it; then passes it on to the fault layer.
class gated_file_system : public testing::fault_file_system {
 public:
  gated_file_system(fs_op op, std::string substring) : op_(op), substring_(std::move(substring)) {}

  int open(const std::filesystem::path& path, int flags, mode_t mode) override {
    hold(fs_op::open, path);
    return fault_file_system::open(path, flags, mode);
  }
  int mkdir(const std::filesystem::path& path, mode_t mode) override {
    hold(fs_op::mkdir, path);
    return fault_file_system::mkdir(path, mode);
  }

  // True once the call is held.
  bool wait_held() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, TIME_LIMIT, [this] { return held_; });
  }
  void release() {
    std::scoped_lock lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  void hold(fs_op op, const std::filesystem::path& path) {
    if (op != op_ || path.string().find(substring_) == std::string::npos) return;
    std::unique_lock lock(mutex_);
    if (held_) return;
    held_ = true;
    changed_.notify_all();
    changed_.wait_for(lock, TIME_LIMIT, [this] { return released_; });
  }

  const fs_op op_;
  const std::string substring_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
  bool released_ = false;
};

// Calls on threads of their own that must all end within the time limit. A call still blocked
// in the registry cannot be joined, so a late one fails the test and ends the process.
class bounded_threads {
 public:
  ~bounded_threads() { join(); }

  void start(std::function<void()> call) {
    calls_.push_back(std::async(std::launch::async, std::move(call)));
  }
  void join() {
    for (std::future<void>& call : calls_) {
      if (call.wait_for(TIME_LIMIT) != std::future_status::ready) {
        ADD_FAILURE() << "a thread still blocked after the time limit";
        std::fflush(nullptr);
        std::_Exit(EXIT_FAILURE);
      }
      call.get();
    }
    calls_.clear();
  }

 private:
  std::vector<std::future<void>> calls_;
};

std::vector<std::byte> key(int64_t id) {
  return testing::encode_tuple({INT64}, {testing::material(id)});
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
  EXPECT_EQ(file_text(dir / "3" / "1" / "name"), "alpha");
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
}

void expect_root_in_use(const std::filesystem::path& root) {
  EXPECT_EQ(testing::message_of<errors::error>([&] { storage second(root); }),
            "Storage directory " + root.string() + " is in use by another storage");
}

TEST(StorageTest, PartitionsOutliveTheStorageObjectAndHoldItsRoot) {
  testing::test_dir dir;
  auto s = std::make_unique<storage>(dir.path());
  table_partition* p = s->create_table_partition("t", 1, 2, table_schema());
  storage::table_deleter::run(s->create_table_partition("t", 1, 1, table_schema()));
  s->get_registry()->broadcast_low_watermark(77);
  EXPECT_EQ(p->tree().get_low_watermark(), 77);
  expect_root_in_use(dir.path());
  const std::weak_ptr<storage::registry> registry = s->get_registry();
  s.reset();
  ASSERT_FALSE(registry.expired()) << "the open partition keeps the registry";
  upsert(p, 1, 5);
  expect_root_in_use(dir.path());
  auto scan = p->get_full_pipeline(2);
  ASSERT_NE(scan, nullptr);
  int64_t id = 0;
  EXPECT_TRUE(
      scan->get_next([&](const row_values& values) { std::memcpy(&id, values.at(0)->data, 8); }));
  EXPECT_EQ(id, 5);
  storage::table_deleter::run(p);
  EXPECT_FALSE(registry.expired()) << "the open scan keeps the partition and its registry";
  scan.reset();
  EXPECT_TRUE(registry.expired());
  // A rebuilt registry lists partitions of one table in directory order.
  storage rebuilt(dir.path());
  EXPECT_EQ(catalog_rows(rebuilt), (std::vector<std::string>{"1/1/t", "2/1/t"}));
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
  // What a crash leaves of a creation goes.
  std::filesystem::create_directories(dir / "5" / "3.creating");
  std::ofstream(dir / "5" / "3.creating" / "schema").close();
  {
    storage s(dir.path());
    EXPECT_FALSE(std::filesystem::exists(dir / "5" / "8"));
    EXPECT_FALSE(std::filesystem::exists(dir / "5" / "3.creating"));
    EXPECT_TRUE(std::filesystem::exists(dir / "5" / "9x"));
    EXPECT_EQ(catalog_rows(s), std::vector<std::string>{"7/5/keep"});
  }
  std::filesystem::rename(dir / "5", dir / "5x");  // a number with trailing letters is read
  {
    storage s(dir.path());
    EXPECT_EQ(catalog_rows(s), std::vector<std::string>{"7/5/keep"});
  }
  std::filesystem::create_directories(dir / "tmp");
  EXPECT_EQ(testing::message_of([&] { storage s(dir.path()); }), "stoi");
}

TEST(StorageTest, APartitionWhoseTreeCannotOpenIsRefusedAlone) {
  testing::test_dir dir;
  {
    storage s(dir.path());
    storage::table_deleter::run(s.create_table_partition("bad", 1, 1, table_schema()));
    storage::table_deleter::run(s.create_table_partition("good", 1, 2, table_schema()));
  }
  std::ofstream(dir / "1" / "1" / "schema", std::ios::trunc) << "garbage";
  storage s(dir.path());
  EXPECT_EQ(catalog_rows(s), (std::vector<std::string>{"1/1/bad", "2/1/good"}));
  for (int call = 0; call < 2; ++call) {
    EXPECT_EQ(testing::message_of<errors::error>([&] { s.get_table_partition(1, 1); }),
              "Could not load merge-tree from directory \"" + (dir / "1" / "1").string() +
                  "\" : Truncated schema: column count needs 4 bytes, 3 left");
  }
  table_partition* good = s.get_table_partition(1, 2);
  ASSERT_NE(good, nullptr);
  storage::table_deleter::run(good);
  EXPECT_EQ(file_text(dir / "1" / "1" / "schema"), "garbage")
      << "a refused partition is left alone";
}

TEST(StorageTest, DropWaitsForTheLastScanAndHidesThePartition) {
  testing::test_dir dir;
  storage s(dir.path());
  table_partition* p = s.create_table_partition("t", 2, 1, table_schema());
  for (int64_t id : {1, 2}) upsert(p, 1, id);
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

// The partition 1/1 named "t" is there whole, or not at all and then creatable; the table
// directory holds nothing else.
void expect_whole_or_absent(storage& s, const std::filesystem::path& root, bool must_exist) {
  table_partition* p = s.get_table_partition(1, 1);
  if (p == nullptr) {
    EXPECT_FALSE(must_exist) << "a created partition was lost";
    EXPECT_TRUE(catalog_rows(s).empty());
    p = s.create_table_partition("t", 1, 1, table_schema());
    ASSERT_NE(p, nullptr);
  }
  EXPECT_EQ(p->name, "t");
  EXPECT_EQ(p->get_schema(), table_schema());
  storage::table_deleter::run(p);
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(root / "1")) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"1"});
}

TEST(StorageFaultTest, PartitionCreationIsWholeOrAbsentAfterAnyFailedCallAndPowerLoss) {
  enum class then { retry, restart, power_loss };
  for (then next : {then::retry, then::restart, then::power_loss}) {
    for (fs_op op : {fs_op::mkdir, fs_op::open, fs_op::write, fs_op::fsync, fs_op::rename}) {
      bool reached = true;
      for (uint64_t n = 0; reached; ++n) {
        SCOPED_TRACE(::testing::Message() << "then " << static_cast<int>(next) << ", call " << n
                                          << " of op " << static_cast<int>(op) << " fails");
        testing::test_dir dir;
        testing::fault_file_system fs;
        scoped_file_system installed(fs);
        auto s = std::make_unique<storage>(dir.path());
        fs.reset_counts();
        fs.fail_nth(op, n, EIO);
        table_partition* p = nullptr;
        try {
          p = s->create_table_partition("t", 1, 1, table_schema());
          EXPECT_NE(p, nullptr);
        } catch (const errors::error&) {
          // The failed call, as such or as the cause of a failed open of the new tree.
        }
        reached = fs.count(op) > n;
        fs.clear_faults();
        storage::table_deleter::run(p);
        if (next != then::retry) {
          s.reset();
          if (next == then::power_loss) fs.simulate_power_loss();
          s = std::make_unique<storage>(dir.path());
        }
        expect_whole_or_absent(*s, dir.path(), p != nullptr);
        s.reset();
        fs.simulate_power_loss();
        storage after(dir.path());
        expect_whole_or_absent(after, dir.path(), true);
        if (::testing::Test::HasFailure()) return;
      }
    }
  }
}

TEST(StorageFaultTest, ADroppedPartitionStaysDroppedAfterPowerLoss) {
  testing::test_dir dir;
  testing::fault_file_system fs;
  scoped_file_system installed(fs);
  {
    storage s(dir.path());
    storage::table_deleter::run(s.create_table_partition("t", 1, 1, table_schema()));
    // The schema stays: only the marker keeps the partition dropped.
    fs.fail_matching(fs_op::unlink, "/1/1/schema", EIO);
    try {
      s.drop_table_partition(1, 1);
    } catch (const errors::error&) {
      // Whether the drop reports its unfinished removal is not pinned here.
    }
    fs.clear_faults();
  }
  fs.simulate_power_loss();
  storage s(dir.path());
  EXPECT_TRUE(catalog_rows(s).empty());
  EXPECT_FALSE(std::filesystem::exists(dir / "1" / "1"));
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
  // Every release flushes: real syncs would make this a test of the disk.
  testing::unsynced_file_system unsynced;
  scoped_file_system installed(unsynced);
  storage s(dir.path());
  constexpr int WRITERS = 3;
  constexpr int ROWS = 400;
  for (int w = 0; w < WRITERS; ++w) {
    storage::table_deleter::run(s.create_table_partition("w", 1, w, table_schema()));
  }
  std::vector<std::thread> threads;
  for (int w = 0; w < WRITERS; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < ROWS; ++i) {
        table_partition* p = s.get_table_partition(1, w);
        upsert(p, i + 1, i);
        storage::table_deleter::run(p);
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < 100; ++i) {
      storage::table_deleter::run(s.create_table_partition("scratch", 2, i, table_schema()));
      s.drop_table_partition(2, i);
      catalog_rows(s);
    }
  });
  for (auto& t : threads) t.join();
  EXPECT_EQ(catalog_rows(s).size(), static_cast<size_t>(WRITERS));
}

TEST(StorageConcurrencyTest, FailedOpensAndCreationsWakeEveryWaiter) {
  testing::test_dir dir;
  storage s(dir.path());
  storage::table_deleter::run(s.create_table_partition("t", 1, 1, table_schema()));
  {
    // Every opener of 1/1 fails; the first is held until two more queue behind it.
    gated_file_system fs(fs_op::open, "/1/1/schema");
    fs.fail_matching(fs_op::open, "/1/1/schema", EMFILE);
    scoped_file_system installed(fs);
    std::atomic<int> failures{0};
    auto get = [&] {
      try {
        storage::table_deleter::run(s.get_table_partition(1, 1));
        ADD_FAILURE() << "opened through a failing call";
      } catch (const errors::error& e) {
        EXPECT_NE(std::string(e.what()).find("Too many open files"), std::string::npos) << e.what();
        ++failures;
      }
    };
    bounded_threads threads;
    threads.start(get);
    ASSERT_TRUE(fs.wait_held());
    threads.start(get);
    threads.start(get);
    std::this_thread::sleep_for(100ms);  // the two queue behind the held opener
    fs.release();
    threads.join();
    EXPECT_EQ(failures.load(), 3);
  }
  table_partition* p = s.get_table_partition(1, 1);
  EXPECT_NE(p, nullptr) << "the partition opens once the calls succeed";
  storage::table_deleter::run(p);

  // A creation that fails: its waiters get no partition, never a tree of a removed directory.
  gated_file_system fs(fs_op::open, "schema");
  fs.fail_matching(fs_op::write, "schema", ENOSPC);
  scoped_file_system installed(fs);
  std::atomic<bool> created{false};
  std::atomic<bool> got{false};
  bounded_threads threads;
  threads.start([&] {
    EXPECT_THROW(created = s.create_table_partition("t", 2, 1, table_schema()) != nullptr,
                 errors::system_error);
  });
  ASSERT_TRUE(fs.wait_held());
  threads.start([&] {
    try {
      table_partition* waiter = s.get_table_partition(2, 1);
      got = waiter != nullptr;
      storage::table_deleter::run(waiter);
    } catch (const errors::error& e) {
      ADD_FAILURE() << "a waiter opened what the creation left: " << e.what();
    }
  });
  std::this_thread::sleep_for(100ms);
  fs.release();
  threads.join();
  EXPECT_FALSE(created.load());
  EXPECT_FALSE(got.load()) << "a waiter got a partition whose creation failed";
}

TEST(StorageConcurrencyTest, AReopenWaitsForThePreviousCloseToFinish) {
  testing::test_dir dir;
  storage s(dir.path());
  table_partition* p = s.create_table_partition("t", 1, 1, table_schema());
  upsert(p, 1, 1);
  // The close flushes the row: its segment directory is held.
  gated_file_system fs(fs_op::mkdir, "/1/1/");
  scoped_file_system installed(fs);
  std::atomic<table_partition*> reopened{nullptr};
  bounded_threads threads;
  threads.start([&] { storage::table_deleter::run(p); });
  ASSERT_TRUE(fs.wait_held());
  threads.start([&] { reopened = s.get_table_partition(1, 1); });
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(reopened.load(), nullptr) << "a second tree opened while the first was closing";
  fs.release();
  threads.join();
  ASSERT_NE(reopened.load(), nullptr);
  EXPECT_EQ(reopened.load()->tree().read(TX_TIMESTAMP_LATEST, testing::view(key(1))), row(1));
  storage::table_deleter::run(reopened.load());
}

}  // namespace
}  // namespace ombrel
