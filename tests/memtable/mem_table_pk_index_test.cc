#include "memtable/mem_table_pk_index.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "memtable/mem_table.h"
#include "memtable/mem_table_buffer_pool.h"
#include "memtable_fakes.h"
#include "tests/support/testing.h"

namespace ombrel {
namespace {

using testing::cell;
using testing::test_table;

// Hands out buffers of a private pool; no eviction is ever needed.
struct pool_creator : mem_table::buffer_creator {
  mem_table_buffer_pool pool{64 * 1024, 256 * 1024 * 1024};
  mem_table_buffer* create_buffer(size_t size) override { return pool.get_buffer(nullptr, size); }
};

// A mem-table of one of the test schemas, with helpers to insert and search by cells.
struct fixture {
  test_table table;
  pool_creator creator;
  mem_table memtable;

  explicit fixture(schema_descriptor schema)
      : table(std::move(schema)), memtable(table.schema, creator.pool) {}

  versioned_row insert(const testing::parsed_row& r, tx_timestamp ts) {
    EXPECT_TRUE(memtable.ensure(r.parsed->material_size(), creator));
    return memtable.insert(*r.parsed, ts);
  }
  versioned_row upsert(std::vector<cell> cells, tx_timestamp ts) {
    return insert(*table.row(cells), ts);
  }
  versioned_row remove(std::vector<cell> key, tx_timestamp ts) {
    return insert(*table.removal(key), ts);
  }
  std::optional<versioned_row> search(std::vector<cell> key, tx_timestamp ts) {
    const owned_material_tuple k = table.key(key);
    return memtable.index().search(ts, k.get());
  }
  // The v column (slot 1 for int keys, slot 2 for composite keys) of an entry.
  int64_t value(const versioned_row& e, uint32_t slot) {
    int64_t v;
    std::memcpy(&v, e.tuple[slot], 8);
    return v;
  }
};

schema_descriptor int16_key_schema() {
  return testing::make_schema({testing::column("k", INT16), testing::column("v", INT64)},
                              {0, NO_COLUMN});
}

TEST(MemTablePkIndexTest, ThirtyThirdInsertSplitsLeafSeventeenSixteen) {
  // Keys 0, 2, ..., 62 fill one leaf; the 33rd key lands left, in the middle or right.
  for (bool inline_keys : {true, false}) {
    for (int64_t extra : {-1, 31, 33, 100}) {
      SCOPED_TRACE(std::to_string(extra) + (inline_keys ? " inline" : " in place"));
      fixture f(inline_keys ? testing::int_key_schema() : testing::composite_key_schema());
      auto row = [&](int64_t k) {
        return inline_keys ? std::vector<cell>{k, k, std::nullopt} : std::vector<cell>{k, "k", k};
      };
      auto key = [&](int64_t k) {
        return inline_keys ? std::vector<cell>{k} : std::vector<cell>{"k", k};
      };
      for (int64_t k = 0; k < 32; ++k) f.upsert(row(2 * k), 1);
      EXPECT_EQ(f.memtable.index().height(), 1u);
      f.upsert(row(extra), 1);
      const auto& index = f.memtable.index();
      EXPECT_EQ(index.height(), 2u);
      const auto* left = index.first_leaf();
      ASSERT_NE(left, nullptr);
      ASSERT_NE(left->next, nullptr);
      EXPECT_EQ(left->next->next, nullptr);
      const uint32_t counts[] = {left->count, left->next->count};
      EXPECT_TRUE((counts[0] == 17 && counts[1] == 16) || (counts[0] == 16 && counts[1] == 17))
          << counts[0] << "/" << counts[1];
      std::vector<int64_t> keys;
      const uint32_t v_slot = inline_keys ? 1 : 2;
      f.memtable.for_each([&](const versioned_row& e) { keys.push_back(f.value(e, v_slot)); });
      EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
      EXPECT_EQ(keys.size(), 33u);
      for (int64_t k = 0; k < 32; ++k) EXPECT_TRUE(f.search(key(2 * k), 1)) << k;
      EXPECT_TRUE(f.search(key(extra), 1));
    }
  }
}

// Reference order of entries: key ascending, timestamp descending, later insertion first.
struct reference_entry {
  std::string name;  // empty for integer keys
  int64_t key;
  tx_timestamp ts;
  int64_t seq;
  bool tombstone;

