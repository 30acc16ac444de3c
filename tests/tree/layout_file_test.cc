#include "tree/layout_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "model/crc32c.h"
#include "native/errors.h"

namespace ombrel {
namespace {

std::vector<std::byte> words(std::initializer_list<uint64_t> values) {
  std::vector<std::byte> out(values.size() * 8);
  size_t at = 0;
  for (uint64_t v : values) {
    std::memcpy(out.data() + at, &v, 8);
    at += 8;
  }
  return out;
}

// `body` with its checksum appended, as a writer would.
std::vector<std::byte> sealed(std::vector<std::byte> body) {
  const uint32_t crc = crc32c(body.data(), body.size());
  body.resize(body.size() + 4);
  std::memcpy(body.data() + body.size() - 4, &crc, 4);
  return body;
}

std::string refusal(const std::vector<std::byte>& bytes, uint64_t number) {
  try {
    decode_layout(bytes, number, "L");
  } catch (const errors::error& e) {
    return e.what();
  }
  return "accepted";
}

TEST(LayoutFileTest, BytesAreExactAndComeBack) {
  // Levels {1, 2}, {}, {3}; tag (timestamp 0x55, id first 0x66, second 0x77).
  const layout_contents layout{{{1, 2}, {}, {3}}, {0x55, {0x66, 0x77}}};
  const std::vector<std::byte> bytes = encode_layout(layout);
  const auto body = words({3, 2, 1, 2, 0, 1, 3, 0x55, 0x77, 0x66});
  ASSERT_EQ(bytes.size(), 8 * (1 + 3 + 3 + 3) + 4u);
  EXPECT_EQ(std::vector<std::byte>(bytes.begin(), bytes.end() - 4), body);
  EXPECT_EQ(bytes, sealed(body));
  EXPECT_EQ(decode_layout(bytes, 3, "L"), layout);
  // An empty tree: 36 bytes.
  EXPECT_EQ(encode_layout({}), sealed(words({0, 0, 0, 0})));
  EXPECT_EQ(decode_layout(encode_layout({}), 0, "L"), layout_contents{});
}

TEST(LayoutFileTest, DamageIsRefusedBeforeAnythingIsAllocated) {
  std::vector<std::byte> flipped = encode_layout({{{1}}, {}});
  flipped[3] ^= std::byte{0x10};
  EXPECT_EQ(refusal(flipped, 1), "Checksum error in layout file: L");
  EXPECT_EQ(refusal({}, 1), "Bad layout file: L: size 0 is below 36");
  EXPECT_EQ(refusal(sealed(words({0, 0, 0})), 1), "Bad layout file: L: size 28 is below 36");
  // Counts that claim more than the file holds, however large.
  EXPECT_EQ(refusal(sealed(words({UINT64_MAX, 0, 0, 0})), 1),
            "Bad layout file: L: 18446744073709551615 levels do not fit");
  EXPECT_EQ(refusal(sealed(words({1, 1ull << 60, 0, 0, 0})), 1),
            "Bad layout file: L: 1152921504606846976 segments do not fit");
  EXPECT_EQ(refusal(sealed(words({1, 0, 9, 0, 0, 0})), 9),
            "Bad layout file: L: size does not match the counts");
  std::vector<std::byte> odd = words({0, 0, 0, 0});
  odd.push_back(std::byte{0});
  EXPECT_EQ(refusal(sealed(odd), 1), "Bad layout file: L: size 37 is not 8 x N + 4");
  EXPECT_EQ(refusal(sealed(words({1, 2, 4, 4, 0, 0, 0})), 9),
            "Bad layout file: L: segment 4 is listed twice");
  EXPECT_EQ(refusal(sealed(words({1, 1, 10, 0, 0, 0})), 9),
            "Bad layout file: L: segment 10 is newer than the layout");
}

}  // namespace
}  // namespace ombrel
