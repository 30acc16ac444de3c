#include "model/schema_descriptor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "native/errors.h"
#include "tests/support/schemas.h"
#include "tests/support/test_dir.h"
#include "tests/support/testing.h"

namespace ombrel {
namespace {

using testing::column;
using testing::make_schema;
using testing::message_of;

std::vector<std::byte> bytes(std::initializer_list<int> values) {
  return testing::bytes_from(values);
}

TEST(SchemaDescriptorTest, SerialisesByteExactly) {
  schema_descriptor s =
      make_schema({column("id", INT64), column("v", STRING, true)}, {0, NO_COLUMN}, 7);
  // After each column's nullable byte: aux_b, aux_a, aux_c.
  s.columns[0].aux_a = 0x1122;
  s.columns[0].aux_b = 0x3344;
  s.columns[0].aux_c = 0x55667788;
  const auto expected =
      bytes({7,    0,    0,    0,    2,    0,    0,    0,                              //
             5,    0,    0,    0,    0,    0,    0,    0,    2, 0, 0, 0, 'i', 'd', 0,  //
             0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55,                           //
             15,   0,    0,    0,    0xff, 0xff, 0xff, 0xff, 1, 0, 0, 0, 'v',          //
             1,    0,    0,    0,    0,    0,    0,    0,    0});
  EXPECT_EQ(s.serialize(), expected);
  schema_descriptor back;
  back.deserialize(expected);
  EXPECT_EQ(back, s);
  EXPECT_EQ(back.columns[0].size, 8u);
  EXPECT_EQ(back.columns[1].size, 0u);
}

TEST(SchemaDescriptorTest, PositionsGiveKeyAndMaterialOrder) {
  schema_descriptor s =
      make_schema({column("a", INT8), column("b", INT8), column("c", INT8), column("d", INT8)},
                  {NO_COLUMN, 1, NO_COLUMN, 0});
  EXPECT_EQ(s.key_columns, (std::vector<uint32_t>{3, 1}));
  EXPECT_EQ(s.material_order, (std::vector<uint32_t>{3, 1, 0, 2}));
  EXPECT_EQ(s.material_positions, (std::vector<uint32_t>{2, 1, 3, 0}));

  schema_descriptor bad;
  bad.columns = {column("a", INT8), column("b", INT8)};
  EXPECT_EQ(message_of<errors::fatal_error>([&] {
              bad.initialize_positions({0, 0});
            }),
            "Gap in primary key definition");
  EXPECT_EQ(message_of<errors::fatal_error>([&] {
              bad.initialize_positions({0, 1, 2});
            }),
            "Column number mismatch");
  EXPECT_EQ(message_of<errors::error>([&] {
              bad.initialize_positions({0, 7});
            }),
            "Key position 7 of column 1 is outside a primary key of 2 columns");
  EXPECT_EQ(message_of<errors::error>([&] {
              bad.initialize_positions({NO_COLUMN, 1});
            }),
            "Key position 1 of column 1 is outside a primary key of 1 columns");
}

TEST(SchemaDescriptorTest, DeserialisationRefusesTruncatedAndHostileInput) {
  schema_descriptor good =
      make_schema({column("id", INT64), column("v", STRING, true)}, {0, NO_COLUMN}, 7);
  const auto full = good.serialize();
  // Every proper prefix is refused, never read past.
  for (size_t n = 0; n < full.size(); ++n) {
    std::vector<std::byte> prefix(full.begin(), full.begin() + n);
    schema_descriptor s = good;
    const std::string msg = message_of<errors::error>([&] { s.deserialize(prefix); });
    EXPECT_EQ(msg.rfind("Truncated schema: ", 0), 0u) << n << ": " << msg;
    EXPECT_EQ(s, good) << "a failed load must leave the schema unchanged";
  }
  // A name length that runs past the end, a huge column count, an unknown type.
  auto lying = full;
  lying[16] = std::byte{0xff};
  schema_descriptor s;
  EXPECT_EQ(message_of<errors::error>([&] { s.deserialize(lying); }),
            "Truncated schema: column name needs 255 bytes, 33 left");
  auto many = full;
  many[7] = std::byte{0x7f};
  EXPECT_EQ(message_of<errors::error>([&] { s.deserialize(many); }).rfind("Truncated schema", 0),
            0u);
  auto unknown = full;
  unknown[8] = std::byte{20};
  EXPECT_EQ(message_of<errors::fatal_error>([&] { s.deserialize(unknown); }),
            "Unsupported data type 20");
  auto far_key = full;
  far_key[12] = std::byte{5};
  EXPECT_EQ(message_of<errors::error>([&] { s.deserialize(far_key); }),
            "Key position 5 of column 0 is outside a primary key of 1 columns");
  // Column names become file names: only plain names of at most 255 bytes with ".bin" pass.
  const struct {
    std::string name;
    std::string message;
  } names[] = {
      {"", "Invalid name of column 1 \"\": empty"},
      {"../v", "Invalid name of column 1 \"../v\": contains '/'"},
      {std::string("v\0w", 3), "Invalid name of column 1 \"v\\x00w\": contains a zero byte"},
      {".", "Invalid name of column 1 \".\": names a directory"},
      {"..", "Invalid name of column 1 \"..\": names a directory"},
      {std::string(252, 'n'), "Invalid name of column 1 \"" + std::string(252, 'n') +
                                  "\": its file name takes 256 bytes, more than 255"},
      {std::string(251, 'n'), ""},
      {"...", ""},
  };
  for (const auto& n : names) {
    schema_descriptor named = good;
    named.columns[1].name = n.name;
    const auto serialised = named.serialize();
    EXPECT_EQ(message_of<errors::error>([&] { s.deserialize(serialised); }),
              n.message.empty() ? "<no exception>" : n.message);
  }
  // The cursor advances past exactly one schema; trailing bytes stay unread.
  auto with_tail = full;
  with_tail.push_back(std::byte{0xAA});
  const std::byte* cursor = with_tail.data();
  s.deserialize(cursor, with_tail.size());
  EXPECT_EQ(cursor, with_tail.data() + full.size());
}

TEST(SchemaDescriptorTest, ColumnLookupAddAndDrop) {
  schema_descriptor s =
      make_schema({column("k", INT64), column("a", INT32), column("b", STRING, true)},
                  {0, NO_COLUMN, NO_COLUMN});
  EXPECT_EQ(s.get_column_index("b"), 2u);
  EXPECT_EQ(s.get_column_index("B"), NO_COLUMN);
  EXPECT_EQ(schema_descriptor().get_column_index("k"), NO_COLUMN);

  schema_descriptor before = s;
  EXPECT_EQ(message_of<errors::fatal_error>([&] { s.drop_column(0); }),
            "Primary key columm cannot be dropped");
  EXPECT_EQ(s, before);

  s.drop_column(1);
  EXPECT_EQ(s.columns.size(), 2u);
  EXPECT_EQ(s.columns[1].name, "b");
  EXPECT_EQ(s.key_positions, (std::vector<uint32_t>{0, NO_COLUMN}));
  EXPECT_EQ(s.material_order, (std::vector<uint32_t>{0, 1}));
  EXPECT_EQ(s.material_positions, (std::vector<uint32_t>{0, 1}));

  s.add_column(column("c", DOUBLE));
  EXPECT_EQ(s.key_positions.back(), NO_COLUMN);
  EXPECT_EQ(s.material_order, (std::vector<uint32_t>{0, 1, 2}));

  // A key that does not lead: dropping a column before it renumbers the key column too.
  schema_descriptor t = make_schema({column("x", INT32), column("k", INT64), column("y", INT8)},
                                    {NO_COLUMN, 0, NO_COLUMN});
  t.drop_column(0);
  EXPECT_EQ(t.key_columns, (std::vector<uint32_t>{0}));
  EXPECT_EQ(t.material_order, (std::vector<uint32_t>{0, 1}));
}

TEST(SchemaDescriptorTest, MaterialAndTupleSchemas) {
  schema_descriptor s =
      make_schema({column("a", INT8), column("b", INT64), column("c", INT64), column("d", STRING)},
                  {0, 1, NO_COLUMN, NO_COLUMN});
  const auto m = s.get_material_schema();
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m.key_count, 2u);
  EXPECT_EQ(m[0].align_mask, 0u);
  EXPECT_EQ(m[1].align_mask, 7u);
  EXPECT_EQ(m[2].align_mask, 0u);
  EXPECT_EQ(m[3].align_mask, 0u);
  EXPECT_EQ(m[3].index, 3u);

