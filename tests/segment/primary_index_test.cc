#include "segment/primary_index.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "native/errors.h"
#include "segment/primary_index_creator.h"
#include "segment/segment.h"
#include "segment/segment_creator.h"
#include "segment_test_util.h"
#include "tests/support/test_dir.h"

namespace ombrel {
namespace {

using testing::composite_table;
using testing::seeded_column;
using testing::seeded_schema;
using testing::seeded_table;
using testing::test_dir;
using testing::test_mem_table;

namespace fs = std::filesystem;

seeded_table int_key_table() {
  return seeded_table(
      seeded_schema({seeded_column("k", INT64), seeded_column("v", INT32)}, {0, NO_COLUMN}));
}

std::vector<std::byte> int64_entries(const std::vector<int64_t>& keys) {
  std::vector<std::byte> bytes(keys.size() * 8);
  std::memcpy(bytes.data(), keys.data(), bytes.size());
  return bytes;
}

TEST(PrimaryIndexTest, OneRowGivesTwoEntriesAnd513RowsSample512Twice) {
  const seeded_table table = int_key_table();
  for (const auto& [rows, sampled] : std::vector<std::pair<int64_t, std::vector<int64_t>>>{
           {1, {0, 0}}, {513, {0, 512, 512}}, {512, {0, 511}}, {1025, {0, 512, 1024, 1024}}}) {
    SCOPED_TRACE(rows);
    test_dir dir;
    test_mem_table m(table);
    for (int64_t i = 0; i < rows; ++i) m.upsert({i, i}, 1);
    const segment s(dir / "1", table.schema, m.get());
    std::vector<int64_t> keys;
    for (int64_t r : sampled) keys.push_back(r * 3 - 1000);
    EXPECT_EQ(testing::read_file(dir / "1" / "_index"), int64_entries(keys));
    EXPECT_EQ(s.index().keys().size(), sampled.size());
  }
}

TEST(PrimaryIndexTest, EntriesAlignEachKeyColumnAndPrefixVariableLengthValues) {
  const seeded_table table = composite_table();
  primary_index_creator creator;
  const std::string names[] = {"ab", "xyz"};
  for (int i = 0; i < 2; ++i) {
    creator.append_value(table.row_material[0], bytes_view(names[i].data(), names[i].size()));
    const int32_t n = 7 + i;
    creator.append_value(table.row_material[1], bytes_view(&n, 4));
  }
  // "ab": length 2, 'a' 'b', 2 bytes of padding, n 7; "xyz" at 12: length 3, bytes, 1 byte of
  // padding, n 8.
  const std::vector<uint8_t> expected = {2, 0, 0, 0, 'a', 'b', 0,   0, 7, 0, 0, 0,
                                         3, 0, 0, 0, 'x', 'y', 'z', 0, 8, 0, 0, 0};
  ASSERT_EQ(creator.buffer().size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(std::to_integer<uint8_t>(creator.buffer()[i]), expected[i]) << i;
  }

  test_dir dir;
  creator.finalize(dir / "seg");
  EXPECT_TRUE(creator.buffer().empty());
  const std::vector<column_file> columns;
  const primary_index index(dir / "seg", table.row_material, columns);
  ASSERT_EQ(index.keys().size(), 2u);
  uint32_t length;
  std::memcpy(&length, index.keys()[1][0], 4);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(index.keys()[1][0]) + 4, 3), "xyz");
  int32_t n;
  std::memcpy(&n, index.keys()[1][1], 4);
  EXPECT_EQ(n, 8);
  EXPECT_EQ(index.keys()[1][2], nullptr);
}

TEST(PrimaryIndexTest, FindGranulesStartsAtTheLastEntryBelowTheKey) {
  const seeded_table table = int_key_table();
  test_dir dir;
  // Entries 10, 20, 20, 30, 40 (k = 5); the last only bounds the segment.
  testing::write_file(dir / "_index", int64_entries({10, 20, 20, 30, 40}));
  const std::vector<column_file> columns;
  const primary_index index(dir.path(), table.row_material, columns);
  struct {
    int64_t key;
    uint64_t low;
    uint64_t high;
  } cases[] = {
      {5, 0, 0},  {10, 0, 1}, {15, 0, 1}, {20, 0, 3}, {25, 2, 3},
      {30, 2, 4}, {35, 3, 4}, {40, 3, 4}, {99, 3, 4},
  };
  for (const auto& c : cases) {
    const int64_t key = c.key;
    const std::byte* slots[2] = {reinterpret_cast<const std::byte*>(&key), nullptr};
    EXPECT_EQ(index.find_granules(material_tuple(slots, 2)), std::make_pair(c.low, c.high))
        << "key " << c.key;
  }

  testing::write_file(dir / "_index", int64_entries({10}));
  const primary_index single(dir.path(), table.row_material, columns);
  const int64_t key = 10;
  const std::byte* slots[2] = {reinterpret_cast<const std::byte*>(&key), nullptr};
  EXPECT_EQ(single.find_granules(material_tuple(slots, 2)),
            std::make_pair(uint64_t{0}, uint64_t{0}));
}

