#include "memtable/mem_table_buffer_pool.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "memtable/row_set.h"
#include "memtable_fakes.h"
#include "native/errors.h"

namespace ombrel {
namespace {

using testing::message_of;

constexpr uint64_t MB = 1000000;

mem_table_buffer_pool::statistics stats(const mem_table_buffer_pool& pool) {
  mem_table_buffer_pool::statistics s;
  pool.get_statistics(s);
  return s;
}

class MemTableBufferPoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (page_memory::get_instance().page_size() != 4096) GTEST_SKIP() << "needs 4 KiB pages";
    ASSERT_EQ(row_set::cached_memtables(), 0u);
  }
};

TEST_F(MemTableBufferPoolTest, SizesRoundToPagesAndWholeBuffers) {
  const struct {
    uint64_t buffer_capacity, pool_capacity, buffer_size, capacity;
  } cases[] = {
      {MB, 10 * MB, 1003520, 9031680},  // 245 pages per buffer, 9 buffers
      {4096, 4096, 4096, 4096},        {1, 10000, 4096, 8192},
      {0, 8192, 4096, 8192},  // a zero buffer size falls back to one page
      {8192, 8191, 8192, 0},  // not even one buffer
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.buffer_capacity);
    mem_table_buffer_pool pool(c.buffer_capacity, c.pool_capacity);
    EXPECT_EQ(pool.buffer_size(), c.buffer_size);
    EXPECT_EQ(pool.capacity(), c.capacity);
    EXPECT_EQ(stats(pool).free_buffers, c.capacity / c.buffer_size);
  }
  // A size whose rounding would wrap around to 0 is refused instead.
  EXPECT_EQ(message_of([] { mem_table_buffer_pool pool(UINT64_MAX, UINT64_MAX); }),
            "Size 18446744073709551615 is too large to round up to whole pages");
}

TEST_F(MemTableBufferPoolTest, StandardBuffersComeInAddressOrderAndReturnToTheHead) {
  mem_table_buffer_pool pool(MB, 10 * MB);
  std::vector<mem_table_buffer*> taken;
  for (int i = 0; i < 3; ++i) taken.push_back(pool.get_buffer(nullptr, i == 0 ? 1 : MB));
  for (int i = 0; i < 3; ++i) {
    ASSERT_NE(taken[i], nullptr);
    EXPECT_EQ(taken[i]->size, 1003520u);
    EXPECT_EQ(taken[i]->data, taken[0]->data + i * 1003520);
  }
  std::memset(taken[1]->data, 0x33, taken[1]->size);
  pool.put_buffer(taken[1]);
  EXPECT_EQ(stats(pool).free_buffers, 7u);
  mem_table_buffer* again = pool.get_buffer(nullptr, 100);
  EXPECT_EQ(again, taken[1]);
  EXPECT_EQ(again->data[0], std::byte{0x33});  // not cleared
  for (auto* b : {taken[0], again, taken[2]}) pool.put_buffer(b);
  EXPECT_EQ(stats(pool).free_buffers, 9u);
}

TEST_F(MemTableBufferPoolTest, LargeBuffersRetireStandardOnesUntilReturned) {
  mem_table_buffer_pool pool(MB, 10 * MB);
  const struct {
    uint64_t request, size, retired;
  } cases[] = {
      {1003521, 1007616, 2},          // one byte above a buffer: two chunks
      {2 * 1003520, 2007040, 2},      // exactly two buffers
      {3 * 1003520 - 5, 3010560, 3},  // rounds up to the same pages
      {9031680, 9031680, 9},          // exactly the capacity: every buffer retired
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    mem_table_buffer* b = pool.get_buffer(nullptr, c.request);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->size, c.size);
    EXPECT_EQ(stats(pool).free_buffers, 9 - c.retired);
    std::memset(b->data, 1, b->size);
    pool.put_buffer(b);
    EXPECT_EQ(stats(pool).free_buffers, 9u);
  }
  EXPECT_EQ(message_of([&] { pool.get_buffer(nullptr, 9031681); }),
            "Suspiciously large memory request.");
  try {
    pool.get_buffer(nullptr, 9031681);
    ADD_FAILURE() << "served";
  } catch (const errors::error& e) {
    EXPECT_FALSE(e.trace().empty());
  }
  EXPECT_EQ(stats(pool).failures, 0u);
  // Retired buffers come back depopulated: they read as zeros.
  mem_table_buffer* first = pool.get_buffer(nullptr, 1);
  EXPECT_EQ(first->data[0], std::byte{0});
  pool.put_buffer(first);
}

