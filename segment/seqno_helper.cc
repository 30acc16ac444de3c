#include "segment/seqno_helper.h"

#include <string>

#include "native/errors.h"

namespace ombrel {

std::optional<uint64_t> parse_seqno(std::string_view text) {
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    if (__builtin_mul_overflow(value, uint64_t{10}, &value) ||
        __builtin_add_overflow(value, static_cast<uint64_t>(c - '0'), &value)) {
      return std::nullopt;
    }
  }
  return value;
}

std::filesystem::path seqno_helper::make_path(uint64_t n) const {
  return base_ / std::to_string(n);
}

std::filesystem::path seqno_helper::make_new_path() { return make_path(next_++); }

bool seqno_helper::is_valid_path(const std::filesystem::path& path) {
  return parse_seqno(path.filename().native()).has_value();
}

uint64_t seqno_helper::parse_path(const std::filesystem::path& path) {
  const std::string name = path.filename().native();
  if (auto n = parse_seqno(name)) return *n;
  throw errors::error("Could not parse segment name \"" + name + "\"");
}

}  // namespace ombrel
