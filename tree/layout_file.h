#pragma once
// The layout file of a merge tree: which segments form each level, in order, and the tag of the
// last persisted row, protected by a CRC-32C. The one writer and reader of the format; pure
// functions, any thread.
//
// Format (little-endian, no padding): L; per level n and n segment numbers; the tag's
// timestamp, the transaction id's second word, its first word; CRC-32C of all that.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tree/tree_state.h"

namespace ombrel {

struct layout_contents {
  std::vector<std::vector<uint64_t>> levels;  // segment numbers per level, level 0 first
  row_tag tag;

  friend bool operator==(const layout_contents&, const layout_contents&) = default;
};

// The bytes of a layout file: 8 x (1 + L + S + 3) + 4.
std::vector<std::byte> encode_layout(const layout_contents& layout);

// Parses a layout file numbered `own_number`. Throws errors::error naming `name` and what is
// wrong: "Checksum error in layout file: " + name when the checksum fails, "Bad layout file: "
// + name + ": " + the rule broken for a size, count or segment number that cannot be right
// (every count is checked against the bytes left before anything is allocated).
layout_contents decode_layout(std::span<const std::byte> bytes, uint64_t own_number,
                              const std::string& name);

}  // namespace ombrel
