#include "segment/column_reader.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "model/column_descriptor.h"
#include "model/file.h"
#include "native/config.h"
#include "native/errors.h"
#include "segment/column_block_reader.h"
#include "segment/column_creator.h"
#include "segment/column_layout.h"
#include "segment/compression.h"
#include "segment/segment_cache.h"
#include "tests/segment/column_test_util.h"
#include "tests/support/test_dir.h"

namespace ombrel {
namespace {

using testing::config_override;
using testing::test_dir;
using testing::to_bytes;

using block = testing::stored_block;
using testing::forge;
using testing::make_column;

block raw(std::vector<std::byte> bytes) {
  const uint64_t size = bytes.size();
  return forge(METHOD_RAW, size, std::move(bytes));
}

block compressed(const std::vector<std::byte>& bytes, ombrel_type type) {
  return testing::compress_values(bytes, type);
}

void write_bytes(const std::filesystem::path& path, const std::vector<std::byte>& bytes) {
  file f = file::for_writing(path);
  f.write(bytes.data(), bytes.size());
}

std::vector<std::byte> file_image(const std::vector<block>& blocks, uint32_t rows) {
  std::vector<std::byte> out;
  for (const block& b : blocks) out.insert(out.end(), b.stored.begin(), b.stored.end());
  for (const block& b : blocks) {
    std::byte h[storage_block_header::SIZE];
    b.header.serialize(h);
    out.insert(out.end(), h, h + sizeof(h));
  }
  const std::vector<std::byte> trailer =
      to_bytes(std::vector<uint32_t>{rows, static_cast<uint32_t>(blocks.size())});
  out.insert(out.end(), trailer.begin(), trailer.end());
  return out;
}

// The message of the first failure of opening and loading, or "" when both succeed; checks
// that a failed load leaves nothing behind.
std::string load_error(const column_file& cf) {
  std::optional<column_reader> reader;
  try {
    reader.emplace(cf);
  } catch (const errors::error& e) {
    return e.what();
  }
  try {
    reader->read_file_and_decompress();
  } catch (const errors::error& e) {
    EXPECT_FALSE(reader->loaded());
    EXPECT_EQ(reader->data(), nullptr);
    EXPECT_EQ(reader->offsets(), nullptr);
    return e.what();
  }
  EXPECT_TRUE(reader->loaded());
  return "";
}

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0;
}

TEST(ColumnReaderTest, FilesTooShortForTheirTailAreRefusedByName) {
  test_dir dir;
  const column_file cf(dir.path(), make_column(INT32, false));
  const std::string path = cf.path().string();
  write_bytes(cf.path(), std::vector<std::byte>(7));
  EXPECT_EQ(load_error(cf), "Invalid column file content: " + path);
  write_bytes(cf.path(), {});
  EXPECT_EQ(load_error(cf), "Invalid column file content: " + path);
  write_bytes(cf.path(), to_bytes(std::vector<uint32_t>{0, 1}));
  EXPECT_EQ(load_error(cf), "Bad column file data: " + path);
  write_bytes(cf.path(), to_bytes(std::vector<uint32_t>{5, 0xFFFFFFFF}));
  EXPECT_EQ(load_error(cf), "Bad column file data: " + path);
  std::filesystem::remove(cf.path());
  EXPECT_THROW(column_reader{cf}, errors::system_error);
}

TEST(ColumnReaderTest, LyingHeadersAreRefusedBeforeDecoding) {
  test_dir dir;
  const column_descriptor int32 = make_column(INT32, false);
  const column_descriptor int64_nullable = make_column(INT64, true);
  const column_descriptor string_nullable = make_column(STRING, true);
  const column_descriptor string = make_column(STRING, false);
  const std::vector<std::byte> four_ints = to_bytes(std::vector<int32_t>{1, 2, 3, 4});
  const std::vector<std::byte> constant = to_bytes(std::vector<int32_t>(1000, 6));
  const std::vector<std::byte> one_null = to_bytes(std::vector<uint64_t>{1});
  const auto offsets = [](std::vector<uint64_t> ends) { return raw(to_bytes(ends)); };

  block stored_too_long = raw(four_ints);
  stored_too_long.header.stored_size = 17;
  block shifted_a = raw(four_ints);
  block shifted_b = raw(four_ints);
  shifted_a.header.stored_size += 1;  // the sizes still tile the data area
  shifted_b.header.stored_size -= 1;
  block raw_size_lie = raw(four_ints);
  raw_size_lie.header.size = 12;
  block many_values = compressed(constant, INT32);
  block four_x = many_values;
  four_x.header.size *= 4;  // a constant block can claim it, but plain cannot
  block plain = forge(METHOD_INTEGER_CODEC, 4000 * 4, [] {
    std::vector<std::byte> b(8 + 64);
    b[0] = std::byte{1};
    return b;
  }());
  block million = many_values;
  million.header.size = uint64_t{4} << 20;  // more values than any block the writer makes
  block huge_lz4 = compressed(to_bytes(std::vector<char>(3000, 'x')), STRING);
  huge_lz4.header.size = uint64_t{1} << 40;
  block codec_on_string = compressed(constant, INT32);
  // Constant blocks can claim any size; two of 2^63 bytes add up to 0 in 64 bits.
  block wrapping = compressed(to_bytes(std::vector<int64_t>(100, 8)), INT64);
  ASSERT_EQ(wrapping.header.method, METHOD_INTEGER_CODEC);
  wrapping.header.size = uint64_t{1} << 63;
  block bad_hash = raw(four_ints);
  bad_hash.stored[0] ^= std::byte{1};

  const std::string table = "Bad column file data: ";
  const std::string corrupted = "Corrupted column block: ";
  const struct {
    const char* name;
    column_descriptor d;
    std::vector<block> blocks;
    uint32_t rows;
    std::string message;  // exact, or a prefix when it ends in ": "
  } cases[] = {
      {"one row too many", int32, {raw(four_ints)}, 5, table},
      {"every row there could be", int32, {raw(four_ints)}, 0xFFFFFFFF, table},
      {"stored bytes past the data area", int32, {stored_too_long}, 4, table},
      {"stored sizes shifted between blocks",
       int32,
       {shifted_a, shifted_b},
       8,
       "Block hash mismatch!"},
      {"raw block with a smaller size",
       int32,
       {raw_size_lie, raw(to_bytes(std::vector<int32_t>{1}))},
       4,
       corrupted},
      {"constant block four times larger", int32, {four_x}, 4000, ""},
      {"constant block of a million values", int32, {million}, 1 << 20, corrupted},
      {"plain values claimed beyond the bytes", int32, {plain}, 4000, corrupted},
      {"LZ4 beyond any ratio", string, {huge_lz4, offsets({uint64_t{1} << 40})}, 1, corrupted},
      {"half values",
       int32,
       {raw(to_bytes(std::vector<uint16_t>{1, 2, 3})), raw(to_bytes(std::vector<uint16_t>{4}))},
       2,
       corrupted},
      {"null map missing", int64_nullable, {raw(to_bytes(std::vector<int64_t>{1}))}, 1, table},
      {"null map too short",
       int64_nullable,
       {raw(to_bytes(std::vector<int64_t>(65))), forge(METHOD_BITSET, 8, one_null)},
       65,
       corrupted},
      {"null map in a column without nulls",
       int32,
       {raw(four_ints), forge(METHOD_BITSET, 8, one_null)},
       4,
       corrupted},
      {"null map among the value blocks",
       int64_nullable,
       {forge(METHOD_BITSET, 8, one_null), raw(to_bytes(std::vector<int64_t>{1})),
        forge(METHOD_BITSET, 8, one_null)},
       1,
       corrupted},
      {"data block without offsets", string, {raw(four_ints)}, 0, table},
      {"offsets falling", string, {raw(four_ints), offsets({3, 2})}, 2, corrupted},
      {"offsets past the data", string, {raw(four_ints), offsets({3, 17})}, 2, corrupted},
      {"offsets short of the data", string, {raw(four_ints), offsets({3, 15})}, 2, corrupted},
      {"offsets block of half entries",
       string,
       {raw(four_ints), raw(to_bytes(std::vector<uint32_t>{16, 0, 0}))},
       1,
       corrupted},
      {"offsets for fewer rows",
       string_nullable,
       {raw(four_ints), offsets({16}), forge(METHOD_BITSET, 8, one_null)},
       2,
       table},
      {"offsets sizes wrapping around",
       string,
       {raw({}), wrapping, raw({}), wrapping},
       0,
       corrupted},
      {"unknown method", int32, {forge(9, 16, four_ints)}, 4, "Unsupported compression method"},
      {"unknown method after a bad hash",
       int32,
       {bad_hash, forge(9, 16, four_ints)},
       8,
       "Block hash mismatch!"},
      {"integer codec on a string column",
       string,
       {codec_on_string, offsets({4000})},
       1,
       "Unsupported data type for integer compression"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const column_file cf(dir.path(), c.d);
    write_bytes(cf.path(), file_image(c.blocks, c.rows));
    const std::string message = load_error(cf);
    if (c.message.ends_with(": ")) {
      EXPECT_TRUE(starts_with(message, c.message + cf.path().string() + ": ")) << message;
    } else {
      EXPECT_EQ(message, c.message);
    }
  }
}

// What a block answers: every row's value in hex, or the error that refused it.
template <typename Read>
std::string answers(const column_layout& layout, Read read) {
  std::string out;
  try {
    const auto block = read(layout, 0);
    value_scratch scratch;
    for (uint32_t r = 0; r < block->rows; ++r) {
      for (const std::byte b : block->value(r, scratch)) {
        out += fmt::format("{:02x}", std::to_integer<unsigned>(b));
      }
      out += ' ';
    }
  } catch (const errors::error& e) {
    return e.what();
  }
  return out;
}

// A block read for point reads (values left coded where they can be) answers every row as the
// whole block does, and refuses a damaged block with the same error: real blocks of each shape,
// then codec bytes damaged under a matching hash, then bytes that fail their hash.
TEST(ColumnReaderTest, PointBlocksAnswerAndRefuseAsWholeBlocks) {
  test_dir dir;
  const uint64_t seed = testing::test_seed();
  std::mt19937_64 rng(seed);
  const auto pick = [&](uint64_t bound) { return rng() % bound; };
  const ombrel_type types[] = {INT8, INT16, INT32, INT64, DOUBLE, STRING};
  size_t coded = 0;
  for (int round = 0; round < 400; ++round) {
    const ombrel_type type = types[pick(std::size(types))];
    const auto rows = static_cast<uint32_t>(1 + pick(300));
    const uint64_t base = rng();
    const unsigned bits = 1 + static_cast<unsigned>(pick(pick(2) ? 12 : 64));
    const auto any = [&] { return base + (bits == 64 ? rng() : rng() % (uint64_t{1} << bits)); };
    std::vector<block> blocks;
    if (type == STRING) {
      std::vector<std::byte> data;
      std::vector<uint64_t> ends;
      for (uint32_t r = 0; r < rows; ++r) {
        for (uint64_t k = pick(12); k > 0; --k) data.push_back(std::byte(pick(2) ? 'a' : rng()));
        ends.push_back(data.size());
      }
      blocks = {compressed(data, STRING), compressed(to_bytes(ends), INT64)};
    } else {
      const size_t width = type == INT8 ? 1 : type == INT16 ? 2 : type == INT32 ? 4 : 8;
      std::vector<std::byte> values(rows * width);
      for (uint32_t r = 0; r < rows; ++r) {
        const uint64_t v = pick(8) == 0 ? base : any();
        std::memcpy(values.data() + r * width, &v, width);
      }
      blocks = {compressed(values, type)};
    }
    block& damaged = blocks[pick(blocks.size())];
    const int damage = static_cast<int>(pick(3));  // none, under a matching hash, failing it
    if (damage != 0 && !damaged.stored.empty()) {
      damaged.stored[pick(std::min<size_t>(damaged.stored.size(), 24))] ^= std::byte(1 + pick(255));
      if (damage == 1) damaged = forge(damaged.header.method, damaged.header.size, damaged.stored);
    }
    const column_file cf(dir.path(), make_column(type, false));
    write_bytes(cf.path(), file_image(blocks, rows));
    const column_layout layout{column_reader(cf)};
    const std::string whole = answers(layout, read_value_block);
    ASSERT_EQ(answers(layout, read_point_block), whole)
        << "seed " << seed << " round " << round << " type " << type << " damage " << damage;
    try {
      const auto point = read_point_block(layout, 0);
      coded += point->coded_values || point->coded_ends;
    } catch (const errors::error&) {
    }
  }
  EXPECT_GT(coded, 50u) << "too few blocks left coded";
}

// Every byte of a real file flipped in turn: the reader refuses the file or, where the byte
// is not covered by any check (block meta), reads the original values.
TEST(ColumnReaderTest, FlippedBytesAreRefusedOrHarmless) {
  test_dir dir;
  const config_override hint(config::merge_tree_column_block_size_hint_param_name, "100");
  // The doubles are stored raw and read where they lie, unless a block fails its hash.
  for (const column_descriptor& d :
       {make_column(INT64, true), make_column(DOUBLE, false), make_column(STRING, true)}) {
    SCOPED_TRACE(d.type);
    const column_file cf(dir.path(), d);
    {
      column_creator creator(dir.path(), d);
      for (int64_t r = 0; r < 230; ++r) {
        const uint64_t bits = static_cast<uint64_t>(r) * 0x9E3779B97F4A7C15ull;
        const std::string v = d.type == INT64 ? std::string(reinterpret_cast<char*>(&r), 8)
                              : d.type == DOUBLE
                                  ? std::string(reinterpret_cast<const char*>(&bits), 8)
                                  : std::string(static_cast<size_t>(r % 4), 'q');
        creator.add_value(d.nullable && r % 7 == 0
                              ? std::nullopt
                              : std::optional<bytes_view>(bytes_view(v.data(), v.size())));
      }
      creator.close();
    }
    const std::vector<std::byte> original = file::for_reading(cf.path()).read_as_bytes();
    column_reader good(cf);
    good.read_file_and_decompress();
    const uint64_t data_size = good.data_size();
    for (size_t at = 0; at < original.size(); ++at) {
      std::vector<std::byte> damaged = original;
      damaged[at] ^= std::byte{0x41};
      write_bytes(cf.path(), damaged);
      const std::string message = load_error(cf);
      if (at < data_size) {
        ASSERT_EQ(message, "Block hash mismatch!") << "byte " << at;
        continue;
      }
      const size_t in_header = (at - data_size) % storage_block_header::SIZE;
      const bool meta = at < original.size() - 8 && in_header >= 24 && in_header < 40;
      if (meta) {
        EXPECT_EQ(message, "") << "byte " << at;
        column_reader reader(cf);
        reader.read_file_and_decompress();
        for (uint32_t r = 0; r < good.row_count(); ++r) {
          ASSERT_EQ(reader.value(r).has_value(), good.value(r).has_value());
          if (good.value(r)) {
            ASSERT_EQ(reader.value(r)->as_string(), good.value(r)->as_string());
          }
        }
      } else {
        EXPECT_NE(message, "") << "byte " << at;
      }
    }
    // Every truncation is refused, or (by chance) reads as an empty column.
    for (size_t length = 0; length < original.size(); ++length) {
      write_bytes(cf.path(), std::vector<std::byte>(original.begin(), original.begin() + length));
      std::optional<column_reader> reader;
      try {
        reader.emplace(cf);
        reader->read_file_and_decompress();
        EXPECT_EQ(reader->row_count(), 0u) << "length " << length;
      } catch (const errors::error&) {
      }
    }
  }
}

TEST(ColumnReaderTest, FailedReloadDropsTheDataLoadedBefore) {
  test_dir dir;
  const column_file cf(dir.path(), make_column(INT32, false));
  write_bytes(cf.path(), file_image({raw(to_bytes(std::vector<int32_t>{1, 2}))}, 2));
  column_reader reader(cf);
  reader.read_file_and_decompress();
  ASSERT_TRUE(reader.loaded());
  block damaged = raw(to_bytes(std::vector<int32_t>{1, 2}));
  damaged.stored[5] = std::byte{9};
  write_bytes(cf.path(), file_image({damaged}, 2));
  EXPECT_THROW(reader.read_file_and_decompress(), errors::error);
  EXPECT_FALSE(reader.loaded());
  EXPECT_EQ(reader.data(), nullptr);
}

// Blocks are cut at the hint in force when a file is written; readers accept any block a
// writer under an accepted hint makes, whatever the hint is now.
TEST(ColumnReaderTest, BlocksWrittenUnderALargerHintStayReadableAfterItIsLowered) {
  test_dir dir;
  const uint64_t rows = 65536 + 4000;  // one full block at the largest hint, then a partial one
  const column_descriptor columns[] = {{"i", column_info::of_type(INT64, false)},
                                       {"s", column_info::of_type(STRING, true)}};
  {
    const config_override large(config::merge_tree_column_block_size_hint_param_name, "65536");
    for (const column_descriptor& d : columns) {
      column_creator creator(dir.path(), d);
      for (uint64_t r = 0; r < rows; ++r) {
        const int64_t v = r < 65536 ? 7 : static_cast<int64_t>(r);  // a constant block first
        const std::string text(r % 3, 'x');
        creator.add_value(d.type == INT64 ? bytes_view(&v, sizeof(v))
                                          : bytes_view(text.data(), text.size()));
      }
      creator.close();
    }
  }
  const config_override small(config::merge_tree_column_block_size_hint_param_name, "100");
  for (const column_descriptor& d : columns) {
    SCOPED_TRACE(d.type);
    const column_file cf(dir.path(), d);
    column_reader whole(cf);
    ASSERT_NO_THROW(whole.read_file_and_decompress());
    ASSERT_EQ(whole.row_count(), rows);
    const column_layout layout{column_reader(cf)};
    for (const uint64_t r : {uint64_t{0}, uint64_t{65535}, rows - 1}) {
      const auto block = read_value_block(layout, layout.block_of(r));
      EXPECT_EQ(block->value(r).as_string(), whole.value(static_cast<uint32_t>(r))->as_string());
    }
    if (d.type != INT64) continue;
    int64_t last;
    std::memcpy(&last, whole.value(static_cast<uint32_t>(rows - 1))->data, sizeof(last));
    EXPECT_EQ(last, static_cast<int64_t>(rows - 1));
  }
}

// Scans share one pool of decode buffers across the process: what it keeps is bounded by bytes
// as well as by count, and a kept buffer is handed out again instead of a fresh one.
TEST(ColumnReaderTest, KeptDecodeBuffersStayWithinTheirByteBound) {
  std::atomic<uint64_t> bound{1u << 20};
  const auto memory = column_memory::create(&bound);
  constexpr size_t SIZE = 600u << 10;
  column_buffer a = memory->take(SIZE);
  column_buffer b = memory->take(SIZE);
  a.reset();
  EXPECT_EQ(memory->kept_bytes(), SIZE);
  b.reset();  // two would exceed the bound
  EXPECT_EQ(memory->kept_bytes(), SIZE);
  column_buffer again = memory->take(SIZE - 1);
  EXPECT_EQ(memory->kept_bytes(), 0u);
  bound = 0;
  again.reset();
  EXPECT_EQ(memory->kept_bytes(), 0u);
}

}  // namespace
}  // namespace ombrel