  bool operator<(const reference_entry& o) const {
    if (name != o.name) return name < o.name;
    if (key != o.key) return key < o.key;
    if (ts != o.ts) return ts > o.ts;
    return seq > o.seq;
  }
};

struct schema_case {
  const char* name;
  schema_descriptor schema;
  bool composite;
  int64_t key_low, key_high;
};

// Searches see the newest version not newer than their timestamp, equal keys and timestamps
// keep the later insertion first, and removals hold the key slots only; keys inline (one
// fixed-size key column) or compared in place.
TEST(MemTablePkIndexTest, RandomInsertsMatchOrderedReference) {
  const uint64_t seed = testing::test_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  const schema_case cases[] = {
      {"int64 key", testing::int_key_schema(), false, -1500, 1500},
      {"int16 key", int16_key_schema(), false, -32768, 32767},
      {"string and int32 key", testing::composite_key_schema(), true, -40, 40},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::mt19937_64 rng(seed);
    fixture f(c.schema);
    EXPECT_EQ(f.memtable.index().has_inline_keys(), !c.composite);
    const uint32_t value_slot = c.composite ? 2 : 1;
    std::set<reference_entry> reference;
    std::unordered_map<const void*, int64_t> seq_of;
    const std::vector<std::string> names = {"", "a", "ab", "abc", "b", "ba", "\xff"};
    auto random_key = [&](std::string& name) {
      name = c.composite ? names[rng() % names.size()] : "";
      // A narrow range at the ends makes runs of one key; the int16 case covers the extremes.
      return std::uniform_int_distribution<int64_t>(c.key_low, c.key_high)(rng);
    };
    auto key_cells = [&](const std::string& name, int64_t k) {
      return c.composite ? std::vector<cell>{name, k} : std::vector<cell>{k};
    };
    auto check_search = [&](const std::string& name, int64_t k, tx_timestamp at) {
      const auto found = f.search(key_cells(name, k), at);
      const auto it = reference.lower_bound(reference_entry{name, k, at, INT64_MAX, false});
      const bool expected = it != reference.end() && it->name == name && it->key == k;
      ASSERT_EQ(found.has_value(), expected) << name << "/" << k << " at " << at;
      if (!found) return;
      EXPECT_EQ(found->timestamp, it->ts);
      EXPECT_EQ(found->tombstone, it->tombstone);
      EXPECT_EQ(seq_of.at(found->tuple.elements()), it->seq);
      EXPECT_NE(found->tuple[0], nullptr);
      EXPECT_EQ(found->tuple[value_slot] == nullptr, it->tombstone);
    };
    const int inserts = 20000;
    for (int64_t seq = 0; seq < inserts; ++seq) {
      std::string name;
      const int64_t k = random_key(name);
      const tx_timestamp ts = static_cast<tx_timestamp>(rng() % 64) - 8;
      const bool tombstone = rng() % 10 == 0;
      const auto e = tombstone                      ? f.remove(key_cells(name, k), ts)
                     : c.composite                  ? f.upsert({seq, name, k}, ts)
                     : c.schema.columns.size() == 2 ? f.upsert({k, seq}, ts)
                                                    : f.upsert({k, seq, std::nullopt}, ts);
      ASSERT_EQ(e.tombstone, tombstone);
      seq_of[e.tuple.elements()] = seq;
      reference.insert({name, k, ts, seq, tombstone});
      if (seq % 997 == 0) {
        for (int probe = 0; probe < 50; ++probe) {
          std::string pn;
          const int64_t pk = random_key(pn);
          check_search(pn, pk, static_cast<tx_timestamp>(rng() % 80) - 12);
        }
      }
    }
    EXPECT_GE(f.memtable.index().height(), 3u);
    EXPECT_EQ(f.memtable.entry_count(), static_cast<uint64_t>(inserts));

    // The leaf list holds every entry in reference order.
    auto expected = reference.begin();
    uint64_t walked = 0;
    for (const auto* leaf = f.memtable.index().first_leaf(); leaf != nullptr; leaf = leaf->next) {
      ASSERT_GT(leaf->count, 0u);
      for (uint32_t i = 0; i < leaf->count; ++i, ++expected, ++walked) {
        ASSERT_NE(expected, reference.end());
        const versioned_row e = f.memtable.index().entry(leaf, i);
        ASSERT_EQ(seq_of.at(e.tuple.elements()), expected->seq) << "at entry " << walked;
        ASSERT_EQ(e.timestamp, expected->ts);
        ASSERT_EQ(e.tombstone, expected->tombstone);
      }
    }
    EXPECT_EQ(walked, reference.size());

    // Every key, at timestamps around each of its versions, plus keys that do not occur.
    for (const auto& r : reference) {
      for (tx_timestamp at : {r.ts - 1, r.ts, r.ts + 1}) check_search(r.name, r.key, at);
    }
    for (int probe = 0; probe < 2000; ++probe) {
      std::string name;
      const int64_t k = random_key(name);
      check_search(name, k, INT64_MAX);
      check_search(name, k, INT64_MIN);
    }
  }
}

}  // namespace
}  // namespace ombrel
