#include "tree/merge_helper.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "native/errors.h"
#include "tests/segment/segment_test_util.h"
#include "tests/support/test_dir.h"

namespace ombrel {
namespace {

using testing::seeded_table;

// (k INT64 key, v INT32 nullable)
seeded_table table() {
  return seeded_table(testing::seeded_schema(
      {testing::seeded_column("k", INT64), testing::seeded_column("v", INT32, true)},
      {0, NO_COLUMN}));
}

struct version {
  int64_t key;
  tx_timestamp ts;
  bool removal = false;
};

class levels_builder {
 public:
  explicit levels_builder(const testing::test_dir& dir) : namer_(dir.path()) {}

  // A segment holding `rows` (keys ascending, newest first within a key).
  std::shared_ptr<segment> make(const std::vector<version>& rows) {
    testing::test_mem_table m(table_);
    for (const version& r : rows) {
      if (r.removal) {
        m.remove({r.key}, r.ts);
      } else {
        m.upsert({r.key, r.ts}, r.ts);
      }
    }
    return std::make_shared<segment>(namer_.make_new_path(), table_.schema, m.get());
  }
  // Segments of keys [from, to] with one version each at timestamp 1.
  std::shared_ptr<segment> keys(int64_t from, int64_t to) {
    std::vector<version> rows;
    for (int64_t k = from; k <= to; ++k) rows.push_back({k, 1});
    return make(rows);
  }

  seeded_table table_ = table();
  seqno_helper namer_;
};

// The versions of a level, in order.
std::vector<std::tuple<int64_t, tx_timestamp, bool>> rows_of(const level& l) {
  std::vector<std::tuple<int64_t, tx_timestamp, bool>> out;
  for (const auto& s : l) {
    column_reader_pack pack;
    pack.prepare(*s, static_cast<unsigned>(s->columns().size()));
    for (uint32_t r = 0; r < s->size(); ++r) {
      int64_t k;
      tx_timestamp t;
      std::memcpy(&k, pack.readers[0].value(r)->data, 8);
      k = (k + 1000) / 3;  // back to the seed the value was made from
      std::memcpy(&t, pack.readers[2].value(r)->data, 8);
      const bool removal = pack.tombstones && *pack.tombstones->value(r)->data != std::byte{0};
      out.emplace_back(k, t, removal);
    }
  }
  return out;
}

TEST(MergeHelperTest, RunsNeverEndBetweenTwoVersionsOfAKey) {
  testing::test_dir dir;
  levels_builder b(dir);
  // Segment 1 ends with key 5, whose versions run on through segments 2 and 3.
  const auto s0 = b.keys(0, 2);
  const auto s1 = b.make({{3, 1}, {4, 1}, {5, 9}});
  const auto s2 = b.make({{5, 8}, {5, 7}});
  const auto s3 = b.make({{5, 6}, {6, 1}, {7, 1}});
  const auto s4 = b.keys(8, 9);
  struct expected {
    size_t chosen;
    size_t first;
    uint64_t offset;
    uint64_t count;
  };
  std::vector<level> levels{{s0, s1, s2, s3, s4}, {}};
  for (const expected& e : std::vector<expected>{
           {4, 4, 0, 2},  // the last segment: all of it
           {0, 0, 0, 3},  // the next segment does not begin with its largest key
           // Key 5 runs on for two segments, back only one: the run ends before key 5,
           // starting in segment 0 at the row where 5 begins in segment 1.
           {1, 0, 2, 3},
           // Key 5 runs on for one segment, back two: the run ends after its last version,
           // starting in segment 2 at the number of versions of 5 in segment 3.
           {2, 2, 1, 2},
       }) {
    merge_tree::merge_helper h(levels, 0, e.chosen);
    EXPECT_EQ(std::make_tuple(h.first(), h.offset(), h.count()),
              std::make_tuple(e.first, e.offset, e.count))
        << "chosen " << e.chosen;
  }
  // The last version of key 5 is not alone in its segment: the run ends just after it,
  // starting in the segment before at the number of versions of 5 in it.
  std::vector<level> shorter{{s1, s3, s4}, {}};
  merge_tree::merge_helper h(shorter, 0, 0);
  EXPECT_EQ(std::make_tuple(h.first(), h.offset(), h.count()),
            std::make_tuple(size_t{0}, uint64_t{1}, uint64_t{3}));
}

TEST(MergeHelperTest, MergesDropWhatTheWatermarkHidesAndRemovalsOnlyInTheLastLevel) {
  testing::test_dir dir;
  levels_builder b(dir);
  seqno_helper namer(dir.path(), 100);
  using row = std::tuple<int64_t, tx_timestamp, bool>;
  // A whole segment that overlaps nothing moves without being rewritten.
  {
    const auto moved = b.keys(10, 12);
    std::vector<level> levels{{moved}, {b.keys(0, 5)}};
    merge_tree::merge_helper h(levels, 0, 0);
    h.merge(namer, 0);
    EXPECT_TRUE(levels[0].empty());
    ASSERT_EQ(levels[1].size(), 2u);
    EXPECT_EQ(levels[1][1], moved);
    EXPECT_TRUE(h.created().empty());
  }
  // Key 1: versions 50 (removal), 40, 30 above; 20 and 10 below. Watermark 55.
  auto merged = [&](bool last) {
    std::vector<level> levels{{b.make({{1, 50, true}, {1, 40}, {1, 30}, {2, 35}})},
                              {b.make({{1, 20}, {1, 10}, {2, 5}})}};
    if (!last) levels.emplace_back(level{b.keys(100, 101)});
    merge_tree::merge_helper h(levels, 0, 0);
    h.merge(namer, 55);
    EXPECT_EQ(h.removed().size(), 2u);
    return rows_of(levels[1]);
  };
  // Into the last level the removal goes, and with it every version it hid.
  EXPECT_EQ(merged(true), (std::vector<row>{{2, 35, false}}));
  // Above the last level the removal stays: something older may lie below.
  EXPECT_EQ(merged(false), (std::vector<row>{{1, 50, true}, {2, 35, false}}));

  // Versions written out of timestamp order still come out newest first.
  std::vector<level> levels{{b.make({{3, 5}})}, {b.make({{3, 9}})}};
  merge_tree::merge_helper h(levels, 0, 0);
  h.merge(namer, 0);
  EXPECT_EQ(rows_of(levels[1]), (std::vector<row>{{3, 9, false}, {3, 5, false}}));

  // Segments of another schema are not merged.
  auto other = testing::seeded_table(testing::seeded_schema(
      {testing::seeded_column("k", INT64), testing::seeded_column("w", INT32, true)},
      {0, NO_COLUMN}));
  testing::test_mem_table m(other);
  m.upsert({3, 1}, 1);
  std::vector<level> mixed{
      {b.keys(3, 4)}, {std::make_shared<segment>(namer.make_new_path(), other.schema, m.get())}};
  merge_tree::merge_helper mismatch(mixed, 0, 0);
  try {
    mismatch.merge(namer, 0);
    ADD_FAILURE() << "merged";
  } catch (const errors::error& e) {
    EXPECT_STREQ(e.what(), "schema mismatch");
  }
}

}  // namespace
}  // namespace ombrel
