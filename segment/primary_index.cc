#include "segment/primary_index.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "model/file.h"
#include "model/file_system.h"
#include "native/config.h"
#include "native/errors.h"
#include "segment/column_reader.h"
#include "segment/primary_index_creator.h"

namespace ombrel {

uint64_t primary_index::configured_granularity() {
  static const uint64_t g = config::get_config().merge_tree_segment_key_index_granularity.load();
  return g;
}

std::optional<std::pair<uint64_t, uint64_t>> primary_index::granularities_for(uint64_t entries,
                                                                              uint64_t rows) {
  // G gives (rows - 1) / G + 2 entries: the sampled rows and the last one again.
  if (rows == 0 || entries < 2 || entries - 2 > rows - 1) return std::nullopt;
  const uint64_t m = entries - 2;  // sampled rows after row 0
  if (m == 0) return std::make_pair(rows, UINT64_MAX);
  const uint64_t first = (rows - 1) / (m + 1) + 1;
  const uint64_t last = (rows - 1) / m;
  if (first > last) return std::nullopt;  // G - 1 and G give counts on either side of it
  return std::make_pair(first, last);
}

primary_index::primary_index(const std::filesystem::path& directory,
                             const material_tuple_schema& schema,
                             const std::vector<column_file>& columns)
    : schema_(&schema), granularity_(configured_granularity()) {
  const std::filesystem::path path = directory / FILENAME;
  if (!files::exists(path)) rebuild(directory, schema, columns);
  bytes_ = file::for_reading(path).read_as_bytes();
  if (bytes_.empty()) throw errors::error("Index is empty: " + path.string());
  parse(path);
}

void primary_index::parse(const std::filesystem::path& path) {
  const material_tuple_schema& schema = *schema_;
  const size_t slots = schema.size();
  const uint64_t size = bytes_.size();
  auto corrupted = [&] { return errors::error("Index is corrupted: " + path.string()); };
  if (schema.key_count == 0) throw corrupted();  // entries without columns cannot fill bytes

  std::vector<uint64_t> starts;  // per entry and key column: offset of the value
  uint64_t position = 0;
  while (position < size) {
    for (uint32_t s = 0; s < schema.key_count; ++s) {
      const material_tuple_schema::element_info& element = schema[s];
      position = (position + element.align_mask) & ~uint64_t{element.align_mask};
      if (position > size) throw corrupted();
      starts.push_back(position);
      uint64_t length = element.size;
      if (length == 0) {
        if (size - position < sizeof(uint32_t)) throw corrupted();
        uint32_t stored;
        std::memcpy(&stored, bytes_.data() + position, sizeof(stored));
        length = sizeof(uint32_t) + uint64_t{stored};
      }
      if (size - position < length) throw corrupted();
      position += length;
    }
  }

  const size_t entries = starts.size() / schema.key_count;
  slots_.assign(entries * slots, nullptr);
  for (size_t e = 0; e < entries; ++e) {
    for (uint32_t s = 0; s < schema.key_count; ++s) {
      slots_[e * slots + s] = bytes_.data() + starts[e * schema.key_count + s];
    }
  }
  keys_.reserve(entries);
  for (size_t e = 0; e < entries; ++e) {
    keys_.emplace_back(slots_.data() + e * slots, static_cast<uint32_t>(slots));
  }
}

void primary_index::rebuild(const std::filesystem::path& directory,
                            const material_tuple_schema& schema,
                            const std::vector<column_file>& columns) {
  std::vector<column_reader> readers;
  readers.reserve(schema.key_count);
  uint64_t rows = UINT64_MAX;
  for (uint32_t s = 0; s < schema.key_count; ++s) {
    const uint32_t column = schema[s].index;
    if (column >= columns.size()) throw errors::fatal_error("Key column outside the segment");
    readers.emplace_back(columns[column]);
    readers.back().read_file_and_decompress();
    rows = std::min<uint64_t>(rows, readers.back().row_count());
  }
  if (readers.empty()) rows = 0;

  primary_index_creator creator;
  auto append_row = [&](uint64_t row) {
    for (uint32_t s = 0; s < schema.key_count; ++s) {
      const auto value = readers[s].value(static_cast<uint32_t>(row));
      if (!value) throw errors::error("Null key value in " + readers[s].path().string());
      creator.append_value(schema[s], *value);
    }
  };
  const uint64_t g = configured_granularity();
  for (uint64_t row = 0; row < rows; row += g) append_row(row);
  if (rows >= 1) append_row(rows - 1);
  creator.finalize(directory);
}

std::pair<uint64_t, uint64_t> primary_index::find_granules(const material_tuple& key) const {
  const size_t k = keys_.size();
  if (k < 2) return {0, 0};
  const material_tuple_schema& schema = *schema_;
  // The last entry is not searched: it only bounds the segment.
  const auto searched_end = keys_.begin() + static_cast<ptrdiff_t>(k - 1);
  const auto above = std::upper_bound(
      keys_.begin(), searched_end, key,
      [&](const material_tuple& a, const material_tuple& b) { return compare(schema, a, b) < 0; });
  const auto high = static_cast<uint64_t>(above - keys_.begin());
  if (high == 0) return {0, 0};
  const auto not_below = std::lower_bound(
      keys_.begin(), above, key,
      [&](const material_tuple& a, const material_tuple& b) { return compare(schema, a, b) < 0; });
  const auto first = static_cast<uint64_t>(not_below - keys_.begin());
  return {first == 0 ? 0 : first - 1, high};
}

void primary_index::duplicate(const std::filesystem::path& from, const std::filesystem::path& to) {
  files::link(from / FILENAME, to / FILENAME);
}

}  // namespace ombrel
