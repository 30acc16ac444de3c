#include "segment/segment_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>
#include <variant>
#include <vector>

#include "model/file_system.h"
#include "segment/column_creator.h"
#include "segment/column_picker.h"
#include "segment/segment.h"
#include "segment_test_util.h"
#include "tests/support/fault_file_system.h"
#include "tests/support/test_dir.h"

namespace ombrel {
namespace {

using testing::seeded_column;
using testing::seeded_schema;
using testing::seeded_table;
using testing::test_dir;
using testing::test_mem_table;

// (k INT64 key, v STRING nullable)
seeded_table key_value_table() {
  return seeded_table(
      seeded_schema({seeded_column("k", INT64), seeded_column("v", STRING, true)}, {0, NO_COLUMN}));
}

// Keys 0..n-1 at timestamp 1, every ninth value null.
void fill(test_mem_table& m, int64_t n) {
  for (int64_t i = 0; i < n; ++i) m.upsert({i, i % 9 == 0 ? std::nullopt : std::optional(i)}, 1);
}

std::shared_ptr<const decoded_block> block_of_bytes(uint64_t bytes) {
  auto b = std::make_shared<decoded_block>();
  b->data = std::make_unique<std::byte[]>(bytes);
  b->data_size = bytes;
  return b;
}

TEST(SegmentCacheTest, LeastRecentlyUsedBlocksLeaveFirst) {
  const uint64_t unit = block_of_bytes(1000)->memory();
  std::atomic<uint64_t> capacity{3 * unit};
  segment_cache cache(capacity);
  using key = segment_cache::key;
  for (uint32_t b = 0; b < 3; ++b) cache.insert(key{1, 0, b}, block_of_bytes(1000));
  EXPECT_EQ(cache.memory(), 3 * unit);
  ASSERT_TRUE(cache.find(key{1, 0, 0}));  // now the most recently used
  cache.insert(key{2, 0, 0}, block_of_bytes(1000));
  EXPECT_TRUE(cache.find(key{1, 0, 0}));
  EXPECT_FALSE(cache.find(key{1, 0, 1}));
  EXPECT_TRUE(cache.find(key{1, 0, 2}));
  EXPECT_EQ(cache.size(), 3u);

  // A second insert under a key keeps the first block.
  const auto first = cache.find(key{2, 0, 0});
  EXPECT_EQ(cache.insert(key{2, 0, 0}, block_of_bytes(1000)), first);

  // A block larger than the whole budget is not kept and evicts nothing it need not.
  const auto big = block_of_bytes(4 * unit);
  EXPECT_EQ(cache.insert(key{3, 0, 0}, big), big);
  EXPECT_FALSE(cache.find(key{3, 0, 0}));

  cache.erase_segment(1);
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_TRUE(cache.find(key{2, 0, 0}));
  EXPECT_EQ(cache.memory(), unit);

  capacity = 0;  // disabled: holds nothing
  EXPECT_FALSE(cache.find(key{2, 0, 0}));
  EXPECT_EQ(cache.size(), 0u);
  EXPECT_EQ(cache.memory(), 0u);
  cache.insert(key{2, 0, 0}, block_of_bytes(10));
  EXPECT_EQ(cache.size(), 0u);
  EXPECT_GT(cache.hits(), 0u);
  EXPECT_GT(cache.misses(), 0u);
}

TEST(SegmentCacheTest, SearchesFillTheCacheAndADestroyedSegmentLeavesIt) {
  test_dir dir;
  testing::cache_capacity_scope capacity(uint64_t{64} << 20);
  segment_cache& cache = segment_cache::instance();
  const seeded_table table = key_value_table();
  test_mem_table m(table);
  fill(m, 20000);
  auto s = std::make_shared<segment>(dir / "1", table.schema, m.get());
  const uint64_t id = s->cache_id();
  const column_picker all(table.schema);

  const owned_material_tuple key = table.key({15000});
  const uint64_t decoded = decoded_block_count();
  const uint64_t misses = cache.misses();
  ASSERT_TRUE(std::holds_alternative<flat_tuple>(s->search(1, key.get(), all)));
  // The timestamp and key blocks of rows 8192..16383, the null map and the value block, all
  // through one lookup of the row group and one of the null map.
  EXPECT_EQ(decoded_block_count() - decoded, 4u);
  EXPECT_EQ(cache.misses() - misses, 2u);
  const segment_cache::key group{id, segment_cache::ROW_GROUP, 1};
  const segment_cache::key nulls{id, 1, s->layout(1).null_map_header()};
  const auto held = std::dynamic_pointer_cast<const row_group>(cache.find(group));
  ASSERT_TRUE(held);
  EXPECT_EQ(held->first_row(), 8192u);
  EXPECT_TRUE(held->find(s->timestamp_slot(), 15000));
  EXPECT_TRUE(held->find(0, 15000));
  EXPECT_TRUE(held->find(1, 15000));  // point reads keep values
  EXPECT_FALSE(held->find(0, 5000));
  EXPECT_TRUE(cache.find(nulls));

  // Again, and another row of the group: nothing is decoded, one lookup each.
  const uint64_t again = decoded_block_count();
  const uint64_t hits = cache.hits();
  ASSERT_TRUE(std::holds_alternative<flat_tuple>(s->search(1, key.get(), all)));
  const owned_material_tuple near = table.key({9000});  // a null
  const search_result r = s->search(1, near.get(), all);
  ASSERT_TRUE(std::holds_alternative<flat_tuple>(r));
  EXPECT_FALSE(std::get<flat_tuple>(r)[1].has_value());
  EXPECT_EQ(decoded_block_count() - again, 0u);
  EXPECT_EQ(cache.hits() - hits, 2u);

  // A destroyed segment takes its entries out of the cache.
  const uint64_t size = cache.size();
  s.reset();
  EXPECT_FALSE(cache.find(group));
  EXPECT_FALSE(cache.find(nulls));
  EXPECT_EQ(cache.size(), size - 2);
}

TEST(SegmentCacheTest, EveryBlockReadPassesTheFileLayer) {
  test_dir dir;
  testing::cache_capacity_scope capacity(0);  // every search reads its blocks
  const seeded_table table = key_value_table();
  test_mem_table m(table);
  fill(m, 20000);
  testing::fault_file_system layer;
  scoped_file_system installed(layer);
  auto s = std::make_shared<segment>(dir / "1", table.schema, m.get());
  const column_picker all(table.schema);
  const owned_material_tuple key = table.key({15000});
  ASSERT_TRUE(std::holds_alternative<flat_tuple>(s->search(1, key.get(), all)));

  // Timestamps, keys, the null map and the values: four reads a search, each file opened for
  // its read and closed after it, so that idle segments hold no descriptors.
  layer.reset_counts();
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(std::holds_alternative<flat_tuple>(s->search(1, key.get(), all)));
  }
  EXPECT_EQ(layer.count(testing::fs_op::pread), 12u);
  EXPECT_EQ(layer.count(testing::fs_op::open), 12u);
  EXPECT_EQ(layer.count(testing::fs_op::close), 12u);

