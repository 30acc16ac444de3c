#include "segment/column_picker.h"

#include <algorithm>
#include <numeric>
#include <string>
#include <utility>

#include "native/errors.h"

namespace ombrel {

column_picker::column_picker(const schema_descriptor& schema) {
  std::vector<unsigned> all(schema.columns.size());
  std::iota(all.begin(), all.end(), 0u);
  arrange_columns(schema, std::move(all));
}

column_picker::column_picker(const schema_descriptor& schema, no_output_t) {
  arrange_columns(schema, {});
}

column_picker::column_picker(const schema_descriptor& schema, unsigned column) {
  arrange_columns(schema, {column});
}

column_picker::column_picker(const schema_descriptor& schema, const bitset& projection) {
  std::vector<unsigned> picked;
  const uint64_t limit = std::min<uint64_t>(projection.size(), schema.columns.size());
  for (uint64_t c = 0; c < limit; ++c) {
    if (projection[c]) picked.push_back(static_cast<unsigned>(c));
  }
  arrange_columns(schema, std::move(picked));
}

column_picker::column_picker(const schema_descriptor& schema, std::vector<unsigned> requested) {
  arrange_columns(schema, std::move(requested));
}

void column_picker::arrange_columns(const schema_descriptor& schema,
                                    std::vector<unsigned> requested) {
  search_column_count_ = static_cast<uint32_t>(schema.key_count() + 1);
  columns_.clear();
  columns_.reserve(search_column_count_ + requested.size());
  columns_.push_back(static_cast<unsigned>(schema.columns.size()));
  columns_.insert(columns_.end(), schema.key_columns.begin(), schema.key_columns.end());
  positions_.clear();
  positions_.reserve(requested.size());
  output_ = std::move(requested);
  for (unsigned& entry : output_) {
    const unsigned c = entry;
    if (c >= schema.columns.size()) {
      throw errors::error("Column " + std::to_string(c) + " does not exist");
    }
    positions_.push_back(schema.material_positions[c]);
    const uint32_t key_position = schema.key_positions[c];
    if (key_position != NO_COLUMN) {
      entry = key_position + 1;
    } else {
      entry = static_cast<unsigned>(columns_.size());
      columns_.push_back(c);
    }
  }
}

std::vector<unsigned> column_picker::requested() const {
  std::vector<unsigned> result;
  result.reserve(output_.size());
  for (unsigned o : output_) result.push_back(columns_[o]);
  return result;
}

picked_columns column_picker::picked() const {
  picked_columns p;
  p.columns.reserve(output_.size());
  for (unsigned o : output_) p.columns.push_back(columns_[o]);
  p.slots.assign(positions_.begin(), positions_.end());
  return p;
}

}  // namespace ombrel
