#include "segment/column_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "model/column_descriptor.h"
#include "model/file.h"
#include "native/config.h"
#include "native/errors.h"
#include "segment/column_creator.h"
#include "segment/column_reader.h"
#include "segment/compression.h"
#include "tests/segment/column_test_util.h"
#include "tests/support/test_dir.h"

namespace ombrel {
namespace {

using testing::column_test_seed;
using testing::config_override;
using testing::load;
using testing::test_dir;
using testing::to_bytes;

using value = std::optional<std::string>;

column_descriptor make_column(std::string name, ombrel_type type, bool nullable) {
  return testing::make_column(type, nullable, std::move(name));
}

std::optional<bytes_view> view(const value& v) {
  if (!v) return std::nullopt;
  return bytes_view(v->data(), v->size());
}

void write_column(const std::filesystem::path& dir, const column_descriptor& d,
                  const std::vector<value>& values) {
  column_creator creator(dir, d);
  for (const value& v : values) creator.add_value(view(v));
  creator.close();
}

std::vector<value> read_column(const column_file& cf) {
  column_reader reader(cf);
  reader.read_file_and_decompress();
  std::vector<value> result;
  for (uint32_t r = 0; r < reader.row_count(); ++r) {
    const auto v = reader.value(r);
    result.push_back(v ? value(std::string(v->as_string())) : std::nullopt);
  }
  return result;
}

std::vector<std::byte> file_bytes(const std::filesystem::path& path) {
  return file::for_reading(path).read_as_bytes();
}

template <typename T>
std::string fixed(T v) {
  return std::string(reinterpret_cast<const char*>(&v), sizeof(T));
}

void append(std::vector<std::byte>& out, const std::vector<std::byte>& bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

void append_header(std::vector<std::byte>& out, const storage_block_header& h) {
  std::byte bytes[storage_block_header::SIZE];
  h.serialize(bytes);
  out.insert(out.end(), bytes, bytes + sizeof(bytes));
}

TEST(ColumnFileTest, FileNamesFollowTheInternalFlag) {
  const column_file regular("/seg/7", make_column("price", INT64, true));
  EXPECT_EQ(regular.file_name(), "price.bin");
  EXPECT_EQ(regular.path(), std::filesystem::path("/seg/7/price.bin"));
  EXPECT_EQ(column_descriptor::TX_TS.file_name(), "_tx_ts");
  EXPECT_EQ(column_descriptor::TOMBSTONE.file_name(), "_tombstone");
  EXPECT_EQ(column_file("/seg", column_descriptor::TOMBSTONE).path(),
            std::filesystem::path("/seg/_tombstone"));
}

TEST(ColumnFileTest, StoredBlockHeaderIsFiftySixLittleEndianWords) {
  const storage_block_header h{1, 2, 3, {4, 5}, {6, 7}};
  std::byte bytes[56];
  h.serialize(bytes);
  for (uint64_t i = 0; i < 7; ++i) EXPECT_EQ(load<uint64_t>(bytes + 8 * i), i + 1);
  EXPECT_EQ(storage_block_header::deserialize(bytes), h);
}

TEST(ColumnFileTest, ColumnsWithoutRowsAreEightZeroBytes) {
  test_dir dir;
  for (const ombrel_type type : {INT32, STRING}) {
    for (const bool nullable : {false, true}) {
      const column_descriptor d = make_column("c", type, nullable);
      write_column(dir.path(), d, {});
      EXPECT_EQ(file_bytes(dir / "c.bin"), std::vector<std::byte>(8)) << type << nullable;
      column_reader reader(column_file(dir.path(), d));
      EXPECT_EQ(reader.row_count(), 0u);
      EXPECT_TRUE(reader.headers().empty());
      reader.read_file_and_decompress();
      EXPECT_TRUE(reader.loaded());
    }
  }
}

TEST(ColumnFileTest, SmallFixedSizeFileIsByteExact) {
  test_dir dir;
  const column_descriptor d = make_column("n", INT32, false);
  write_column(dir.path(), d, {fixed(5), fixed(3), fixed(3), fixed(9), fixed(9)});
  // Zigzag varints win: encoding 2, padding to 8, then 10, 6, 6, 18, 18.
  const std::vector<std::byte> block =
      to_bytes(std::vector<uint8_t>{2, 0, 0, 0, 0, 0, 0, 0, 10, 6, 6, 18, 18});
  std::vector<std::byte> expected = block;
  append_header(expected, {20, 13, METHOD_INTEGER_CODEC, {1, 3}, calculate_hash(block.data(), 13)});
  append(expected, to_bytes(std::vector<uint32_t>{5, 1}));
  EXPECT_EQ(file_bytes(dir / "n.bin"), expected);

  column_reader reader(column_file(dir.path(), d));
  EXPECT_EQ(reader.data_size(), 13u);
  ASSERT_EQ(reader.headers().size(), 1u);
  EXPECT_EQ(reader.headers()[0].meta, (storage_block_meta{1, 3}));
}

TEST(ColumnFileTest, SmallNullableVariableLengthFileIsByteExact) {
  test_dir dir;
  const column_descriptor d = make_column("s", STRING, true);
  const std::vector<value> values = {"ab", std::nullopt, "", "xyz"};
  write_column(dir.path(), d, values);

  const std::vector<std::byte> data = to_bytes(std::vector<char>{'a', 'b', 'x', 'y', 'z'});
  // End offsets 2, 2, 2, 5 as zigzag varints: encoding 2, padding, then 4, 4, 4, 10.
  const std::vector<std::byte> offsets =
      to_bytes(std::vector<uint8_t>{2, 0, 0, 0, 0, 0, 0, 0, 4, 4, 4, 10});
  const std::vector<std::byte> nulls = to_bytes(std::vector<uint64_t>{0b10});
  std::vector<std::byte> expected = data;
  append(expected, offsets);
  append(expected, nulls);
  // "" is the smallest value (row 2), "xyz" the largest (row 3).
  append_header(expected, {5, 5, METHOD_RAW, {2, 3}, calculate_hash(data.data(), 5)});
  append_header(expected,
                {32, 12, METHOD_INTEGER_CODEC, {2, 3}, calculate_hash(offsets.data(), 12)});
  append_header(expected, make_bitset_header(nulls.data(), 8));
  append(expected, to_bytes(std::vector<uint32_t>{4, 3}));
  EXPECT_EQ(file_bytes(dir / "s.bin"), expected);

  column_reader reader(column_file(dir.path(), d));
  reader.read_file_and_decompress();
  EXPECT_EQ(std::vector<uint64_t>(reader.offsets(), reader.offsets() + 4),
            (std::vector<uint64_t>{2, 2, 2, 5}));
  EXPECT_TRUE(reader.is_null(1));
  EXPECT_FALSE(reader.is_null(2));
  EXPECT_EQ(read_column(column_file(dir.path(), d)), values);
  // A present empty value is not null.
  ASSERT_TRUE(reader.value(2).has_value());
  EXPECT_FALSE(reader.value(2)->is_null());
}

TEST(ColumnFileTest, BlocksFollowTheSizeHint) {
  test_dir dir;
  const column_descriptor d = make_column("n", INT32, false);
  std::vector<value> values;
  for (int32_t i = 0; i < 20000; ++i) values.push_back(fixed(i * 7));
  struct case_t {
    const char* hint;
    std::vector<uint64_t> rows_per_block;
  };
  for (const case_t& c : {case_t{"8192", {8192, 8192, 3616}}, case_t{"7000", {7000, 7000, 6000}},
                          case_t{"20000", {20000}}, case_t{"30000", {20000}}}) {
    SCOPED_TRACE(c.hint);
    const config_override hint(config::merge_tree_column_block_size_hint_param_name, c.hint);
    write_column(dir.path(), d, values);
    column_reader reader(column_file(dir.path(), d));
    EXPECT_EQ(reader.row_count(), 20000u);
    ASSERT_EQ(reader.headers().size(), c.rows_per_block.size());
    for (size_t b = 0; b < c.rows_per_block.size(); ++b) {
      EXPECT_EQ(reader.headers()[b].size, c.rows_per_block[b] * 4);
    }
    EXPECT_EQ(read_column(column_file(dir.path(), d)), values);
  }
}

TEST(ColumnFileTest, EndOffsetsRunAcrossBlocksAndTheNullMapComesLast) {
  test_dir dir;
  const column_descriptor d = make_column("s", STRING, true);
  std::vector<value> values;
  for (int i = 0; i < 10000; ++i) {
    if (i % 13 == 0) {
      values.emplace_back(std::nullopt);
    } else {
      values.emplace_back(std::string(static_cast<size_t>(i % 5), static_cast<char>('a' + i % 26)));
    }
  }
  write_column(dir.path(), d, values);
  column_reader reader(column_file(dir.path(), d));
  const auto& headers = reader.headers();
  ASSERT_EQ(headers.size(), 5u);
  EXPECT_EQ(headers[1].size, 8192u * 8);
  EXPECT_EQ(headers[3].size, (10000u - 8192u) * 8);
  EXPECT_TRUE(is_bitset_header(headers[4]));
  EXPECT_EQ(headers[4].size, (10000u + 63) / 64 * 8);
  for (size_t i = 0; i < 4; ++i) EXPECT_FALSE(is_bitset_header(headers[i]));

  // The second offsets block continues from the first one's last end offset.
  const std::vector<std::byte> bytes = file_bytes(column_file(dir.path(), d).path());
  std::vector<uint64_t> second((10000 - 8192));
  const uint64_t at = headers[0].stored_size + headers[1].stored_size + headers[2].stored_size;
  decompress(reinterpret_cast<std::byte*>(second.data()), bytes.data() + at, INT64, headers[3]);
  uint64_t first_block_bytes = 0;
  for (int i = 0; i < 8192; ++i) first_block_bytes += values[i] ? values[i]->size() : 0;
  EXPECT_EQ(headers[0].size, first_block_bytes);
  EXPECT_EQ(second[0], first_block_bytes + (values[8192] ? values[8192]->size() : 0));

  reader.read_file_and_decompress();
  for (uint32_t r = 0; r < 10000; ++r) {
    ASSERT_EQ(reader.is_null(r), !values[r].has_value()) << r;
    if (!values[r]) {
      EXPECT_EQ(reader.offsets()[r], r == 0 ? 0 : reader.offsets()[r - 1]);  // length 0
    }
  }
  EXPECT_EQ(read_column(column_file(dir.path(), d)), values);
}

TEST(ColumnFileTest, BlockMetaPointsAtTheFirstSmallestAndLargestValues) {
  test_dir dir;
  struct case_t {
    column_descriptor d;
    std::vector<value> values;
    storage_block_meta meta;
  };
  const std::vector<case_t> cases = {
      {make_column("a", INT64, true),
       {fixed<int64_t>(4), std::nullopt, fixed<int64_t>(-2), fixed<int64_t>(-2), fixed<int64_t>(4)},
       {2, 0}},
      {make_column("b", STRING, false), {"b", "ab", "abc", "ab", "c", "c"}, {1, 4}},
      {make_column("c", DOUBLE, false), {fixed(1.5), fixed(-0.0), fixed(0.0), fixed(2.5)}, {1, 3}},
      {make_column("d", INT32, true), {std::nullopt, std::nullopt}, {}},
      {column_descriptor::TX_TS, {fixed<int64_t>(9), fixed<int64_t>(1)}, {}},
  };
  for (const case_t& c : cases) {
    SCOPED_TRACE(c.d.name);
    write_column(dir.path(), c.d, c.values);
    column_reader reader(column_file(dir.path(), c.d));
    ASSERT_FALSE(reader.headers().empty());
    EXPECT_EQ(reader.headers()[0].meta, c.meta);
    EXPECT_EQ(read_column(column_file(dir.path(), c.d)), c.values);
  }
  // Later blocks count from their own first value, past the nulls and bytes of earlier ones.
  const config_override hint(config::merge_tree_column_block_size_hint_param_name, "3");
  const column_descriptor d = make_column("e", STRING, true);
  const std::vector<value> values = {"b", std::nullopt, "a", std::nullopt, "c", "zz", "m"};
  write_column(dir.path(), d, values);
  column_reader reader(column_file(dir.path(), d));
  ASSERT_EQ(reader.headers().size(), 7u);  // three data and offsets pairs, then the null map
  const storage_block_meta expected[] = {{2, 0}, {2, 0}, {1, 2}, {1, 2}, {0, 0}, {0, 0}};
  for (size_t h = 0; h < 6; ++h) EXPECT_EQ(reader.headers()[h].meta, expected[h]) << h;
  EXPECT_EQ(read_column(column_file(dir.path(), d)), values);
}

TEST(ColumnFileTest, RandomColumnsRoundTrip) {
  const uint64_t seed = column_test_seed();
  std::mt19937_64 rng(seed);
  test_dir dir;
  const ombrel_type types[] = {BOOL, INT8, INT16, INT32,  INT64, DOUBLE,
                               UUID, DATE, TIME,  STRING, BYTES, TIMESTAMP};
  for (int round = 0; round < 40; ++round) {
    const ombrel_type type = types[rng() % std::size(types)];
    const bool nullable = rng() % 2;
    const column_descriptor d = make_column("r" + std::to_string(round), type, nullable);
    const std::string hint = std::to_string(1 + rng() % 3000);
    const config_override h(config::merge_tree_column_block_size_hint_param_name, hint);
    const size_t rows = rng() % 6000;
    const uint64_t spread = uint64_t{1} << (rng() % 64);
    std::vector<value> values;
    for (size_t r = 0; r < rows; ++r) {
      if (nullable && rng() % 5 == 0) {
        values.emplace_back(std::nullopt);
        continue;
      }
      const size_t size = d.size != 0 ? d.size : rng() % 20;
      std::string v(size, '\0');
      for (char& ch : v) ch = static_cast<char>(rng() % spread);
      values.emplace_back(std::move(v));
    }
    write_column(dir.path(), d, values);
    ASSERT_EQ(read_column(column_file(dir.path(), d)), values)
        << "seed " << seed << " round " << round << " type " << type << " hint " << hint;
  }
}

// A creator destroyed without close() still writes the tail; clear() releases the data and
// keeps the headers; short fixed-size values are refused.
TEST(ColumnFileTest, CreatorAndReaderLifecycles) {
  test_dir dir;
  const column_descriptor d = make_column("s", STRING, true);
  {
    column_creator creator(dir.path(), d);
    creator.reserve_buffers(3, 10);
    creator.add_value(bytes_view("hello", 5));
    creator.add_value(std::nullopt);
  }
  EXPECT_EQ(read_column(column_file(dir.path(), d)), (std::vector<value>{"hello", std::nullopt}));
  column_reader reader(column_file(dir.path(), d));
  reader.read_file_and_decompress();
  reader.clear();
  EXPECT_FALSE(reader.loaded());
  EXPECT_EQ(reader.data(), nullptr);
  EXPECT_EQ(reader.offsets(), nullptr);
  EXPECT_TRUE(reader.nulls().empty());
  EXPECT_EQ(reader.headers().size(), 3u);
  reader.read_file_and_decompress();
  EXPECT_EQ(reader.value(0)->as_string(), "hello");

  column_creator creator(dir.path(), make_column("n", INT64, false));
  EXPECT_THROW(creator.add_value(bytes_view("1234", 4)), errors::fatal_error);
}

TEST(ColumnFileTest, DuplicateToIsAHardLinkUnderTheNewName) {
  test_dir dir;
  const std::filesystem::path a = dir / "1";
  const std::filesystem::path b = dir / "2";
  std::filesystem::create_directories(a);
  std::filesystem::create_directories(b);
  const column_descriptor d = make_column("old", INT32, false);
  write_column(a, d, {fixed(1), fixed(2)});
  const column_file source(a, d);

  const column_file same = source.duplicate_to(b, d);
  const column_file renamed = source.duplicate_to(b, make_column("new", INT32, false));
  const column_file internal = source.duplicate_to(b, column_descriptor::TOMBSTONE);
  EXPECT_EQ(same.path(), b / "old.bin");
  EXPECT_EQ(renamed.path(), b / "new.bin");
  EXPECT_EQ(internal.path(), b / "_tombstone");
  struct stat original {};
  ASSERT_EQ(::stat(source.path().c_str(), &original), 0);
  EXPECT_EQ(original.st_nlink, 4u);
  for (const column_file& copy : {same, renamed, internal}) {
    struct stat linked {};
    ASSERT_EQ(::stat(copy.path().c_str(), &linked), 0);
    EXPECT_EQ(linked.st_ino, original.st_ino);
    EXPECT_EQ(linked.st_dev, original.st_dev);
  }
  EXPECT_EQ(read_column(renamed), (std::vector<value>{fixed(1), fixed(2)}));

  // The target exists already; the message names both files.
  try {
    source.duplicate_to(b, d);
    FAIL() << "no error";
  } catch (const errors::system_error& e) {
    const std::string message = e.what();
    EXPECT_NE(message.find((a / "old.bin").string()), std::string::npos) << message;
    EXPECT_NE(message.find((b / "old.bin").string()), std::string::npos) << message;
  }
  EXPECT_THROW(source.duplicate_to(dir / "missing", d), errors::system_error);
}

}  // namespace
}  // namespace ombrel