  layer.fail_matching(testing::fs_op::pread, "v.bin", EIO);
  EXPECT_EQ(testing::error_of([&] { s->search(1, key.get(), all); }),
            "Failed to read " + (dir / "1" / "v.bin").string() + ": " + std::strerror(EIO));
  layer.clear_faults();
  ASSERT_TRUE(std::holds_alternative<flat_tuple>(s->search(1, key.get(), all)));
}

TEST(SegmentCacheTest, ConcurrentSearchesShareATinyCache) {
  test_dir dir;
  testing::cache_capacity_scope capacity(uint64_t{48} << 10);  // a few blocks: constant eviction
  const seeded_table table = key_value_table();
  test_mem_table m(table);
  fill(m, 30000);
  const auto s = [&] {
    testing::block_hint_scope hint(256);
    return std::make_shared<segment>(dir / "1", table.schema, m.get());
  }();

  const column_picker all(table.schema);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int64_t i = t; i < 30000; i += 37) {
        const owned_material_tuple key = table.key({i});
        const search_result r = s->search(1, key.get(), all);
        const auto* row = std::get_if<flat_tuple>(&r);
        const bool expect_null = i % 9 == 0;
        if (row == nullptr || (*row)[1].has_value() == expect_null) ++wrong;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_LE(segment_cache::instance().memory(), uint64_t{48} << 10);
}

TEST(ColumnLayoutTest, LocatesRowsInBlocksOfEveryShape) {
  test_dir dir;
  const column_descriptor strings("s", column_info::of_type(STRING, true));
  {
    testing::block_hint_scope hint(100);
    column_creator c(dir.path(), strings);
    for (int i = 0; i < 250; ++i) {
      const std::string v(static_cast<size_t>(i % 7), static_cast<char>('a' + i % 26));
      c.add_value(i % 5 == 0 ? std::nullopt : std::optional(bytes_view(v.data(), v.size())));
    }
    c.close();
  }

  const column_layout layout(column_reader(column_file(dir.path(), strings)));
  ASSERT_EQ(layout.block_count(), 3u);
  EXPECT_EQ(layout.block(2).first_row, 200u);
  EXPECT_EQ(layout.block(2).header, 4u);
  EXPECT_EQ(layout.block_of(0), 0u);
  EXPECT_EQ(layout.block_of(199), 1u);
  EXPECT_EQ(layout.block_of(249), 2u);
  EXPECT_TRUE(layout.has_null_map());
  EXPECT_EQ(testing::error_of([&] { layout.block_of(250); }).substr(0, 22),
            "Bad column file data: ");

  const auto nulls = read_null_map(layout);
  for (int i = 0; i < 250; ++i) {
    const auto block = read_value_block(layout, layout.block_of(i));
    EXPECT_EQ(nulls->bit(i), i % 5 == 0);
    if (i % 5 != 0) {
      EXPECT_EQ(std::string(block->value(i).as_string()),
                std::string(static_cast<size_t>(i % 7), static_cast<char>('a' + i % 26)));
    } else {
      EXPECT_EQ(block->value(i).size(), 0u);
    }
  }
}

}  // namespace
}  // namespace ombrel
