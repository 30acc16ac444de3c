#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "model/binary_tuple_builder.h"
#include "model/tuple.h"
#include "native/errors.h"
#include "storage/aggregate_iterator.h"
#include "storage/cursor.h"
#include "storage/storage.h"
#include "tests/storage/storage_test_util.h"
#include "tests/support/test_dir.h"
#include "tests/support/testing.h"
#include "tests/support/tuples.h"
#include "tree/merge_tree.h"

namespace ombrel {
namespace {

using bytes = std::vector<std::byte>;
using value = std::optional<bytes>;
using row = std::vector<value>;
using testing::decimal;
using testing::drain;
using testing::join;
using testing::keyed_schema;
using testing::packed_date;
using testing::packed_time;
using testing::rows_table;

bytes text(std::string_view s) { return testing::material(s); }
template <typename T>
bytes fixed(const T& v) {
  return testing::material(v);
}

ombrel_aggregate request(std::vector<uint64_t> groups, std::vector<std::pair<int, int32_t>> calls,
                         uint64_t group_bits = 0) {
  ombrel_aggregate r;
  r.group_set = bitset(std::max<uint64_t>(group_bits, 64));
  for (uint64_t g : groups) r.group_set.set(g);
  for (auto [function, column] : calls) {
    r.calls.push_back({column, static_cast<uint8_t>(function), 0});
  }
  return r;
}

// The binary tuple of material values typed by the output schema.
bytes tuple_of(const schema_descriptor& schema, const row& values) {
  std::vector<ombrel_type> types;
  for (const auto& c : schema.columns) types.push_back(c.type);
  types.resize(values.size());
  return testing::encode_tuple(types, values);
}

std::string hex(const bytes& b) { return testing::hex(b); }

std::string refusal(abstract_table& table, const ombrel_aggregate& r) {
  try {
    cursor c(&table, TX_TIMESTAMP_LATEST, r);
  } catch (const errors::error& e) {
    return e.what();
  }
  return "accepted";
}

TEST(AggregateCursorTest, WorkedExampleGivesOneRowPerGroupByteForByte) {
  rows_table table(keyed_schema({{"k", INT32}, {"g", STRING}, {"v", STRING}}),
                   {{fixed(1), text("b"), text("y")},
                    {fixed(2), text("a"), text("x")},
                    {fixed(3), text("a"), std::nullopt}});
  cursor c(&table, TX_TIMESTAMP_LATEST, request({1}, {{AGGREGATE_ANY, 1}, {AGGREGATE_COUNT, 2}}));
  EXPECT_EQ(hex(c.output_schema().serialize()),
            "00000000"
            "02000000"  // version 0, two columns
            "0f000000"
            "ffffffff"
            "01000000"
            "67"
            "01"
            "0000"
            "0000"
            "00000000"
            "05000000"
            "ffffffff"
            "08000000"
            "636f756e74287629"
            "01"
            "0000"
            "0000"
            "00000000");
  EXPECT_EQ(table.scans, 1);
  const std::vector<bytes> rows = drain(c);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(hex(rows[0]), "0001026101");  // ("a", 1)
  EXPECT_EQ(hex(rows[1]), "0001026201");  // ("b", 1)
  EXPECT_FALSE(c.has_next_page());
}

TEST(AggregateCursorTest, RefusedRequestsOpenNoScan) {
  rows_table table(keyed_schema({{"k", INT32}, {"d", DATE}, {"n", NONE}}), {});
  const std::pair<ombrel_aggregate, std::string> cases[] = {
      {request({}, {{AGGREGATE_COUNT, 0}, {AGGREGATE_COUNT, 3}}),
       "Invalid aggregate call column index."},
      {request({}, {{AGGREGATE_SUM, -1}}), "Bad aggregate call"},
      {request({}, {{AGGREGATE_COUNT, -5}, {AGGREGATE_SUM, 1}}),
       "Unsupported aggregate function column type: 9"},
      {request({}, {{AGGREGATE_MAX, 2}}), "Unsupported aggregate function column type: 0"},
      {request({}, {{6, 0}}), "Unsupported aggregate function"},
      {request({2}, {{AGGREGATE_COUNT, -1}}), "Unimplemented for these types"},
  };
  for (const auto& [r, message] : cases) EXPECT_EQ(refusal(table, r), message);
  EXPECT_EQ(table.scans, 0);
  EXPECT_EQ(refusal(table, request({}, {{AGGREGATE_COUNT, 2}, {AGGREGATE_COUNT, -1}})), "accepted")
      << "count takes a NONE column, count(*) any negative column";
  EXPECT_EQ(table.alive, 0);
}

// Group keys of one column: the count(*) of each group, in output order.
std::vector<int64_t> group_counts(ombrel_type type, std::vector<value> keys,
                                  uint64_t extra_group_bit = 0) {
  std::vector<row> rows;
  for (size_t i = 0; i < keys.size(); ++i) rows.push_back({fixed<int32_t>(i), keys[i]});
  rows_table table(keyed_schema({{"k", INT32}, {"g", type}}), rows);
  std::vector<uint64_t> groups = {1};
  if (extra_group_bit) groups.push_back(extra_group_bit);
  cursor c(&table, TX_TIMESTAMP_LATEST,
           request(groups, {{AGGREGATE_COUNT, -1}}, extra_group_bit + 1));
  std::vector<int64_t> counts;
  for (const bytes& t : drain(c)) {
    binary_tuple_parser p(1, bytes_view(t.size(), t.data()));
    counts.push_back(p.get_int64(p.get_next()));
  }
  return counts;
}

TEST(AggregateCursorTest, GroupKeysFollowOneTotalOrder) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double other_nan = -std::numeric_limits<double>::signaling_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  // null, -inf, {-0.0, 0.0}, 1, {NaN, -NaN}; bits at or above the column count are ignored.
  EXPECT_EQ(group_counts(DOUBLE,
                         {fixed(nan), fixed(1.0), fixed(-0.0), std::nullopt, fixed(0.0),
                          fixed(-inf), fixed(other_nan), std::nullopt},
                         130),
            (std::vector<int64_t>{2, 1, 2, 1, 2}));
  EXPECT_EQ(group_counts(FLOAT, {fixed(-0.0f), fixed(std::nanf("7")), fixed(0.0f), fixed(-1.0f)}),
            (std::vector<int64_t>{1, 2, 1}));
  // BOOL: false before true, any non-zero byte is true.
  EXPECT_EQ(
      group_counts(BOOL, {fixed<uint8_t>(1), std::nullopt, fixed<uint8_t>(0), fixed<uint8_t>(2)}),
      (std::vector<int64_t>{1, 1, 2}));
  // OPAQUE bytewise, a proper prefix first.
  EXPECT_EQ(group_counts(OPAQUE, {text("b"), text(""), text("ab"), text("\x80"), text("b")}),
            (std::vector<int64_t>{1, 1, 2, 1}));
  // DECIMAL by value whatever the scale; NUMBER by value whatever the sign bytes.
  EXPECT_EQ(group_counts(DECIMAL, {decimal("1.50"), decimal("-2"), decimal("1.5"), decimal("0.00"),
                                   fixed<int16_t>(3), decimal("1.500")}),
            (std::vector<int64_t>{1, 2, 3}));
  EXPECT_EQ(group_counts(NUMBER, {text("\x05"), text(std::string("\x00\x05", 2)), text("\xff"),
                                  text("\xff\xff"), text("")}),
            (std::vector<int64_t>{2, 1, 2}));
  // UUID by material bytes: 00 01 ... before 01 00 ...
  EXPECT_EQ(group_counts(UUID, {fixed(uuid{1, 0}), fixed(uuid{0x100, 0}), fixed(uuid{1, 0})}),
            (std::vector<int64_t>{1, 2}));
}

TEST(AggregateCursorTest, EmptyScansYieldNoRowAndUngroupedScansOne) {
  rows_table empty(keyed_schema({{"k", INT32}}), {});
  cursor none(&empty, TX_TIMESTAMP_LATEST, request({}, {{AGGREGATE_COUNT, -1}}));
  EXPECT_TRUE(drain(none).empty()) << "not even count(*) = 0";

  rows_table table(keyed_schema({{"k", INT64}, {"d", DECIMAL}, {"x", DOUBLE}}),
                   {{fixed<int64_t>(INT64_MAX), std::nullopt, std::nullopt},
                    {fixed<int64_t>(2), std::nullopt, std::nullopt}});
  // sum wraps; averages of nothing: NaN for DOUBLE, null for DECIMAL.
  cursor all(
      &table, TX_TIMESTAMP_LATEST,
      request({},
              {{AGGREGATE_SUM, 0}, {AGGREGATE_AVG, 1}, {AGGREGATE_AVG, 2}, {AGGREGATE_COUNT, -1}}));
  const std::vector<bytes> rows = drain(all);
  ASSERT_EQ(rows.size(), 1u);
  binary_tuple_parser p(4, bytes_view(rows[0].size(), rows[0].data()));
  // Without calls each group is still a row, of no columns.
  cursor bare(&table, TX_TIMESTAMP_LATEST, request({0}, {}));
  EXPECT_EQ(drain(bare), (std::vector<bytes>(2, bytes{std::byte{0}})));
  EXPECT_EQ(p.get_int64(p.get_next()), INT64_MIN + 1);
  EXPECT_EQ(p.get_next().size(), 0u) << "null DECIMAL average";
  EXPECT_TRUE(std::isnan(p.get_double(p.get_next())));
  EXPECT_EQ(p.get_int64(p.get_next()), 2);
}

// ---- The randomized test against a model ----

// Every groupable type, nullable, after the key k: column i + 1 has type GROUPABLE[i].
constexpr ombrel_type GROUPABLE[] = {BOOL,    INT8,  INT16,  INT32,     INT64,     FLOAT, DOUBLE,
                                     DECIMAL, DATE,  TIME,   DATE_TIME, TIMESTAMP, UUID,  OPAQUE,
                                     STRING,  BYTES, PERIOD, DURATION,  NUMBER};
constexpr size_t COLUMNS = std::size(GROUPABLE) + 1;

// A value of a column with its rank in the type's order: the model orders groups by rank alone.
struct ranked {
  int rank;
  bytes material;
};

// A few values per type, so that groups collide; equal values with different bytes share a rank.
std::vector<ranked> domain(ombrel_type type, std::mt19937_64& random) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  switch (type) {
    case BOOL:
      return {{0, fixed<uint8_t>(0)}, {1, fixed<uint8_t>(1)}};
    case INT8:
      return {{0, fixed<int8_t>(-128)},
              {1, fixed<int8_t>(-1)},
              {2, fixed<int8_t>(7)},
              {3, fixed<int8_t>(127)}};
    case INT16:
      return {{0, fixed<int16_t>(-32768)}, {1, fixed<int16_t>(300)}, {2, fixed<int16_t>(32767)}};
    case INT32:
      return {{0, fixed(INT32_MIN)},
              {1, fixed<int32_t>(-1)},
              {2, fixed<int32_t>(70000)},
              {3, fixed(INT32_MAX)}};
    case INT64:
      return {{0, fixed(INT64_MIN)},
              {1, fixed<int64_t>(-1)},
              {2, fixed<int64_t>(1)},
              {3, fixed(INT64_MAX)}};
    case FLOAT:  // NaNs after every number
      return {{0, fixed(-0.0f)},
              {0, fixed(0.0f)},
              {1, fixed(1.5f)},
              {2, fixed(static_cast<float>(nan))}};
    case DOUBLE:
      return {
          {0, fixed(-1e300)}, {1, fixed(-0.0)}, {1, fixed(0.0)}, {2, fixed(2.5)}, {3, fixed(nan)}};
    case DECIMAL:
      return {{0, decimal("-2.25")},
              {1, decimal("0")},
              {2, decimal("1.5")},
              {2, decimal("1.50")},
              {3, decimal("1000.000")}};
    case NUMBER: {
      big_integer big;
      big.assign_string(std::to_string(1 + random() % 3) + "000000000000000000000007");
      const bytes b = testing::stored(big);
      return {{0, text("\xfb")}, {1, text(std::string(1, '\0'))}, {2, text("\x01\x2c")}, {3, b}};
    }
    case DATE:
      return {
          {0, packed_date(-5, 12, 1)}, {1, packed_date(2020, 1, 31)}, {2, packed_date(2020, 2, 1)}};
    case TIME:
      return {{0, packed_time(0, 0, 0, 0)},
              {1, packed_time(12, 0, 0, 1000)},
              {2, packed_time(23, 59, 59, 999999999)}};
    case DATE_TIME:
      return {{0, join(packed_date(2020, 1, 1), packed_time(23, 0, 0, 0))},
              {1, join(packed_date(2020, 1, 2), packed_time(1, 0, 0, 0))}};
    case TIMESTAMP:
    case DURATION:  // seconds, then nanoseconds
      return {{0, join(fixed<int64_t>(-1), fixed<int32_t>(999))},
              {1, join(fixed<int64_t>(0), fixed<int32_t>(0))},
              {2, join(fixed<int64_t>(0), fixed<int32_t>(5))}};
    case UUID:  // material bytes: 00 01 ... before 01 00 ...
      return {{0, fixed(uuid{0x100, 0})}, {1, fixed(uuid{1, 0})}, {2, fixed(uuid{-1, 5})}};
    case PERIOD:  // word by word
      return {{0, join(fixed<int64_t>(-1), fixed<int32_t>(0))},
              {1, join(fixed<int64_t>(1), fixed<int32_t>(3))}};
    default: {  // OPAQUE, STRING, BYTES: a long one makes the groups of the key span pages
      std::string long_text(200 + random() % 600, 'x');
      long_text[1 + random() % (long_text.size() - 1)] = 'a';
      return {{0, text("")},  {1, text("a")},       {2, text("ab")},
              {3, text("b")}, {4, text(long_text)}, {5, text("\x80\xff")}};
    }
  }
}