  // Key columns elsewhere in the declaration: key slots follow key order, varlen keys align to 4.
  schema_descriptor t = make_schema(
      {column("v", DOUBLE), column("k2", STRING), column("k1", DATE), column("w", BOOL)},
      {NO_COLUMN, 1, 0, NO_COLUMN});
  const auto km = t.get_material_key_schema();
  ASSERT_EQ(km.size(), 2u);
  EXPECT_EQ(km[0].type, DATE);
  EXPECT_EQ(km[0].align_mask, 3u);
  EXPECT_EQ(km[0].index, 0u);
  EXPECT_EQ(km[1].type, STRING);
  EXPECT_EQ(km[1].align_mask, 3u);
  EXPECT_EQ(km[1].index, 1u);
  const auto rm = t.get_material_schema();
  EXPECT_EQ(rm[0].index, 2u);
  EXPECT_EQ(rm[1].index, 1u);
  EXPECT_EQ(rm[2].index, 0u);
  EXPECT_EQ(rm[3].index, 3u);
  const auto kt = t.get_key_tuple_schema();
  ASSERT_EQ(kt.size(), 2u);
  EXPECT_EQ(kt[0].type, DATE);
  EXPECT_EQ(kt[1].type, STRING);
  EXPECT_TRUE(kt[1].varlen);
  EXPECT_EQ(t.get_tuple_schema()[0].type, DOUBLE);
}

TEST(SchemaDescriptorTest, FilesAreReplacedThroughATemporaryName) {
  testing::test_dir dir;
  const auto path = dir / "schema";
  schema_descriptor s = make_schema({column("id", INT64)}, {0}, 3);
  s.store_to_file(path);
  EXPECT_EQ(*load_schema_from_file(path), s);
  s.add_column(column("x", UUID, true));
  s.version = 4;
  s.store_to_file(path);
  EXPECT_FALSE(std::filesystem::exists(dir / "schema_tmp"));
  EXPECT_EQ(*load_schema_from_file(path), s);
  EXPECT_THROW(load_schema_from_file(dir / "missing"), errors::system_error);
}

}  // namespace
}  // namespace ombrel
