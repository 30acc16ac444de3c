#include "tests/support/tuples.h"

#include "model/tuple.h"

namespace ombrel::testing {

std::vector<std::byte> material(std::string_view text) {
  const auto* p = reinterpret_cast<const std::byte*>(text.data());
  return std::vector<std::byte>(p, p + text.size());
}

std::vector<std::byte> encode_tuple(const std::vector<ombrel_type>& types,
                                    const row_values& values) {
  tuple_builder b(static_cast<int32_t>(values.size()));
  b.start();
  for (size_t i = 0; i < values.size(); ++i) {
    values[i] ? b.claim(types[i], *values[i]) : b.claim_null();
  }
  b.layout();
  for (size_t i = 0; i < values.size(); ++i) {
    values[i] ? b.append(types[i], *values[i]) : b.append_null();
  }
  return b.release();
}

std::vector<std::byte> encode_tuple(const std::vector<ombrel_type>& types,
                                    const std::vector<material_value>& values) {
  row_values views;
  for (const material_value& v : values) {
    views.push_back(v ? std::optional(view(*v)) : std::nullopt);
  }
  return encode_tuple(types, views);
}

}  // namespace ombrel::testing