// The randomized test: versions of rows over a mem-table and segments, grouped on random
// columns at random timestamps. The model groups by rank and folds each group row by row in
// key order through the functions (pinned value by value by the aggregate function tests), so
// that grouping, order, visibility, paging and the run paths of the cursor are what is tested.
TEST(AggregateCursorTest, RandomizedAgainstAModel) {
  const uint64_t seed = testing::test_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 random(seed);
  testing::test_dir dir;
  storage store(dir.path());
  std::vector<std::pair<std::string, ombrel_type>> columns = {{"k", INT64}};
  for (size_t i = 0; i < std::size(GROUPABLE); ++i)
    columns.push_back({"c" + std::to_string(i + 1), GROUPABLE[i]});
  const schema_descriptor schema = keyed_schema(columns);
  table_partition* partition = store.create_table_partition("t", 1, 1, schema);
  ASSERT_NE(partition, nullptr);
  std::vector<std::vector<ranked>> domains = {{}};  // none for the key
  for (ombrel_type t : GROUPABLE) domains.push_back(domain(t, random));

  // A row as picks from the domains (the key column: its value); versions of each key as
  // (timestamp, row or removal), timestamps 1 to 8.
  using picks = std::vector<std::optional<size_t>>;
  constexpr int64_t KEYS = 2500;
  std::map<int64_t, std::vector<std::pair<tx_timestamp, std::optional<picks>>>> versions;
  auto material_of = [&](int64_t k, const picks& p) {
    row r = {fixed(k)};
    for (size_t c = 1; c < COLUMNS; ++c) {
      r.push_back(p[c] ? value(domains[c][*p[c]].material) : std::nullopt);
    }
    return r;
  };
  for (tx_timestamp ts = 1; ts <= 8; ++ts) {
    for (int64_t k = 0; k < KEYS; ++k) {
      if (random() % 3 != 0) continue;
      if (random() % 5 == 0 && !versions[k].empty()) {
        const bytes removed = testing::encode_tuple({INT64}, {fixed(k)});
        partition->tree().remove(ts, uuid{}, bytes_view(removed.size(), removed.data()));
        versions[k].push_back({ts, std::nullopt});
        continue;
      }
      picks p = {0};
      for (size_t c = 1; c < COLUMNS; ++c) {
        p.push_back(random() % 6 == 0 ? std::nullopt : std::optional(random() % domains[c].size()));
      }
      const bytes tuple = tuple_of(schema, material_of(k, p));
      partition->tree().upsert(ts, uuid{}, bytes_view(tuple.size(), tuple.data()));
      versions[k].push_back({ts, std::move(p)});
    }
    if (ts == 4) partition->tree().make_full_compaction();  // older versions in segments
  }

  for (int query = 0; query < 40; ++query) {
    const tx_timestamp at = static_cast<tx_timestamp>(random() % 10);
    std::vector<uint64_t> group;
    if (random() % 6 == 0) group.push_back(0);  // one group per key: many pages
    for (uint64_t n = random() % 3; n > 0; --n)
      group.push_back(1 + random() % std::size(GROUPABLE));
    std::sort(group.begin(), group.end());
    group.erase(std::unique(group.begin(), group.end()), group.end());
    std::vector<std::pair<int, int32_t>> calls;
    std::vector<std::unique_ptr<aggregate_function>> functions;
    for (uint64_t n = 1 + random() % 5; n > 0; --n) {
      const int function = static_cast<int>(random() % 6);
      const int32_t column = function == AGGREGATE_COUNT && random() % 3 == 0
                                 ? -1
                                 : static_cast<int32_t>(random() % COLUMNS);
      try {
        functions.push_back(
            make_aggregate_function(static_cast<ombrel_aggregate_function>(function), column,
                                    column < 0 ? NONE : schema.columns[column].type));
        calls.push_back({function, column});
      } catch (const errors::error&) {
      }
    }
    SCOPED_TRACE("query " + std::to_string(query));
    cursor c(partition, at, request(group, calls));
    const std::vector<bytes> actual = drain(c);

    // Group keys as ranks (the key column as its value); nulls first, as std::optional orders.
    std::map<std::vector<std::optional<int64_t>>, std::vector<row>> groups;
    for (const auto& [k, list] : versions) {
      const std::optional<picks>* visible = nullptr;
      for (const auto& [ts, p] : list)
        if (ts <= at) visible = &p;
      if (visible == nullptr || !*visible) continue;
      std::vector<std::optional<int64_t>> key;
      for (uint64_t g : group) {
        const std::optional<size_t>& pick = (**visible)[g];
        key.push_back(g == 0 ? std::optional(k)
                      : pick ? std::optional<int64_t>(domains[g][*pick].rank)
                             : std::nullopt);
      }
      groups[key].push_back(material_of(k, **visible));
    }
    std::vector<bytes> expected;
    for (const auto& [key, rows] : groups) {
      row out;
      for (const auto& f : functions) {
        aggregate_value v;
        f->initialize(v);
        for (const row& r : rows) {
          row_values values;
          for (const value& x : r)
            values.push_back(x ? std::optional(testing::view(*x)) : std::nullopt);
          f->aggregate(v, values);
        }
        combined_buffer buffer;
        const std::optional<bytes_view> result = v.get_internal_slice(buffer);
        out.push_back(result ? value(bytes(result->begin(), result->end())) : std::nullopt);
      }
      expected.push_back(tuple_of(c.output_schema(), out));
    }
    for (size_t i = 0; i < std::min(actual.size(), expected.size()); ++i) {
      ASSERT_EQ(hex(actual[i]), hex(expected[i])) << "group " << i;
    }
    ASSERT_EQ(actual.size(), expected.size());
  }
  storage::table_deleter::run(partition);
}

