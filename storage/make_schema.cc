#include "storage/make_schema.h"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "model/common.h"

namespace ombrel {
namespace {

// Copies of the columns whose bit is set, below the column count, in table order.
schema_descriptor select_columns(const schema_descriptor& schema, const bitset& columns) {
  schema_descriptor out;
  out.version = 0;
  const uint64_t limit = std::min<uint64_t>(columns.size(), schema.columns.size());
  for (uint64_t c = 0; c < limit; ++c) {
    if (columns[c]) out.columns.push_back(schema.columns[c]);
  }
  return out;
}

}  // namespace

schema_descriptor make_output_schema(const schema_descriptor& schema, const bitset& projection) {
  schema_descriptor out = select_columns(schema, projection);
  out.initialize_positions(std::vector<uint32_t>(out.columns.size(), NO_COLUMN));
  return out;
}

schema_descriptor make_group_set_schema(const schema_descriptor& schema, const bitset& group_set) {
  schema_descriptor out = select_columns(schema, group_set);
  std::vector<uint32_t> positions(out.columns.size());
  for (uint32_t i = 0; i < positions.size(); ++i) positions[i] = i;
  out.initialize_positions(std::move(positions));
  return out;
}

}  // namespace ombrel
