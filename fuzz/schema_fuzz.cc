// Feeds arbitrary bytes to schema deserialisation. A schema that loads must serialise back to
// the bytes it consumed (nullable flags normalised) and give consistent material layouts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "model/schema_descriptor.h"
#include "native/errors.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ombrel;
  schema_descriptor schema;
  const auto* start = reinterpret_cast<const std::byte*>(data);
  const std::byte* cursor = start;
  try {
    schema.deserialize(cursor, size);
  } catch (const errors::error&) {
    return 0;
  }
  const size_t consumed = static_cast<size_t>(cursor - start);
  if (consumed > size) std::abort();
  const std::vector<std::byte> out = schema.serialize();
  if (out.size() != consumed) std::abort();
  schema_descriptor again;
  again.deserialize(out);
  if (!(again == schema)) std::abort();
  const auto material = schema.get_material_schema();
  const auto keys = schema.get_material_key_schema();
  if (material.size() != schema.columns.size() || keys.size() != schema.key_count()) std::abort();
  for (uint32_t c = 0; c < schema.columns.size(); ++c) {
    if (schema.material_order[schema.material_positions[c]] != c) std::abort();
  }
  return 0;
}
