#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "native/log.h"
#include "segment/column_picker.h"
#include "segment/segment.h"
#include "segment/segment_cache.h"
#include "segment_test_util.h"
#include "tests/support/test_dir.h"

namespace ombrel {
namespace {

using testing::block_hint_scope;
using testing::describe;
using testing::reference;
using testing::seeded_column;
using testing::seeded_schema;
using testing::seeded_table;
using testing::test_dir;
using testing::test_mem_table;
using seeds = seeded_table::seeds;

namespace fs = std::filesystem;

// (k INT64 key, a INT64, b STRING nullable, c DOUBLE, e INT32 nullable)
seeded_table five_column_table() {
  return seeded_table(seeded_schema(
      {seeded_column("k", INT64), seeded_column("a", INT64), seeded_column("b", STRING, true),
       seeded_column("c", DOUBLE), seeded_column("e", INT32, true)},
      {0, NO_COLUMN, NO_COLUMN, NO_COLUMN, NO_COLUMN}));
}

int64_t int_value(const std::optional<bytes_view>& v) {
  int64_t x = 0;
  std::memcpy(&x, v->data, std::min<size_t>(v->size(), 8));
  return x;
}

// The a column (an INT64 of seed n is 3n - 1000) of a found row.
int64_t a_seed(const search_result& r) {
  const auto& row = std::get<flat_tuple>(r);
  return (int_value(row[1]) + 1000) / 3;
}

std::string log_of(const std::function<void()>& f) {
  test_dir dir;
  const fs::path path = dir / "log";
  logging::setup(logging::level::debug, path.string());
  f();
  logging::shutdown();
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(SegmentSearchTest, ReadAtTimestampBetweenVersionsSeesOlderVersion) {
  test_dir dir;
  const seeded_table table = five_column_table();
  test_mem_table m(table);
  for (int64_t k = 0; k < 20; ++k) {
    if (k == 7) continue;
    m.upsert({k, k, k, k, k}, 15);
  }
  m.upsert({7, 30, 30, 30, std::nullopt}, 30);
  m.upsert({7, 20, std::nullopt, 20, 20}, 20);
  m.upsert({7, 10, 10, 10, 10}, 10);
  const segment s(dir / "1", table.schema, m.get());
  const column_picker all(table.schema);
  const owned_material_tuple key = table.key({7});

  EXPECT_EQ(a_seed(s.search(25, key.get(), all)), 20);
  EXPECT_FALSE(std::get<flat_tuple>(s.search(25, key.get(), all))[2]);  // b is null at 20
  EXPECT_EQ(a_seed(s.search(10, key.get(), all)), 10);
  EXPECT_EQ(a_seed(s.search(30, key.get(), all)), 30);
  EXPECT_EQ(a_seed(s.search(TX_TIMESTAMP_LATEST, key.get(), all)), 30);
  std::string log =
      log_of([&] { EXPECT_TRUE(std::holds_alternative<upcoming_t>(s.search(5, key.get(), all))); });
  EXPECT_NE(log.find("Key found but the timestamp is off, returning"), std::string::npos) << log;
  const owned_material_tuple gap = table.key({-1});
  log = log_of([&] {
    const owned_material_tuple between = table.key({100});
    EXPECT_TRUE(std::holds_alternative<std::monostate>(s.search(5, between.get(), all)));
  });
  EXPECT_EQ(log.find("Key found but"), std::string::npos) << log;

  // The same through reader packs: rows 7, 8 and 9 hold the versions at 30, 20 and 10.
  column_reader_pack pack;
  pack.prepare_in_picker_order(s, all, all.search_column_count());
  EXPECT_EQ(std::get<uint64_t>(s.position(25, key.get(), pack)), 8u);
  EXPECT_EQ(std::get<uint64_t>(s.position(10, key.get(), pack)), 9u);
  EXPECT_TRUE(std::holds_alternative<upcoming_t>(s.position(5, key.get(), pack)));
  EXPECT_TRUE(std::holds_alternative<std::monostate>(s.position(5, gap.get(), pack)));
  EXPECT_TRUE(std::holds_alternative<std::monostate>(s.search_position(25, key.get(), pack, 0, 0)));
}

TEST(SegmentSearchTest, VisibleTombstoneHidesOlderLiveVersions) {
  test_dir dir;
  const seeded_table table = five_column_table();
  test_mem_table m(table);
  for (int64_t k = 0; k < 2000; ++k) {
    if (k == 1234) {
      m.remove({k}, 40);
      m.upsert({k, 30, 30, 30, 30}, 30);
      m.upsert({k, 20, 20, 20, 20}, 20);
    } else {
      m.upsert({k, k, k, k, k}, 25);
    }
  }
  auto s = std::make_shared<segment>(dir / "1", table.schema, m.get());
  const owned_material_tuple key = table.key({1234});
  const column_picker all(table.schema);
  const picked_columns picked = picked_columns::all(table.schema);
  for (const tx_timestamp ts : {tx_timestamp{40}, tx_timestamp{45}, TX_TIMESTAMP_LATEST}) {
    EXPECT_TRUE(std::holds_alternative<tombstone_t>(s->search(ts, key.get(), all))) << ts;
    EXPECT_TRUE(std::holds_alternative<tombstone_t>(s->search(ts, key.get(), picked))) << ts;
  }
  EXPECT_EQ(a_seed(s->search(35, key.get(), all)), 30);
  EXPECT_EQ(a_seed(s->search(29, key.get(), picked)), 20);
  EXPECT_TRUE(std::holds_alternative<upcoming_t>(s->search(19, key.get(), picked)));

  // A cursor positioned on the tombstone reports it and walks on to the older versions.
  auto cursor = s->position(45, key.get(), picked);
  ASSERT_TRUE(cursor);
  EXPECT_TRUE(cursor->is_tombstone());
  EXPECT_EQ(cursor->timestamp(), 40);
  ASSERT_TRUE(cursor->next());
  EXPECT_FALSE(cursor->is_tombstone());
  EXPECT_EQ(cursor->timestamp(), 30);
  EXPECT_FALSE(s->position(19, key.get(), picked));

  // A cursor keeps its segment: the directory of a removed segment goes with the last cursor.
  s->set_remove_on_destroy();
  auto walker = s->first();
  const fs::path directory = s->directory();
  s.reset();
  EXPECT_TRUE(fs::exists(directory));
  int rows = 1;
  while (walker->next()) ++rows;
  EXPECT_EQ(rows, 2002);
  walker.reset();
  cursor.reset();
  EXPECT_FALSE(fs::exists(directory));
}

TEST(SegmentSearchTest, KeysOutsideTheSegmentAreAnsweredWithoutReadingColumns) {
  test_dir dir;
  const seeded_table table = five_column_table();
  test_mem_table m(table);
  for (int64_t k = 100; k < 3000; k += 2) m.upsert({k, k, k, k, k}, 1);
  const segment s(dir / "1", table.schema, m.get());
  const column_picker all(table.schema);
  struct {
    int64_t key;
    bool reads;
  } cases[] = {{50, false}, {99, false}, {3001, false}, {100000, false}, {101, true}, {2999, true}};
  for (const auto& c : cases) {
    const owned_material_tuple key = table.key({c.key});
    const uint64_t decoded = decoded_block_count();
    const uint64_t misses = segment_cache::instance().misses();
    EXPECT_TRUE(std::holds_alternative<std::monostate>(s.search(1, key.get(), all))) << c.key;
    if (!c.reads) {
      EXPECT_EQ(decoded_block_count(), decoded) << c.key;
      EXPECT_EQ(segment_cache::instance().misses(), misses) << c.key;
    }
  }
  const owned_material_tuple first = table.key({100});
  const owned_material_tuple last = table.key({2998});
  EXPECT_EQ(a_seed(s.search(1, first.get(), all)), 100);
  EXPECT_EQ(a_seed(s.search(1, last.get(), all)), 2998);
}

TEST(SegmentSearchTest, BoundsOfAKeyInRows100To104) {
  test_dir dir;
  const seeded_table table = five_column_table();
  test_mem_table m(table);
  for (int64_t i = 0; i < 1500; ++i) {
    if (i == 100) {
      for (tx_timestamp ts = 5; ts > 0; --ts) m.upsert({200, ts, ts, ts, ts}, ts);
    } else {
      m.upsert({i * 2, i, i, i, i}, 1);
    }
  }
  const segment s(dir / "1", table.schema, m.get());
  ASSERT_EQ(s.size(), 1504u);
  struct {
    int64_t key;
    uint64_t lower;
    uint64_t upper;
  } cases[] = {
      {200, 100, 105},
      {199, 100, 100},
      {198, 99, 100},
      {202, 105, 106},
      {-5, 0, 0},
      {0, 0, 1},
      {2998, 1503, 1504},
      {5000, 1504, 1504},
      {1016, 512, 513},  // the key of
                         // sampled row
                         // 512
      {1024, 516, 517},
  };
  for (const auto& c : cases) {
    const owned_material_tuple key = table.key({c.key});
    EXPECT_EQ(s.lower_bound(key.get()), c.lower) << c.key;
    EXPECT_EQ(s.upper_bound(key.get()), c.upper) << c.key;
  }
}

TEST(SegmentSearchTest, EveryKeyTypeFindsItsRowsAndMissesTheGaps) {
  const ombrel_type types[] = {BOOL,    INT8,  INT16,  INT32,     INT64,     FLOAT, DOUBLE,
                               DECIMAL, DATE,  TIME,   DATE_TIME, TIMESTAMP, UUID,  OPAQUE,
                               STRING,  BYTES, PERIOD, DURATION,  NUMBER};
  block_hint_scope hint(300);  // several blocks per column
  for (const ombrel_type type : types) {
    SCOPED_TRACE(type);
    test_dir dir;
    const seeded_table table(
        seeded_schema({seeded_column("v", INT64), seeded_column("key", type)}, {NO_COLUMN, 0}));
    const int64_t count = type == BOOL ? 1 : type == INT8 ? 110 : 1200;
    test_mem_table m(table);
    for (int64_t i = 0; i < count; ++i) {
      const int64_t seed = type == BOOL ? 1 : i * 2;
      m.upsert({i, seed}, 3);
      if (i % 3 == 0) m.upsert({i + 10000, seed}, 2);  // an older version
    }
    if (type == BOOL) m.upsert({7, 0}, 3);
    const segment s(dir / "1", table.schema, m.get());

    // Every row's key finds the row's newest version; row numbers follow the mem-table order.
    const column_picker all(table.schema);
    std::vector<unsigned> slots;
    for (unsigned c = 0; c < 2; ++c) slots.push_back(table.schema.material_positions[c]);
    uint64_t row = 0;
    m.get().for_each([&](const versioned_row& e) {
      const material_tuple key = e.tuple;
      if (s.lower_bound(key) == row) {
        EXPECT_EQ(describe(s.search(3, key, all)),
                  describe(reference(m.get(), table.row_material, slots, 3, key)))
            << "row " << row;
        EXPECT_TRUE(std::holds_alternative<upcoming_t>(s.search(1, key, all)));
      } else {
        EXPECT_EQ(s.lower_bound(key) + 1, row) << "older version of the previous key";
      }
      ++row;
    });
    EXPECT_EQ(row, s.size());
    if (type == BOOL) continue;
    for (int64_t seed = -1; seed < count * 2; seed += 2) {
      if (type == INT8 && seed < 0) continue;
      const owned_material_tuple key = table.key({seed});
      EXPECT_TRUE(std::holds_alternative<std::monostate>(s.search(3, key.get(), all))) << seed;
    }
  }
}

TEST(SegmentSearchTest, DoubleKeysOrderNaNsLastAndZerosAsOne) {
  test_dir dir;
  const seeded_table table(
      seeded_schema({seeded_column("x", DOUBLE), seeded_column("v", INT64)}, {0, NO_COLUMN}));
  auto encode = [](double x, std::optional<int64_t> v) {
    binary_tuple_builder b(v ? 2 : 1);
    b.start();
    b.claim_double(x);
    if (v) b.claim_int64(*v);
    b.layout();
    b.append_double(x);
    if (v) b.append_int64(*v);
    return b.release();
  };
  auto key = [&](double x) {
    const auto bytes = encode(x, std::nullopt);
    return owned_material_tuple(parsed_tuple(table.key_tuple, table.key_material,
                                             bytes_view(bytes.size(), bytes.data()), true));
  };
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double other_nan = std::bit_cast<double>(std::bit_cast<uint64_t>(-nan) | 1);
  test_mem_table m(table);
  auto upsert = [&](double x, int64_t v, tx_timestamp ts) {
    seeded_table::parsed_row r;
    r.bytes = encode(x, v);
    r.parsed.emplace(table.row_tuple, table.row_material,
                     bytes_view(r.bytes.size(), r.bytes.data()), false);
    m.insert(r, ts);
  };
  upsert(nan, 3, 2);
  upsert(-0.0, 1, 2);
  for (int i = -500; i < 500; ++i) upsert(i + 0.5, 1000 + i, 1);
  upsert(inf, 6, 3);
  upsert(other_nan, 4, 3);
  upsert(0.0, 2, 3);
  upsert(-inf, 5, 3);

  // The mem-table keeps one key per NaN and per zero, newest version first, NaN last.
  std::vector<std::pair<double, tx_timestamp>> entries;
  m.get().for_each([&](const versioned_row& e) {
    double x;
    std::memcpy(&x, e.tuple[0], sizeof(x));
    entries.emplace_back(x, e.timestamp);
  });
  ASSERT_EQ(entries.size(), 1006u);
  EXPECT_EQ(entries.front().first, -inf);
  EXPECT_TRUE(std::isnan(entries.back().first) && std::isnan(entries[1004].first));
  for (size_t i = 1; i < entries.size(); ++i) {
    const double a = entries[i - 1].first;
    const double b = entries[i].first;
    const bool same = (std::isnan(a) && std::isnan(b)) || a == b;
    EXPECT_TRUE(same ? entries[i - 1].second > entries[i].second : a < b || std::isnan(b))
        << "entries " << i - 1 << " and " << i << ": " << a << ", " << b;
  }

  const segment s(dir / "1", table.schema, m.get());
  const column_picker v(table.schema, 1u);
  const struct {
    double key;
    tx_timestamp ts;
    const char* answer;
  } cases[] = {{-0.0, 3, "v 2"},     {0.0, 2, "v 1"},      {nan, 3, "v 4"}, {other_nan, 2, "v 3"},
               {nan, 1, "upcoming"}, {-inf, 3, "v 5"},     {inf, 3, "v 6"}, {0.5, 3, "v 1000"},
               {1.0, 3, "absent"},   {-inf, 1, "upcoming"}};
  for (const auto& c : cases) {
    const owned_material_tuple k = key(c.key);
    const search_result r = s.search(c.ts, k.get(), v);
    std::string answer = describe(r);
    if (const auto* row = std::get_if<flat_tuple>(&r)) {
      answer = "v " + std::to_string(int_value((*row)[0]));
    }
    EXPECT_EQ(answer, c.answer) << c.key << " at " << c.ts;
  }
}

TEST(ColumnPickerTest, ReadListStartsWithTimestampAndKeys) {
  const seeded_table table = five_column_table();  // 5 columns, key 0: timestamp index 5
  const seeded_table composite(seeded_schema(
      {seeded_column("v", INT64), seeded_column("name", STRING), seeded_column("n", INT32)},
      {NO_COLUMN, 1, 0}));
  bitset projection(8);
  projection.set(4);
  projection.set(1);
  projection.set(7);  // beyond the schema: ignored
  struct {
    const char* name;
    column_picker picker;
    std::vector<unsigned> columns;
    std::vector<unsigned> output;
    std::vector<unsigned> positions;
  } cases[] = {
      {"projection {4, 1}", column_picker(table.schema, projection), {5, 0, 1, 4}, {2, 3}, {1, 4}},
      {"request {4, 1}",
       column_picker(table.schema, std::vector<unsigned>{4, 1}),
       {5, 0, 4, 1},
       {2, 3},
       {4, 1}},
      {"no output", column_picker(table.schema, column_picker::no_output), {5, 0}, {}, {}},
      {"one column", column_picker(table.schema, 3u), {5, 0, 3}, {2}, {3}},
      {"key column", column_picker(table.schema, 0u), {5, 0}, {1}, {0}},
      {"all", column_picker(table.schema), {5, 0, 1, 2, 3, 4}, {1, 2, 3, 4, 5}, {0, 1, 2, 3, 4}},
      {"repeated",
       column_picker(table.schema, std::vector<unsigned>{2, 0, 2}),
       {5, 0, 2, 2},
       {2, 1, 3},
       {2, 0, 2}},
      {"composite all", column_picker(composite.schema), {3, 2, 1, 0}, {3, 2, 1}, {2, 1, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.picker.columns(), c.columns);
    EXPECT_EQ(c.picker.output(), c.output);
    EXPECT_EQ(c.picker.positions(), c.positions);
  }
  EXPECT_EQ(column_picker(table.schema).search_column_count(), 2u);
  EXPECT_EQ(column_picker(composite.schema).search_column_count(), 3u);
  EXPECT_EQ(testing::error_of([&] { column_picker(table.schema, 5u); }), "Column 5 does not exist");
}

}  // namespace
}  // namespace ombrel
