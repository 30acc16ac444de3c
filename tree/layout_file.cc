#include "tree/layout_file.h"

#include <cstring>
#include <unordered_set>

#include "model/crc32c.h"
#include "native/errors.h"

namespace ombrel {
namespace {

constexpr size_t WORD = 8;
// L, the three tag words and the checksum: the layout of a tree without levels.
constexpr size_t MIN_SIZE = WORD * 4 + 4;

void put(std::vector<std::byte>& out, size_t& at, uint64_t value) {
  std::memcpy(out.data() + at, &value, WORD);
  at += WORD;
}

uint64_t get(std::span<const std::byte> bytes, size_t at) {
  uint64_t value;
  std::memcpy(&value, bytes.data() + at, WORD);
  return value;
}

}  // namespace

std::vector<std::byte> encode_layout(const layout_contents& layout) {
  size_t words = 1 + layout.levels.size() + 3;
  for (const auto& level : layout.levels) words += level.size();
  std::vector<std::byte> out(words * WORD + 4);
  size_t at = 0;
  put(out, at, layout.levels.size());
  for (const auto& level : layout.levels) {
    put(out, at, level.size());
    for (uint64_t n : level) put(out, at, n);
  }
  put(out, at, static_cast<uint64_t>(layout.tag.timestamp));
  put(out, at, static_cast<uint64_t>(layout.tag.tx.second));
  put(out, at, static_cast<uint64_t>(layout.tag.tx.first));
  const uint32_t crc = crc32c(out.data(), at);
  std::memcpy(out.data() + at, &crc, sizeof(crc));
  return out;
}

layout_contents decode_layout(std::span<const std::byte> bytes, uint64_t own_number,
                              const std::string& name) {
  auto bad = [&](const std::string& what) {
    return errors::error("Bad layout file: " + name + ": " + what);
  };
  if (bytes.size() < MIN_SIZE) {
    throw bad("size " + std::to_string(bytes.size()) + " is below " + std::to_string(MIN_SIZE));
  }
  const size_t body = bytes.size() - 4;
  uint32_t stored;
  std::memcpy(&stored, bytes.data() + body, sizeof(stored));
  if (crc32c(bytes.data(), body) != stored) {
    throw errors::error("Checksum error in layout file: " + name);
  }
  if (body % WORD != 0) throw bad("size " + std::to_string(bytes.size()) + " is not 8 x N + 4");
  // Words between L and the tag: one count per level plus the segment numbers.
  const uint64_t inner = body / WORD - 4;
  layout_contents layout;
  const uint64_t level_count = get(bytes, 0);
  if (level_count > inner) throw bad(std::to_string(level_count) + " levels do not fit");
  layout.levels.resize(level_count);
  uint64_t left = inner - level_count;  // words left for segment numbers
  size_t at = WORD;
  std::unordered_set<uint64_t> seen;
  for (auto& level : layout.levels) {
    const uint64_t n = get(bytes, at);
    at += WORD;
    if (n > left) throw bad(std::to_string(n) + " segments do not fit");
    left -= n;
    level.reserve(n);
    for (uint64_t i = 0; i < n; ++i, at += WORD) {
      const uint64_t number = get(bytes, at);
      if (number > own_number) {
        throw bad("segment " + std::to_string(number) + " is newer than the layout");
      }
      if (!seen.insert(number).second) {
        throw bad("segment " + std::to_string(number) + " is listed twice");
      }
      level.push_back(number);
    }
  }
  if (left != 0) throw bad("size does not match the counts");
  layout.tag.timestamp = static_cast<tx_timestamp>(get(bytes, at));
  layout.tag.tx.second = static_cast<int64_t>(get(bytes, at + WORD));
  layout.tag.tx.first = static_cast<int64_t>(get(bytes, at + 2 * WORD));
  return layout;
}

}  // namespace ombrel
