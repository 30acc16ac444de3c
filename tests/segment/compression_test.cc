#include "segment/compression.h"

#include <gtest/gtest.h>
#include <lz4.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "model/column_descriptor.h"
#include "native/config.h"
#include "native/errors.h"
#include "segment/oroch.h"
#include "tests/segment/column_test_util.h"

namespace ombrel {
namespace {

using testing::column_test_seed;
using testing::config_override;
using testing::to_bytes;

using compressed = testing::stored_block;
using testing::compress_values;

std::vector<std::byte> decompress_to_vector(const compressed& block, ombrel_type type) {
  std::vector<std::byte> out(block.header.size);
  decompress(out.data(), block.stored.data(), type, block.header);
  return out;
}

compressed forge(uint64_t method, uint64_t size, const std::vector<uint8_t>& bytes) {
  return testing::forge(method, size, to_bytes(bytes));
}

std::vector<uint8_t> padded(std::vector<uint8_t> head, size_t total) {
  head.resize(total, 0);
  return head;
}

std::string decompress_error(const compressed& block, ombrel_type type) {
  std::vector<std::byte> out(block.header.size);
  try {
    decompress(out.data(), block.stored.data(), type, block.header);
  } catch (const errors::error& e) {
    return e.what();
  }
  return "no error";
}

TEST(CompressionTest, EmptyBlockHasFixedHeaderAndNoBytes) {
  const std::byte dummy{};
  auto [header, stored] = compress({0, &dummy}, INT64, {3, 4});
  EXPECT_EQ(header, (storage_block_header{0, 0, METHOD_RAW, {}, calculate_hash(nullptr, 0)}));
  EXPECT_EQ(header.meta.min_index, ~uint64_t{0});
  EXPECT_EQ(stored, nullptr);
  decompress(nullptr, nullptr, INT64, header);  // writes nothing
}

TEST(CompressionTest, EqualInt32ValuesBecomeAnEightByteConstantBlock) {
  const std::vector<int32_t> values(8192, 42);
  const compressed block = compress_values(values, INT32, {0, 0});
  EXPECT_EQ(block.header.method, METHOD_INTEGER_CODEC);
  EXPECT_EQ(block.header.size, 8192u * 4);
  EXPECT_EQ(block.header.stored_size, 8u);
  EXPECT_EQ(block.header.meta, (storage_block_meta{0, 0}));
  // Encoding 0, varint(zigzag(42)) = 0x54, zero padding to 8 bytes.
  const std::vector<std::byte> expected = to_bytes(std::vector<uint8_t>{0, 0x54, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(block.stored, expected);
  EXPECT_EQ(block.header.hash, calculate_hash(expected.data(), 8));
  EXPECT_EQ(decompress_to_vector(block, INT32), to_bytes(values));
}

TEST(CompressionTest, RandomInt64ValuesAreStoredRawWhenLz4CannotShrinkThem) {
  std::mt19937_64 rng(column_test_seed());
  std::vector<int64_t> values(8192);
  for (auto& v : values) v = static_cast<int64_t>(rng());
  const compressed block = compress_values(values, INT64, {7, 9});
  EXPECT_EQ(block.header.method, METHOD_RAW);
  EXPECT_EQ(block.header.stored_size, block.header.size);
  EXPECT_EQ(block.stored, to_bytes(values));
  EXPECT_EQ(block.header.meta, (storage_block_meta{7, 9}));
  EXPECT_EQ(decompress_to_vector(block, INT64), to_bytes(values));
}

TEST(CompressionTest, ConfigurationSwitchesChooseAmongTheMethods) {
  const std::vector<int32_t> values(8192, 42);
  struct case_t {
    const char* oroch;
    const char* lz4;
    uint64_t method;
  };
  for (const case_t c :
       {case_t{"true", "true", METHOD_INTEGER_CODEC}, case_t{"false", "true", METHOD_LZ4},
        case_t{"true", "false", METHOD_INTEGER_CODEC}, case_t{"false", "false", METHOD_RAW}}) {
    SCOPED_TRACE(std::string(c.oroch) + " " + c.lz4);
    const config_override oroch(config::oroch_compression_param_name, c.oroch);
    const config_override lz4(config::lz4_compression_param_name, c.lz4);
    const compressed block = compress_values(values, INT32);
    EXPECT_EQ(block.header.method, c.method);
    EXPECT_EQ(decompress_to_vector(block, INT32), to_bytes(values));
  }
  // Blocks written under one setting read back under any other.
  const compressed coded = compress_values(values, INT32);
  const config_override oroch(config::oroch_compression_param_name, "false");
  const config_override lz4(config::lz4_compression_param_name, "false");
  EXPECT_EQ(decompress_to_vector(coded, INT32), to_bytes(values));
}

TEST(CompressionTest, IntegerCodecOnlyForSignedIntegerTypes) {
  const std::vector<int64_t> values(8192, 7);
  for (const ombrel_type type : {STRING, DOUBLE, TIMESTAMP, INTERNAL_TYPE, BYTES}) {
    EXPECT_NE(compress_values(values, type).header.method, METHOD_INTEGER_CODEC) << type;
  }
  // A method-2 header on a DOUBLE column: the hash passes, the type does not.
  const compressed block = compress_values(values, INT64);
  ASSERT_EQ(block.header.method, METHOD_INTEGER_CODEC);
  EXPECT_EQ(decompress_error(block, DOUBLE), "Unsupported data type for integer compression");
}

// The stored bytes are the smallest candidate, ties going to LZ4: LZ4 is only asked to beat the
// integer codec, yet stores what a full run would, in particular where the two sizes are close.
template <typename T>
void check_candidates(ombrel_type type, std::mt19937_64& rng, int rounds, int& lz4_won, int& ties) {
  for (int round = 0; round < rounds; ++round) {
    // Periodic narrow values with some noise, or extremes: both methods shrink them by similar
    // amounts, or neither does.
    const size_t n = rng() % 300;
    const size_t period = 1 + rng() % 64;
    const uint64_t spread = uint64_t{1} << (rng() % (8 * sizeof(T) - 4));
    const uint64_t noise = rng() % 100;
    const bool extremes = rng() % 8 == 0;
    std::vector<T> pattern(period);
    for (auto& v : pattern) v = static_cast<T>(rng() % spread);
    std::vector<T> values(n);
    for (size_t i = 0; i < n; ++i) {
      values[i] = extremes
                      ? (rng() % 2 ? std::numeric_limits<T>::min() : std::numeric_limits<T>::max())
                  : rng() % 100 < noise ? static_cast<T>(rng() % spread)
                                        : pattern[i % period];
    }
    const std::vector<std::byte> bytes = to_bytes(values);
    const compressed block = compress_values(values, type);
    SCOPED_TRACE("type " + std::to_string(type) + " round " + std::to_string(round));
    ASSERT_EQ(decompress_to_vector(block, type), bytes);
    if (n == 0) continue;
    std::vector<char> full(bytes.size());
    const int size = static_cast<int>(bytes.size());
    const int l =
        LZ4_compress_default(reinterpret_cast<const char*>(bytes.data()), full.data(), size, size);
    oroch::encoding_metadata<T> meta;
    oroch::integer_codec<T>::select(meta, values.data(), values.data() + n);
    const size_t c = oroch::encoded_size(meta);
    const bool codec = c < bytes.size();
    const bool lz4 = l >= 1 && (!codec || static_cast<size_t>(l) <= c);
    lz4_won += codec && lz4;
    ties += codec && lz4 && static_cast<size_t>(l) == c;
    ASSERT_EQ(block.header.method, lz4 ? METHOD_LZ4 : codec ? METHOD_INTEGER_CODEC : METHOD_RAW);
    if (lz4) {
      const auto* out = reinterpret_cast<const std::byte*>(full.data());
      ASSERT_EQ(block.stored, std::vector<std::byte>(out, out + l));
    } else {
      ASSERT_EQ(block.header.stored_size, codec ? c : bytes.size());
    }
  }
}

TEST(CompressionTest, SmallestCandidateIsStoredWithTiesGoingToLz4) {
  std::mt19937_64 rng(column_test_seed() + 5);
  int lz4_won = 0;
  int ties = 0;
  check_candidates<int8_t>(INT8, rng, 500, lz4_won, ties);
  check_candidates<int16_t>(INT16, rng, 500, lz4_won, ties);
  check_candidates<int32_t>(INT32, rng, 12000, lz4_won, ties);
  check_candidates<int64_t>(INT64, rng, 500, lz4_won, ties);
  EXPECT_GT(lz4_won, 0);
  EXPECT_GT(ties, 0) << "no tie, where LZ4 must be given the whole codec size";
}

TEST(CompressionTest, DecodesFromAndIntoMisalignedBuffers) {
  std::vector<int64_t> values(1000);
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<int64_t>(i * i);
  const compressed block = compress_values(values, INT64);
  ASSERT_EQ(block.header.method, METHOD_INTEGER_CODEC);
  std::vector<std::byte> source(block.stored.size() + 1);
  std::memcpy(source.data() + 1, block.stored.data(), block.stored.size());
  std::vector<std::byte> out(block.header.size + 3);
  decompress(out.data() + 3, source.data() + 1, INT64, block.header);
  EXPECT_EQ(std::vector<std::byte>(out.begin() + 3, out.end()), to_bytes(values));
}

TEST(CompressionTest, OneChangedStoredByteIsAHashMismatchWhateverTheMethod) {
  std::mt19937 rng(1);
  std::vector<int32_t> narrow(4000);
  for (auto& v : narrow) v = static_cast<int32_t>(rng() % 700);
  std::vector<int32_t> periodic(4000);
  for (size_t i = 0; i < periodic.size(); ++i) periodic[i] = static_cast<int32_t>(i % 700);
  std::vector<compressed> blocks = {
      compress_values(narrow, INT32),                      // integer codec
      compress_values(periodic, STRING),                   // LZ4
      compress_values(std::vector<int32_t>{1, 2}, INT32),  // raw
  };
  const std::vector<uint64_t> words = {0x5, 0x80};
  const std::vector<std::byte> word_bytes = to_bytes(words);
  blocks.push_back({make_bitset_header(word_bytes.data(), word_bytes.size()), word_bytes});
  EXPECT_EQ(blocks[0].header.method, METHOD_INTEGER_CODEC);
  EXPECT_EQ(blocks[1].header.method, METHOD_LZ4);
  EXPECT_EQ(blocks[2].header.method, METHOD_RAW);
  for (compressed& block : blocks) {
    for (const size_t at : {size_t{0}, block.stored.size() / 2, block.stored.size() - 1}) {
      compressed damaged = block;
      damaged.stored[at] ^= std::byte{0x10};
      EXPECT_EQ(decompress_error(damaged, INT32), "Block hash mismatch!")
          << "method " << block.header.method << " byte " << at;
    }
    compressed wrong_type = block;
    wrong_type.stored[0] ^= std::byte{1};
    EXPECT_EQ(decompress_error(wrong_type, DOUBLE), "Block hash mismatch!");
  }
}

TEST(CompressionTest, BitsetHeaderDescribesTheWordsAsStored) {
  const std::vector<uint64_t> words = {0x8000000000000001ull, 0x2};
  const std::vector<std::byte> bytes = to_bytes(words);
  const storage_block_header header = make_bitset_header(bytes.data(), bytes.size());
  EXPECT_EQ(header,
            (storage_block_header{16, 16, METHOD_BITSET, {}, calculate_hash(bytes.data(), 16)}));
  EXPECT_TRUE(is_bitset_header(header));
  for (const uint64_t method : {0, 1, 2, 4}) {
    storage_block_header other = header;
    other.method = method;
    EXPECT_FALSE(is_bitset_header(other));
  }
  std::vector<std::byte> out(16);
  decompress(out.data(), bytes.data(), INT32, header);
  EXPECT_EQ(out, bytes);
}

TEST(CompressionTest, Lz4FailuresHaveTheirOwnMessages) {
  std::string text;
  for (int i = 0; i < 500; ++i) text += "column" + std::to_string(i % 7);
  const std::vector<char> chars(text.begin(), text.end());
  compressed block = compress_values(chars, STRING);
  ASSERT_EQ(block.header.method, METHOD_LZ4);

  compressed longer = block;
  longer.header.size += 1;
  EXPECT_EQ(decompress_error(longer, STRING),
            "Error while uncompressing LZ4 compressed data - uncompressed size mismatch");
  compressed shorter = block;
  shorter.header.size -= 1;
  EXPECT_EQ(decompress_error(shorter, STRING), "Failed to uncompress LZ4 compressed data");
  // A literal run that claims more bytes than the input holds.
  EXPECT_EQ(decompress_error(forge(METHOD_LZ4, 40, {0xF0, 0x20, 'a', 'b'}), STRING),
            "Failed to uncompress LZ4 compressed data");
}

TEST(CompressionTest, UnknownMethodsAreRefusedAfterTheHash) {
  for (const uint64_t method : {uint64_t{4}, uint64_t{7}, ~uint64_t{0}}) {
    EXPECT_EQ(decompress_error(forge(method, 4, {1, 2, 3, 4}), INT32),
              "Unsupported compression method");
  }
}

TEST(CompressionTest, BlocksThatLieAboutTheirContentAreRefusedWithinTheBuffers) {
  // Each block has a matching hash; the destination is exactly the claimed size, so ASan
  // reports any write past it.
  const struct {
    const char* name;
    compressed block;
    ombrel_type type;
  } cases[] = {
      {"raw longer than its size", forge(METHOD_RAW, 3, {1, 2, 3, 4}), INT32},
      {"raw shorter than its size", forge(METHOD_RAW, 8, {1, 2, 3, 4}), INT32},
      {"bit set shorter than its size", forge(METHOD_BITSET, 16, {1, 2, 3, 4, 5, 6, 7, 8}), INT32},
      {"LZ4 expanding beyond any ratio", forge(METHOD_LZ4, 100000, {0x1F, 'a', 1, 0}), STRING},
      {"size not whole values", forge(METHOD_INTEGER_CODEC, 6, {0, 2, 0, 0, 0, 0, 0, 0}), INT32},
      {"no value offset", forge(METHOD_INTEGER_CODEC, 8, {0, 2}), INT32},
      {"plain with too few bytes",
       forge(METHOD_INTEGER_CODEC, 400, {1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0}), INT32},
      {"packed values beyond the units", forge(METHOD_INTEGER_CODEC, 400, padded({5, 0, 8}, 24)),
       INT32},
      {"constant beyond the values of a block",
       forge(METHOD_INTEGER_CODEC, 4 * (config::MAX_COLUMN_BLOCK_SIZE_HINT + 1),
             {0, 2, 0, 0, 0, 0, 0, 0}),
       INT32},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string message = decompress_error(c.block, c.type);
    EXPECT_EQ(message.rfind("Corrupted column block: ", 0), 0u) << message;
  }
}

}  // namespace
}  // namespace ombrel
