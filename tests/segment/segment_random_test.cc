// Randomized comparison of segment searches, positions and cursors with the answers of the
// mem-table the segment was written from, with the segment cache disabled, tiny and large.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "segment/column_picker.h"
#include "segment/segment.h"
#include "segment/segment_cache.h"
#include "segment_test_util.h"
#include "tests/support/test_dir.h"
#include "tests/support/testing.h"

namespace ombrel {
namespace {

using testing::block_hint_scope;
using testing::reference;
using testing::seeded_column;
using testing::seeded_schema;
using testing::seeded_table;
using testing::test_dir;
using testing::test_mem_table;
using seeds = seeded_table::seeds;
using testing::describe;
using testing::text_of;

struct random_table {
  const char* name;
  seeded_table table;
  uint32_t key_columns;
};

TEST(SegmentRandomTest, SearchesAgreeWithTheMemTableAtManyTimestamps) {
  // OMBREL_TEST_SEED replays a failed run.
  const uint64_t seed = testing::test_seed();
  RecordProperty("seed", std::to_string(seed));
  std::mt19937_64 rng(seed);
  auto uniform = [&](int64_t lo, int64_t hi) {
    return std::uniform_int_distribution<int64_t>(lo, hi)(rng);
  };
  block_hint_scope hint(static_cast<uint64_t>(uniform(16, 400)));

  random_table tables[] = {
      {"int key",
       seeded_table(seeded_schema({seeded_column("k", INT64), seeded_column("v", INT64, true),
                                   seeded_column("s", STRING, true), seeded_column("d", DOUBLE)},
                                  {0, NO_COLUMN, NO_COLUMN, NO_COLUMN})),
       1},
      {"string and int key",
       seeded_table(seeded_schema({seeded_column("v", INT32, true), seeded_column("name", STRING),
                                   seeded_column("n", INT32), seeded_column("b", BYTES, true)},
                                  {NO_COLUMN, 0, 1, NO_COLUMN})),
       2},
  };

  for (const random_table& rt : tables) {
    SCOPED_TRACE(rt.name);
    const seeded_table& t = rt.table;
    const size_t columns = t.schema.columns.size();
    test_dir dir;
    test_mem_table m(t);
    // Keys are pairs of small seeds; even first seeds only, so odd ones fall between keys.
    auto random_key = [&] {
      seeds key{uniform(0, 60) * 2};
      if (rt.key_columns == 2) key.push_back(uniform(0, 8));
      return key;
    };
    auto random_value = [&](ombrel_type, bool nullable) -> std::optional<int64_t> {
      if (nullable && uniform(0, 4) == 0) return std::nullopt;
      return uniform(0, 5000);
    };
    const int operations = static_cast<int>(uniform(500, 3000));
    for (int i = 0; i < operations; ++i) {
      const seeds key = random_key();
      const tx_timestamp ts = uniform(1, 300);
      if (uniform(0, 6) == 0) {
        m.remove(key, ts);
        continue;
      }
      seeds row(columns);
      for (size_t c = 0; c < columns; ++c) {
        const uint32_t position = t.schema.key_positions[c];
        row[c] = position != NO_COLUMN
                     ? key[position]
                     : random_value(t.schema.columns[c].type, t.schema.columns[c].nullable);
      }
      m.upsert(row, ts);
    }
    const auto s = std::make_shared<segment>(dir / "1", t.schema, m.get());
    ASSERT_EQ(s->size(), m.get().entry_count());
    // The same files opened under another block size: row groups no longer line up with blocks.
    const auto opened = [&] {
      block_hint_scope other(static_cast<uint64_t>(uniform(16, 400)));
      return std::make_shared<segment>(dir / "1");
    }();

    std::vector<tx_timestamp> timestamps = {0, 1, 150, 300, 301, TX_TIMESTAMP_LATEST};
    for (int i = 0; i < 10; ++i) timestamps.push_back(uniform(1, 300));
    std::vector<seeds> keys;
    for (int64_t a = -1; a <= 122; ++a) {
      if (rt.key_columns == 1) {
        keys.push_back({a});
      } else {
        for (int64_t b = -1; b <= 9; b += uniform(1, 3)) keys.push_back({a, b});
      }
    }

    for (const uint64_t capacity : {uint64_t{0}, uint64_t{64} << 10, uint64_t{256} << 20}) {
      SCOPED_TRACE(capacity);
      testing::cache_capacity_scope cache(capacity);
      segment_cache::instance().clear();
      int case_number = 0;
      for (const seeds& key_seeds : keys) {
        const owned_material_tuple key = t.key(key_seeds);
        for (const tx_timestamp ts : timestamps) {
          // A different pick every time: none, all, or some columns in some order.
          std::vector<unsigned> requested;
          const int shape = case_number++ % 3;
          if (shape == 1) {
            for (unsigned c = 0; c < columns; ++c) requested.push_back(c);
          } else if (shape == 2) {
            for (int n = static_cast<int>(uniform(1, 5)); n > 0; --n) {
              requested.push_back(
                  static_cast<unsigned>(uniform(0, static_cast<int64_t>(columns) - 1)));
            }
          }
          const column_picker picker(t.schema, requested);
          std::vector<unsigned> slots;
          for (unsigned c : requested) slots.push_back(t.schema.material_positions[c]);
          const std::string expected =
              describe(reference(m.get(), t.row_material, slots, ts, key.get()));
          ASSERT_EQ(describe(s->search(ts, key.get(), picker)), expected)
              << "key " << *key_seeds[0] << " at " << ts << ", seed " << seed;
          ASSERT_EQ(describe(s->search(ts, key.get(), picker.picked())), expected);
          ASSERT_EQ(describe(opened->search(ts, key.get(), picker)), expected);

          const auto entry = m.get().index().search(ts, key.get());
          const auto cursor = s->position(ts, key.get(), picker.picked());
          ASSERT_EQ(cursor != nullptr, entry.has_value());
          if (cursor) {
            EXPECT_EQ(cursor->timestamp(), entry->timestamp);
            EXPECT_EQ(cursor->is_tombstone(), entry->tombstone);
          }
        }
      }

      // A walk from the first row meets every entry in the mem-table's order; each key's
      // versions lie between its bounds.
      const picked_columns all = picked_columns::all(t.schema);
      auto cursor = s->first();
      ASSERT_TRUE(cursor);
      uint64_t row = 0;
      bool more = true;
      row_values key_values;
      row_values values;
      std::string key_text;
      uint64_t key_row = 0;
      std::optional<material_tuple> key_tuple;
      m.get().for_each([&](const versioned_row& e) {
        ASSERT_TRUE(more) << "row " << row;
        EXPECT_EQ(cursor->timestamp(), e.timestamp) << "row " << row;
        EXPECT_EQ(cursor->is_tombstone(), e.tombstone) << "row " << row;
        cursor->read_key(key_values);
        row_values expected_key;
        for (uint32_t slot = 0; slot < t.row_material.key_count; ++slot) {
          expected_key.push_back(testing::slot_value(t.row_material, e.tuple, slot));
        }
        EXPECT_EQ(text_of(key_values), text_of(expected_key)) << "row " << row;
        if (text_of(expected_key) != key_text) {
          if (key_tuple) {
            EXPECT_EQ(s->upper_bound(*key_tuple), row);
          }
          key_text = text_of(expected_key);
          key_row = row;
          key_tuple = e.tuple;
        }
        EXPECT_EQ(s->lower_bound(e.tuple), key_row) << "row " << row;
        if (!e.tombstone) {
          cursor->read(all, values);
          row_values expected;
          for (uint32_t slot : all.slots)
            expected.push_back(testing::slot_value(t.row_material, e.tuple, slot));
          EXPECT_EQ(text_of(values), text_of(expected)) << "row " << row;
        }
        more = cursor->next();
        ++row;
      });
      EXPECT_FALSE(more);
      EXPECT_EQ(row, s->size());
      EXPECT_LE(segment_cache::instance().memory(), capacity);
    }
  }
}

}  // namespace
}  // namespace ombrel
