// Feeds arbitrary bytes to the binary tuple parser through parsed_tuple, against a schema chosen
// by the first input byte. Whatever parses must write a material form, rebuild into a binary
// tuple and parse again to the same material values.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "model/schema_descriptor.h"
#include "model/tuple.h"
#include "native/errors.h"

namespace {

using namespace ombrel;

schema_descriptor make_schema(std::vector<ombrel_type> types, uint32_t key_count) {
  schema_descriptor s;
  for (size_t i = 0; i < types.size(); ++i) {
    s.columns.emplace_back("c" + std::to_string(i), column_info::of_type(types[i], i >= key_count));
  }
  std::vector<uint32_t> positions(types.size(), NO_COLUMN);
  // Keys at the end of the declaration, in reverse: exercises the key mapping.
  for (uint32_t k = 0; k < key_count; ++k) positions[types.size() - 1 - k] = k;
  s.initialize_positions(positions);
  return s;
}

struct fixture {
  schema_descriptor schema;
  tuple_schema row;
  tuple_schema key;
  material_tuple_schema material;
};

std::vector<fixture> make_fixtures() {
  std::vector<std::vector<ombrel_type>> type_lists{
      {INT64, INT32, DOUBLE, STRING, TIMESTAMP},
      {BOOL, INT8, INT16, FLOAT, DATE, TIME, DATE_TIME, UUID},
      {PERIOD, DURATION, BYTES, OPAQUE, DECIMAL, NUMBER},
      {STRING, DECIMAL, NUMBER, DATE_TIME, UUID, INT16},
  };
  std::vector<fixture> result;
  for (const auto& types : type_lists) {
    for (uint32_t keys = 1; keys <= 3; ++keys) {
      fixture f;
      f.schema = make_schema(types, keys);
      f.row = f.schema.get_tuple_schema();
      f.key = f.schema.get_key_tuple_schema();
      f.material = f.schema.get_material_schema();
      result.push_back(std::move(f));
    }
  }
  return result;
}

bytes_view value_of(const material_tuple_schema::element_info& e, const std::byte* p) {
  if (e.size != 0) return {e.size, p};
  uint32_t n;
  std::memcpy(&n, p, 4);
  return {n, p + 4};
}

void check(const fixture& f, bytes_view input, bool key_only) {
  std::vector<const std::byte*> slots;
  std::vector<std::byte> area;
  try {
    parsed_tuple parsed(key_only ? f.key : f.row, f.material, input, key_only);
    area.resize(parsed.material_size());
    slots.resize(parsed.slot_count());
    material_tuple_builder b{area.data(), slots.data()};
    parsed.make_material_tuple(b);
    if (b.position > area.data() + area.size()) std::abort();
  } catch (const errors::error&) {
    return;
  }
  if (key_only) return;
  // Rebuild the row in declaration order and parse it again.
  tuple_builder builder(static_cast<int32_t>(f.schema.columns.size()));
  builder.start();
  for (size_t c = 0; c < f.schema.columns.size(); ++c) {
    const uint32_t slot = f.schema.material_positions[c];
    if (slots[slot] == nullptr)
      builder.claim_null();
    else
      builder.claim(f.material[slot].type, value_of(f.material[slot], slots[slot]));
  }
  builder.layout();
  for (size_t c = 0; c < f.schema.columns.size(); ++c) {
    const uint32_t slot = f.schema.material_positions[c];
    if (slots[slot] == nullptr)
      builder.append_null();
    else
      builder.append(f.material[slot].type, value_of(f.material[slot], slots[slot]));
  }
  parsed_tuple again(f.row, f.material, builder.data(), false);
  owned_material_tuple m(again);
  for (size_t s = 0; s < slots.size(); ++s) {
    if ((slots[s] == nullptr) != (m.get()[s] == nullptr)) std::abort();
    if (slots[s] == nullptr) continue;
    const auto& e = f.material[s];
    if (e.type == DECIMAL || e.type == NUMBER) {
      // Re-encoded to the minimal form: equal as numbers.
      if (compare_varlen(e.type, slots[s], m.get()[s]) != 0) std::abort();
      continue;
    }
    const bytes_view a = value_of(e, slots[s]);
    const bytes_view b = value_of(e, m.get()[s]);
    if (a.size() != b.size() || (a.size() && std::memcmp(a.data, b.data, a.size()) != 0)) {
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<fixture> fixtures = make_fixtures();
  if (size < 1) return 0;
  const fixture& f = fixtures[data[0] % fixtures.size()];
  const bytes_view input(data + 1, size - 1);
  check(f, input, (data[0] / fixtures.size()) % 2 == 1);
  return 0;
}
