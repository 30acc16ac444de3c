#pragma once
// Binary tuples for tests, built from material values (the bytes a column holds in memory).

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "model/common.h"
#include "model/flat_tuple.h"
#include "model/ombrel_type_info.h"

namespace ombrel::testing {

using material_value = std::optional<std::vector<std::byte>>;

// The material bytes of a fixed-size value, or of a text.
template <typename T>
requires std::is_trivially_copyable_v<T> &&
    (!std::is_array_v<T>)std::vector<std::byte> material(const T& value) {
  std::vector<std::byte> out(sizeof(T));
  std::memcpy(out.data(), &value, sizeof(T));
  return out;
}
std::vector<std::byte> material(std::string_view text);
inline std::vector<std::byte> material(const std::string& text) {
  return material(std::string_view(text));
}
inline std::vector<std::byte> material(const char* text) {
  return material(std::string_view(text));
}

inline bytes_view view(const std::vector<std::byte>& b) { return {b.size(), b.data()}; }

// The binary tuple of `values`, one per type, nulls where empty, through tuple_builder.
std::vector<std::byte> encode_tuple(const std::vector<ombrel_type>& types,
                                    const std::vector<material_value>& values);
std::vector<std::byte> encode_tuple(const std::vector<ombrel_type>& types,
                                    const row_values& values);

}  // namespace ombrel::testing