// Runs of rows from segments are grouped by one fixed-size column through a table of small
// words in front of the hash table: negative, small and larger keys of every width land in
// their own groups.
TEST(AggregateCursorTest, OneWordKeysOfSegmentRunsMatchAModel) {
  testing::test_dir dir;
  storage store(dir.path());
  schema_descriptor schema =
      keyed_schema({{"k", INT64}, {"a", INT8}, {"b", INT16}, {"c", INT32}, {"d", INT64}});
  for (auto& column : schema.columns) column.nullable = false;
  table_partition* partition = store.create_table_partition("t", 1, 1, schema);
  ASSERT_NE(partition, nullptr);
  constexpr int64_t ROWS = 30000;
  // Column values of row i, each spanning negatives, words below 4096 and words past it.
  const auto values = [](int64_t i) -> std::array<int64_t, 4> {
    return {i % 200 - 100, (i * 31) % 9001 - 1000, (i * 7919) % 12000 - 3000,
            (i * 104729) % 20000 - 5000};
  };
  for (int64_t i = 0; i < ROWS; ++i) {
    const auto v = values(i);
    const bytes tuple = tuple_of(
        schema, {fixed(i), fixed(static_cast<int8_t>(v[0])), fixed(static_cast<int16_t>(v[1])),
                 fixed(static_cast<int32_t>(v[2])), fixed(v[3])});
    partition->tree().upsert(1, uuid{}, bytes_view(tuple.size(), tuple.data()));
  }
  partition->tree().make_full_compaction();  // every row in segments, scanned in runs

  for (size_t g = 1; g <= 4; ++g) {
    SCOPED_TRACE("group column " + std::to_string(g));
    std::map<int64_t, std::pair<int64_t, int64_t>> model;  // key: count, sum of k
    for (int64_t i = 0; i < ROWS; ++i) {
      auto& [count, sum] = model[values(i)[g - 1]];
      ++count;
      sum += i;
    }
    cursor c(partition, TX_TIMESTAMP_LATEST,
             request({g}, {{AGGREGATE_COUNT, -1}, {AGGREGATE_SUM, 0}}));
    const std::vector<bytes> actual = drain(c);
    ASSERT_EQ(actual.size(), model.size());
    size_t i = 0;
    for (const auto& [key, totals] : model) {  // groups in key order; keys are not output
      ASSERT_EQ(hex(actual[i]),
                hex(tuple_of(c.output_schema(), {fixed(totals.first), fixed(totals.second)})))
          << "group " << i << " key " << key;
      ++i;
    }
  }
  storage::table_deleter::run(partition);
}