TEST_F(MemTableBufferPoolTest, EmptyFreeListWithoutMemTablesRaisesEvictionFailure) {
  mem_table_buffer_pool pool(MB, 10 * MB);
  // The row sets' process-wide eviction, with no mem-table anywhere.
  struct : mem_table_buffer_pool::evictor {
    bool evict_for_buffer() override { return row_set::evict(nullptr); }
  } lru;
  std::vector<mem_table_buffer*> all;
  for (int i = 0; i < 9; ++i) all.push_back(pool.get_buffer(&lru, 10));
  EXPECT_EQ(pool.get_buffer(nullptr, 10), nullptr);  // no evictor: no buffer, no error
  EXPECT_EQ(stats(pool).shortages, 1u);
  EXPECT_EQ(message_of<errors::fatal_error>([&] { pool.get_buffer(&lru, 10); }),
            "Failed to find any mem-tables to evict");
  EXPECT_EQ(stats(pool).shortages, 2u);
  // A large request that cannot retire enough buffers gives back what it took.
  pool.put_buffer(all.back());
  all.pop_back();
  pool.put_buffer(all.back());
  all.pop_back();
  EXPECT_EQ(message_of([&] { pool.get_buffer(&lru, 3 * MB); }),
            "Failed to find any mem-tables to evict");
  EXPECT_EQ(stats(pool).free_buffers, 2u);
  EXPECT_EQ(stats(pool).shortages, 3u);
  for (auto* b : all) pool.put_buffer(b);
  EXPECT_EQ(stats(pool).free_buffers, 9u);
}

TEST_F(MemTableBufferPoolTest, OwnMemTableIsNeverEvictedForItselfAndFailuresAreCounted) {
  mem_table_buffer_pool pool(4096, 2 * 4096);
  testing::fake_tree tree(testing::int_key_schema(), pool);
  auto rows = tree.new_row_set();
  auto row = tree.table().row({1, 2, std::string(100, 'x')});
  auto updater = rows->get_memtable_updater();
  // The mem-table takes one buffer and a row goes in.
  ASSERT_TRUE(updater.ensure_tuple_size(row->parsed->material_size()));
  updater.insert(*row->parsed, 1, uuid{});
  mem_table_buffer* other = pool.get_buffer(nullptr, 1);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(row_set::cached_memtables(), 1u);

  // A row too big for the rest of the buffer: only the requester's own mem-table is cached.
  EXPECT_FALSE(updater.ensure_tuple_size(4000));
  auto s = stats(pool);
  EXPECT_EQ(s.shortages, 1u);
  EXPECT_EQ(s.failures, 1u);
  EXPECT_EQ(tree.evictions, 0);
  // Unlinked by the attempt, linked again by the next request; each failure counts once.
  EXPECT_EQ(row_set::cached_memtables(), 0u);
  EXPECT_FALSE(updater.ensure_tuple_size(4000));
  EXPECT_EQ(stats(pool).failures, 2u);
  EXPECT_TRUE(updater.ensure_tuple_size(64));
  EXPECT_EQ(row_set::cached_memtables(), 1u);
  // A large request on its behalf fails the same way and keeps nothing half-done.
  EXPECT_FALSE(updater.ensure_tuple_size(5000));
  s = stats(pool);
  EXPECT_EQ(s.failures, 3u);
  EXPECT_EQ(s.shortages, 3u);
  EXPECT_EQ(s.free_buffers, 0u);
  pool.put_buffer(other);
  EXPECT_TRUE(updater.ensure_tuple_size(4000));
  EXPECT_EQ(stats(pool).failures, 3u);
  // The row set still answers from its mem-table.
  const auto key = tree.table().key({1});
  EXPECT_EQ(rows->search(10, key.get(), picked_columns::all(tree.schema())).index(), 3u);
}

}  // namespace
}  // namespace ombrel
