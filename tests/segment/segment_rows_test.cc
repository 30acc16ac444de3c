// A segment written from a row set's mem-table answers for the row set once it is flushed:
// point reads and iterators (including one that crosses the flush) see the same rows.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "memtable/row_set.h"
#include "segment/segment.h"
#include "tests/memtable/memtable_fakes.h"
#include "tests/segment/segment_test_util.h"
#include "tests/support/test_dir.h"

namespace ombrel {
namespace {

using testing::cell;

// The fake tree, writing real segments.
class segment_tree : public testing::fake_tree {
 public:
  segment_tree(schema_descriptor schema, mem_table_buffer_pool& pool, std::filesystem::path dir)
      : fake_tree(std::move(schema), pool), dir_(std::move(dir)) {}

  std::shared_ptr<flushed_rows> write_memtable(row_set::tree_block&, const row_set&,
                                               const mem_table& table) override {
    return std::make_shared<segment>(dir_ / std::to_string(++written_), schema(), table);
  }

 private:
  std::filesystem::path dir_;
  int written_ = 0;
};

using testing::text_of;

// A mem-table never answers "upcoming": it says absent where a segment says upcoming.
std::string describe(const search_result& r) {
  return std::holds_alternative<upcoming_t>(r) ? "absent" : testing::describe(r);
}

// One entry as an iterator shows it.
std::string entry_of(row_set::iterator& it, const picked_columns& picker) {
  row_values values;
  const auto lock = it.read_tuple(picker, values);
  std::string text = std::to_string(it.timestamp()) + (it.is_tombstone() ? " removed " : " ");
  return text + (it.is_tombstone() ? text_of({values[0]}) : text_of(values));
}

TEST(SegmentRowsTest, FlushedRowSetAnswersFromItsSegment) {
  testing::test_dir dir;
  mem_table_buffer_pool pool(64 * 1024, 64 << 20);
  segment_tree tree(testing::int_key_schema(), pool, dir.path());
  const testing::test_table& table = tree.table();
  const picked_columns all = picked_columns::all(table.schema);
  const auto rows = tree.new_row_set();
  for (int64_t i = 0; i < 1500; ++i) {
    const int64_t k = i % 500;
    tree.upsert(rows, {k, i, i % 3 == 0 ? cell() : cell("s" + std::to_string(i))}, i + 1);
  }
  for (int64_t k = 0; k < 500; k += 7) {
    auto removal = table.removal({k});
    auto u = rows->get_memtable_updater();
    ASSERT_TRUE(u.ensure_tuple_size(removal->parsed->material_size()));
    u.insert(*removal->parsed, 1000 + k, uuid{1, 2});
  }

  const tx_timestamp timestamps[] = {1, 300, 700, 1200, 1400, TX_TIMESTAMP_LATEST};
  auto answers = [&] {
    std::vector<std::string> out;
    for (int64_t k = -1; k <= 501; ++k) {
      const owned_material_tuple key = table.key({k});
      for (const tx_timestamp ts : timestamps)
        out.push_back(describe(rows->search(ts, key.get(), all)));
    }
    return out;
  };
  auto walk = [&](row_set::iterator& it) {
    std::vector<std::string> out;
    for (bool more = it.valid(); more; more = it.get_next_tuple(all))
      out.push_back(entry_of(it, all));
    return out;
  };

  const std::vector<std::string> before = answers();
  auto full = rows->get_iterator(table.row_material);
  const std::vector<std::string> entries = walk(full);
  ASSERT_EQ(entries.size(), 1500u + 72u);

  // An iterator that started on the mem-table carries on from the segment.
  auto crossing = rows->get_iterator(table.row_material);
  std::vector<std::string> crossed;
  for (int i = 0; i < 10; ++i) {
    crossed.push_back(entry_of(crossing, all));
    ASSERT_TRUE(crossing.get_next_tuple(all));
  }
  {
    auto block = tree.block_tree_wait();
    auto u = rows->get_memtable_updater();
    ASSERT_TRUE(u);
    u.flush(*block);
  }
  ASSERT_TRUE(rows->is_flushed());
  const auto fallback = std::dynamic_pointer_cast<segment>(rows->fallback());
  ASSERT_TRUE(fallback);
  EXPECT_EQ(fallback->size(), entries.size());

  EXPECT_EQ(answers(), before);
  for (const auto& e : walk(crossing)) crossed.push_back(e);
  EXPECT_EQ(crossed, entries);
  auto after = rows->get_iterator(table.row_material);
  EXPECT_EQ(walk(after), entries);
}

}  // namespace
}  // namespace ombrel