#if defined(NDEBUG) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Rows (g INT64, v INT64) for i below `rows`: g = GROUPS - 1 - i % GROUPS, v = i; made on the fly.
class generated_table : public abstract_table {
 public:
  static constexpr int64_t GROUPS = 1000000;
  explicit generated_table(int64_t rows) : rows_(rows) {}
  const schema_descriptor& get_schema() const override { return schema_; }
  std::unique_ptr<abstract_iterator> get_projection_pipeline(tx_timestamp, const bitset&) override {
    return std::make_unique<iterator>(rows_);
  }

 private:
  class iterator : public abstract_iterator {
   public:
    explicit iterator(int64_t rows) : rows_(rows), values_(2) {}
    bool get_next(const row_callback& callback) override {
      if (i_ >= rows_) return false;
      g_ = GROUPS - 1 - i_ % GROUPS;
      values_[0] = bytes_view(&g_, 8);
      values_[1] = bytes_view(&i_, 8);
      callback(values_);
      ++i_;
      return true;
    }

   private:
    int64_t rows_, i_ = 0, g_ = 0;
    row_values values_;
  };
  int64_t rows_;
  schema_descriptor schema_ = keyed_schema({{"g", INT64}, {"v", INT64}});
};

TEST(AggregateCursorTest, TenMillionRowsIntoAMillionGroups) {
  generated_table table(10 * generated_table::GROUPS);
  cursor c(
      &table, TX_TIMESTAMP_LATEST,
      request({0},
              {{AGGREGATE_ANY, 0}, {AGGREGATE_COUNT, -1}, {AGGREGATE_SUM, 1}, {AGGREGATE_MIN, 1}}));
  int64_t expected_group = 0;
  for (const bytes& t : drain(c)) {
    binary_tuple_parser p(4, bytes_view(t.size(), t.data()));
    const int64_t g = p.get_int64(p.get_next());
    ASSERT_EQ(g, expected_group++);
    const int64_t first = generated_table::GROUPS - 1 - g;
    ASSERT_EQ(p.get_int64(p.get_next()), 10);
    ASSERT_EQ(p.get_int64(p.get_next()), 10 * first + 45 * generated_table::GROUPS);
    ASSERT_EQ(p.get_int64(p.get_next()), first);
  }
  EXPECT_EQ(expected_group, generated_table::GROUPS);
}
#endif

}  // namespace
}  // namespace ombrel