// G samples rows 0, G, 2G, ... and the last row again: (rows - 1) / G + 2 entries.
TEST(PrimaryIndexTest, EntryCountsGiveTheGranularitiesThatSampleThem) {
  using range = std::optional<std::pair<uint64_t, uint64_t>>;
  const struct {
    uint64_t entries;
    uint64_t rows;
    range expected;
  } cases[] = {
      {2, 1, range({1, UINT64_MAX})}, {2, 512, range({512, UINT64_MAX})},
      {3, 513, range({257, 512})},    {4, 6, range({2, 2})},
      {7, 6, range({1, 1})},          {5, 6, std::nullopt},  // 2 gives 4 entries, 1 gives 7
      {8, 6, std::nullopt},           {1, 6, std::nullopt},
      {2, 0, std::nullopt},           {0, 0, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(primary_index::granularities_for(c.entries, c.rows), c.expected)
        << c.entries << " entries, " << c.rows << " rows";
  }
}

TEST(PrimaryIndexTest, EmptyOrCutFilesAreRefused) {
  const seeded_table ints = int_key_table();
  const seeded_table composite = composite_table();
  const std::vector<column_file> columns;
  struct {
    const char* name;
    const seeded_table& table;
    std::vector<uint8_t> bytes;
    const char* message;
  } cases[] = {
      {"empty", ints, {}, "Index is empty: "},
      {"cut inside an entry", ints, {1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0}, "Index is corrupted: "},
      {"cut inside a length", composite, {1, 0}, "Index is corrupted: "},
      {"length beyond the file",
       composite,
       {200, 0, 0, 0, 'a', 'b', 0, 0, 7, 0, 0, 0},
       "Index is corrupted: "},
      {"huge length", composite, {255, 255, 255, 255, 'a'}, "Index is corrupted: "},
      {"second column missing", composite, {1, 0, 0, 0, 'a'}, "Index is corrupted: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test_dir dir;
    std::vector<std::byte> bytes;
    for (uint8_t b : c.bytes) bytes.push_back(std::byte{b});
    testing::write_file(dir / "_index", bytes);
    EXPECT_EQ(
        testing::error_of([&] { primary_index index(dir.path(), c.table.row_material, columns); }),
        c.message + (dir / "_index").string());
  }
}

TEST(PrimaryIndexTest, DeletedIndexIsRebuiltByteIdentical) {
  for (const seeded_table& table : {int_key_table(), composite_table()}) {
    test_dir dir;
    {
      test_mem_table m(table);
      for (int64_t i = 0; i < 2000; ++i) {
        if (table.schema.key_count() == 1) {
          m.upsert({i, i}, 1);
        } else {
          m.upsert({i, i / 3, i % 3}, 1);
        }
      }
      segment_creator::create_from_rows(dir / "1", table.schema, table.row_material, m.get());
    }
    const auto written = testing::read_file(dir / "1" / "_index");
    fs::remove(dir / "1" / "_index");
    const segment s(dir / "1");
    EXPECT_EQ(testing::read_file(dir / "1" / "_index"), written);
    EXPECT_EQ(s.index().keys().size(), 5u);  // rows 0, 512, 1024, 1536, 1999
  }
}

TEST(PrimaryIndexTest, DuplicateLinksTheFileAndRefusesAnExistingTarget) {
  test_dir dir;
  fs::create_directories(dir / "a");
  fs::create_directories(dir / "b");
  testing::write_file(dir / "a" / "_index", int64_entries({1, 2}));
  primary_index::duplicate(dir / "a", dir / "b");
  EXPECT_EQ(fs::hard_link_count(dir / "a" / "_index"), 2u);
  EXPECT_EQ(testing::read_file(dir / "b" / "_index"), int64_entries({1, 2}));
  EXPECT_THROW(primary_index::duplicate(dir / "a", dir / "b"), errors::system_error);
}

}  // namespace
}  // namespace ombrel
