#include "memtable/mem_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "memtable_fakes.h"
#include "native/errors.h"

namespace ombrel {
namespace {

using testing::cell;
using testing::message_of;
using testing::test_table;

// Buffers from a pool, counting requests; `refuse` makes it return null.
struct counting_creator : mem_table::buffer_creator {
  mem_table_buffer_pool& pool;
  std::vector<size_t> requests;
  bool refuse = false;

  explicit counting_creator(mem_table_buffer_pool& p) : pool(p) {}
  mem_table_buffer* create_buffer(size_t size) override {
    requests.push_back(size);
    return refuse ? nullptr : pool.get_buffer(nullptr, size);
  }
};

uint64_t free_buffers(const mem_table_buffer_pool& pool) {
  mem_table_buffer_pool::statistics s;
  pool.get_statistics(s);
  return s.free_buffers;
}

TEST(MemTableTest, InsertWithoutRoomIsALogicError) {
  mem_table_buffer_pool pool(4096, 4 * 4096);
  counting_creator creator(pool);
  const test_table table(testing::int_key_schema());
  mem_table memtable(table.schema, pool);
  const auto small = table.row({1, 1, "a"});
  const auto big = table.row({2, 2, std::string(4020, 'b')});
  const std::string message = "logic error: not enough space in a mem-table buffer";
  EXPECT_EQ(message_of([&] { memtable.insert(*small->parsed, 1); }), message);
  ASSERT_TRUE(memtable.ensure(small->parsed->material_size(), creator));
  memtable.insert(*small->parsed, 1);
  // Room for the small row does not cover the big one.
  ASSERT_TRUE(memtable.ensure(small->parsed->material_size(), creator));
  EXPECT_EQ(message_of<errors::fatal_error>([&] { memtable.insert(*big->parsed, 2); }), message);
  EXPECT_EQ(memtable.entry_count(), 1u);
  EXPECT_EQ(memtable.index().size(), 1u);
}

TEST(MemTableTest, BuffersAreTakenWhenFullSizedToTheRowAndAllReturnedOnDestruction) {
  mem_table_buffer_pool pool(4096, 8 * 4096);
  counting_creator creator(pool);
  const test_table table(testing::int_key_schema());
  {
    mem_table memtable(table.schema, pool);
    EXPECT_EQ(memtable.buffer_bytes(), 0u);
    const auto row = table.row({1, 1, std::string(1000, 'x')});
    const size_t size = row->parsed->material_size();
    const uint64_t per_row = size + memtable.index().row_overhead();
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(memtable.ensure(size, creator));
      memtable.insert(*row->parsed, i);
    }
    // Three rows of ~1.1 KB fit one 4 KiB buffer; the fourth takes a new one.
    EXPECT_EQ(creator.requests, std::vector<size_t>{per_row});
    ASSERT_TRUE(memtable.ensure(size, creator));
    memtable.insert(*row->parsed, 3);
    EXPECT_EQ(creator.requests.size(), 2u);
    EXPECT_EQ(memtable.buffer_bytes(), 2 * 4096u);
    EXPECT_EQ(free_buffers(pool), 6u);
    // The abandoned tail of the first buffer counts as used.
    EXPECT_GT(memtable.used_bytes(), 4096u);

    creator.refuse = true;
    ASSERT_TRUE(memtable.ensure(size, creator));  // the second buffer still has room
    memtable.insert(*row->parsed, 4);
    memtable.insert(*row->parsed, 5);
    EXPECT_FALSE(memtable.ensure(size, creator));
    EXPECT_EQ(memtable.entry_count(), 6u);
  }
  EXPECT_EQ(free_buffers(pool), 8u);

  // A buffer its pool refuses is reported, never thrown out of the destructor; the others
  // still go back.
  mem_table_buffer_pool other(4096, 2 * 4096);
  counting_creator foreign(other);
  creator.refuse = false;
  {
    mem_table memtable(table.schema, pool);
    const auto row = table.row({1, 1, std::string(1000, 'x')});
    ASSERT_TRUE(memtable.ensure(row->parsed->material_size(), creator));
    memtable.insert(*row->parsed, 1);
    ASSERT_TRUE(memtable.ensure(3500, foreign));
    EXPECT_EQ(memtable.buffer_bytes(), 2 * 4096u);
  }
  EXPECT_EQ(free_buffers(pool), 8u);

  // A row larger than a buffer gets a large buffer of whole pages.
  {
    mem_table memtable(table.schema, pool);
    const auto row = table.row({5, 6, std::string(10000, 'y')});
    ASSERT_TRUE(memtable.ensure(row->parsed->material_size(), creator));
    EXPECT_EQ(memtable.buffer_bytes(), 3 * 4096u);
    EXPECT_EQ(free_buffers(pool), 5u);
    memtable.insert(*row->parsed, 1);
    const auto key = table.key({5});
    const auto found = memtable.index().search(1, key.get());
    ASSERT_TRUE(found);
    uint32_t length;
    std::memcpy(&length, found->tuple[2], 4);
    EXPECT_EQ(length, 10000u);
  }
  EXPECT_EQ(free_buffers(pool), 8u);
}

TEST(MemTableTest, VarlenBytesSumPayloadsPerColumn) {
  mem_table_buffer_pool pool(4096, 8 * 4096);
  counting_creator creator(pool);
  const test_table table(
      testing::make_schema({testing::column("v", INT64), testing::column("name", STRING),
                            testing::column("s", STRING, true), testing::column("b", BYTES, true)},
                           {NO_COLUMN, 0, NO_COLUMN, NO_COLUMN}));
  mem_table memtable(table.schema, pool);
  auto add = [&](const testing::parsed_row& r) {
    ASSERT_TRUE(memtable.ensure(r.parsed->material_size(), creator));
    memtable.insert(*r.parsed, 1);
  };
  add(*table.row({1, "abc", "hello", std::nullopt}));
  add(*table.row({2, "de", "", std::string("\x80\x81", 2)}));  // escaped payloads
  add(*table.removal({"fghij"}));                              // only the key counts
  const std::vector<uint64_t> varlen{memtable.varlen_bytes(0), memtable.varlen_bytes(1),
                                     memtable.varlen_bytes(2), memtable.varlen_bytes(3),
                                     memtable.varlen_bytes(4)};
  EXPECT_EQ(varlen, (std::vector<uint64_t>{0, 10, 5, 2, 0}));
  EXPECT_EQ(memtable.entry_count(), 3u);

  std::vector<std::pair<std::string, bool>> order;
  memtable.for_each([&](const versioned_row& e) {
    uint32_t length;
    std::memcpy(&length, e.tuple[0], 4);
    order.emplace_back(std::string(reinterpret_cast<const char*>(e.tuple[0] + 4), length),
                       e.tombstone);
  });
  EXPECT_EQ(order, (std::vector<std::pair<std::string, bool>>{
                       {"abc", false}, {"de", false}, {"fghij", true}}));
}

}  // namespace
}  // namespace ombrel
