#include "storage/cursor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "native/errors.h"
#include "storage/storage.h"
#include "tests/storage/storage_test_util.h"
#include "tests/support/test_dir.h"
#include "tests/support/testing.h"
#include "tests/support/tuples.h"
#include "tree/merge_tree.h"

namespace ombrel {
namespace {

using testing::rows_table;
using material = std::vector<std::byte>;

// (a INT32 key, b STRING nullable, c INT64 nullable)
schema_descriptor page_schema() {
  return testing::keyed_schema({{"a", INT32}, {"b", STRING}, {"c", INT64}});
}

testing::material_row page_row(int32_t a, std::optional<std::string> b, std::optional<int64_t> c) {
  return {testing::material(a), b ? std::optional(testing::material(*b)) : std::nullopt,
          c ? std::optional(testing::material(*c)) : std::nullopt};
}

std::string hex(const std::byte* p, size_t n) { return testing::hex(std::span(p, n)); }

// Tuple length of a row with an ASCII string of `n` bytes and a null c.
size_t tuple_length(int32_t a, size_t n) {
  return testing::encode_tuple({INT32, STRING, INT64}, page_row(a, std::string(n, 's'), {})).size();
}

uint32_t length_at(const std::byte* p) {
  uint32_t n;
  std::memcpy(&n, p, 4);
  return n;
}

TEST(CursorTest, PagesHoldLengthPrefixedTuplesByteForByte) {
  rows_table table(page_schema(), {page_row(1, "ab", std::nullopt), page_row(2, std::nullopt, 7),
                                   page_row(-1, "", 300)});
  cursor c(&table, TX_TIMESTAMP_LATEST);
  EXPECT_EQ(c.output_schema(), page_schema()) << "a full scan keeps the table's schema";
  EXPECT_EQ(c.capacity(), cursor::PAGE_SIZE);
  EXPECT_TRUE(c.has_next_page());
  EXPECT_EQ(table.taken, 1) << "the row looked at is kept for the page";
  EXPECT_EQ(c.fill_next_page(), 3u);
  EXPECT_EQ(hex(c.buffer(), 33),
            "0700000000010303016162"
            "06000000000101020207"
            "0800000000010204ff802c01");
  EXPECT_EQ(c.fill_next_page(), 0u);
  EXPECT_FALSE(c.has_next_page());

  // Projection {2, 0} gives (a, c); bits past the last column end it; nothing projected gives
  // one-byte tuples.
  bitset picked(70, false);
  picked.set(2).set(0).set(69);
  cursor projected(&table, TX_TIMESTAMP_LATEST, ombrel_table_scan{picked});
  ASSERT_EQ(projected.output_schema().columns.size(), 2u);
  EXPECT_EQ(projected.output_schema().columns[0].name, "a");
  EXPECT_EQ(projected.output_schema().columns[1].name, "c");
  EXPECT_EQ(projected.output_schema().key_columns.size(), 0u);
  EXPECT_EQ(projected.fill_next_page(), 3u);
  EXPECT_EQ(hex(projected.buffer(), 8), "0400000000010101");
  cursor empty(&table, TX_TIMESTAMP_LATEST, ombrel_table_scan{bitset()});
  EXPECT_EQ(empty.output_schema().columns.size(), 0u);
  EXPECT_EQ(empty.fill_next_page(), 3u);
  EXPECT_EQ(hex(empty.buffer(), 15), "010000000001000000000100000000");
}

TEST(CursorTest, OversizedRowsGetABufferOfTheirOwnAndExactFitsClosePages) {
  const size_t big = cursor::PAGE_SIZE + 1000;
  rows_table table(page_schema(), {page_row(1, "head", std::nullopt),
                                   page_row(2, std::string(big, 's'), std::nullopt),
                                   page_row(3, "tail", std::nullopt)});
  cursor c(&table, TX_TIMESTAMP_LATEST);
  EXPECT_EQ(c.fill_next_page(), 1u);
  const std::byte* first_page = c.buffer();
  const std::string first_bytes = hex(first_page, 16);
  EXPECT_EQ(c.fill_next_page(), 0u) << "the big row needs a buffer of its own";
  const size_t length = tuple_length(2, big);
  EXPECT_EQ(c.capacity(), length + 4);
  EXPECT_EQ(hex(first_page, 16), first_bytes) << "the host may still read the old page";
  EXPECT_TRUE(c.has_next_page());
  EXPECT_EQ(c.fill_next_page(), 1u);
  EXPECT_EQ(length_at(c.buffer()), length);
  EXPECT_EQ(c.fill_next_page(), 1u) << "the row after the big one comes next";
  EXPECT_EQ(c.fill_next_page(), 0u);
  EXPECT_EQ(c.capacity(), length + 4) << "the larger buffer is kept";

  // Room S after the first row: a second row of length S - 4 closes the page without taking
  // a third row; one of S - 5 leaves a byte, so the third row is taken and waits.
  const size_t first = 300000;
  const uint64_t room = cursor::PAGE_SIZE - 4 - (tuple_length(1, first) + 4);
  for (uint64_t slack : {4, 5}) {
    SCOPED_TRACE(slack);
    const size_t second = room - slack - (tuple_length(2, 70000) - 70000);
    ASSERT_EQ(tuple_length(2, second) + slack, room);
    rows_table fits(page_schema(), {page_row(1, std::string(first, 's'), std::nullopt),
                                    page_row(2, std::string(second, 's'), std::nullopt),
                                    page_row(3, "x", std::nullopt)});
    cursor page(&fits, TX_TIMESTAMP_LATEST);
    EXPECT_EQ(page.fill_next_page(), 2u);
    EXPECT_EQ(fits.taken, slack == 4 ? 2 : 3);
    EXPECT_EQ(page.fill_next_page(), 1u);
    EXPECT_EQ(page.fill_next_page(), 0u);
  }
}

// Rows read from segments go to pages a run at a time: the same pages as row by row, across
// page ends, for rows whose offsets take 1, 2 or 4 bytes, escaped strings and nulls.
TEST(CursorTest, RunsOfSegmentRowsFillThePagesOfSingleRows) {
  const uint64_t seed = testing::test_seed();
  SCOPED_TRACE(seed);
  std::mt19937_64 random(seed);
  std::vector<testing::material_row> rows;
  for (int32_t a = 0; a < 6000; ++a) {
    std::optional<std::string> b;
    std::optional<int64_t> c;
    if (random() % 7 != 0) {
      const uint64_t pick = random() % 100;
      b = std::string(pick == 0 ? 70000 : pick < 3 ? 300 : random() % 24, 'a');
      if (!b->empty() && random() % 9 == 0) (*b)[0] = '\x80';
    }
    if (random() % 5 != 0) c = static_cast<int64_t>(random()) >> (random() % 64);
    rows.push_back(page_row(a, b, c));
  }
  testing::test_dir dir;
  storage store(dir.path());
  table_partition* partition = store.create_table_partition("t", 1, 1, page_schema());
  for (const testing::material_row& r : rows) {
    const material tuple = testing::encode_tuple({INT32, STRING, INT64}, r);
    partition->tree().upsert(1, uuid{}, testing::view(tuple));
  }
  partition->tree().make_full_compaction();

  rows_table single(page_schema(), rows);
  {
    cursor runs(partition, TX_TIMESTAMP_LATEST);
    cursor one_by_one(&single, TX_TIMESTAMP_LATEST);
    for (int page = 0;; ++page) {
      SCOPED_TRACE("page " + std::to_string(page));
      const uint32_t count = runs.fill_next_page();
      ASSERT_EQ(count, one_by_one.fill_next_page());
      if (count == 0) break;
      size_t bytes = 0;
      for (uint32_t i = 0; i < count; ++i) bytes += 4 + length_at(runs.buffer() + bytes);
      ASSERT_EQ(hex(runs.buffer(), bytes), hex(one_by_one.buffer(), bytes));
    }
  }
  EXPECT_EQ(single.taken, 6000);
  storage::table_deleter::run(partition);
}

TEST(CursorTest, OutputSchemaComesWithTheScanAndTheCatalogHonoursItsProjection) {
  // A table whose schema changed after its scan began: the pages follow the scan.
  rows_table table(page_schema(), {page_row(1, "x", 2)});
  table.scan_schema = page_schema();
  table.schema.columns.pop_back();
  table.schema.initialize_positions({0, NO_COLUMN});
  EXPECT_EQ(cursor(&table, 1).output_schema(), page_schema());
  EXPECT_EQ(cursor(&table, 1, ombrel_table_scan{bitset(3, true)}).output_schema().columns.size(),
            3u);

  testing::test_dir dir;
  storage s(dir.path());
  storage::table_deleter::run(
      s.create_table_partition("orders", 4, 9, testing::keyed_schema({{"id", INT64}})));
  std::unique_ptr<abstract_table> catalog = s.get_table_catalog();
  bitset name_only(3, false);
  name_only.set(2);
  cursor names(catalog.get(), 0, ombrel_table_scan{name_only});
  ASSERT_EQ(names.output_schema().columns.size(), 1u);
  EXPECT_EQ(names.fill_next_page(), 1u);
  EXPECT_EQ(hex(names.buffer(), 12), "0800000000066f7264657273");
}

}  // namespace
}  // namespace ombrel
