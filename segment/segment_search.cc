// Searching a segment: granule selection through the index, binary search over the rows of
// the selected granules, and reading the found row; fitting the index to the rows at open.
// Timestamp, key and tombstone blocks come through the process-wide segment cache; other
// columns are read one block at a time.

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "model/big_decimal.h"
#include "model/big_integer.h"
#include "native/errors.h"
#include "native/log.h"
#include "segment/segment.h"

namespace ombrel {
namespace {

// Order of a row's key value (payload only for variable-length types) against a search key
// slot (a variable-length one with its 32-bit length).
int compare_row_value(const material_tuple_schema::element_info& element, bytes_view row,
                      const std::byte* key) {
  if (element.size != 0) return compare_value(element, row.data, key);
  uint32_t key_length;
  std::memcpy(&key_length, key, sizeof(key_length));
  const std::byte* key_bytes = key + sizeof(key_length);
  switch (element.type) {
    case OPAQUE:
    case STRING:
    case BYTES: {
      const size_t common = std::min<size_t>(row.size(), key_length);
      if (common > 0) {
        if (int c = std::memcmp(row.data, key_bytes, common)) return c < 0 ? -1 : 1;
      }
      return (row.size() > key_length) - (row.size() < key_length);
    }
    case DECIMAL:
      return big_decimal::compare_bytes(row.data, row.size(), key_bytes, key_length);
    case NUMBER:
      return big_integer::compare_bytes(row.data, row.size(), key_bytes, key_length);
    default:
      throw errors::error("Unimplemented for these types");
  }
}

tx_timestamp timestamp_of(bytes_view value) {
  tx_timestamp t;
  std::memcpy(&t, value.data, sizeof(t));
  return t;
}

// The row groups one read reaches, the last two kept (a binary search may alternate across a
// boundary): the columns of a row then cost one cache lookup together.
class group_finder {
 public:
  explicit group_finder(const segment& s) : segment_(s) {}

  const std::shared_ptr<const row_group>& of(uint64_t row) {
    if (current_ && current_->contains(row)) return current_;
    if (previous_ && previous_->contains(row)) {
      std::swap(current_, previous_);
      return current_;
    }
    previous_ = std::move(current_);
    current_ = segment_.row_group_of(row);
    return current_;
  }

 private:
  const segment& segment_;
  std::shared_ptr<const row_group> current_;
  std::shared_ptr<const row_group> previous_;
};

// Walks one column's decoded blocks, keeping the last two it fetched (a binary search may
// alternate across a block boundary; a cursor needs the previous row's block while it moves).
// Blocks come through `groups` (the cache) when given, else decoded whole.
class column_blocks {
 public:
  column_blocks(const segment& s, uint32_t slot, group_finder* groups)
      : segment_(&s), slot_(slot), groups_(groups) {}

  // The view may point into this walker's scratch: valid until its next value.
  bytes_view value(uint64_t row) { return block_for(row).value(row, scratch_); }

  std::optional<bytes_view> nullable_value(uint64_t row) {
    if (!nulls_checked_) {
      has_nulls_ = segment_->layout(slot_).has_null_map();
      nulls_checked_ = true;
    }
    if (has_nulls_) {
      if (!nulls_ || !nulls_->contains(row)) nulls_ = nulls_for(row);
      if (nulls_ && nulls_->contains(row) && nulls_->bit(row)) return std::nullopt;
    }
    return value(row);
  }

  uint32_t slot() const { return slot_; }

 private:
  const decoded_block& block_for(uint64_t row) {
    if (current_ && current_->contains(row)) return *current_;
    if (previous_ && previous_->contains(row)) {
      std::swap(current_, previous_);
      return *current_;
    }
    previous_ = std::move(current_);
    if (groups_ != nullptr) {
      const std::shared_ptr<const row_group>& group = groups_->of(row);
      current_ = segment_cache::block_ptr(group, &segment_->group_block(*group, slot_, row));
    } else {
      current_ = segment_->value_block(slot_, row);
    }
    return *current_;
  }

  segment_cache::block_ptr nulls_for(uint64_t row) {
    if (groups_ == nullptr) return segment_->null_map(slot_);
    const std::shared_ptr<const row_group>& group = groups_->of(row);
    const decoded_block* nulls = segment_->group_nulls(*group, slot_);
    if (nulls == nullptr) return nullptr;
    return segment_cache::block_ptr(group, nulls);
  }

  const segment* segment_;
  uint32_t slot_;
  group_finder* groups_;
  segment_cache::block_ptr current_;
  segment_cache::block_ptr previous_;
  segment_cache::block_ptr nulls_;
  bool nulls_checked_ = false;
  bool has_nulls_ = false;
  value_scratch scratch_;
};

}  // namespace

namespace detail {

// Timestamps and keys of a segment's rows through cached blocks.
class block_rows {
 public:
  explicit block_rows(const segment& s)
      : schema_(s.material_schema()), groups_(s), timestamps_(s, s.timestamp_slot(), &groups_) {
    keys_.reserve(schema_.key_count);
    for (uint32_t column : s.schema().key_columns) keys_.emplace_back(s, column, &groups_);
  }
  block_rows(const block_rows&) = delete;
  block_rows& operator=(const block_rows&) = delete;

  // The groups these rows come through, for the other columns of the same read.
  group_finder& groups() { return groups_; }

  tx_timestamp timestamp(uint64_t row) { return timestamp_of(timestamps_.value(row)); }
  bytes_view key_value(uint32_t position, uint64_t row) { return keys_[position].value(row); }
  int compare(uint64_t row, const material_tuple& key) {
    for (uint32_t s = 0; s < schema_.key_count; ++s) {
      if (int c = compare_row_value(schema_[s], keys_[s].value(row), key[s])) return c;
    }
    return 0;
  }

 private:
  const material_tuple_schema& schema_;
  group_finder groups_;
  column_blocks timestamps_;
  std::vector<column_blocks> keys_;
};

}  // namespace detail

namespace {

// Timestamps and keys of a segment's rows in loaded readers: the timestamp at 0, the keys at
// 1..k.
class pack_rows {
 public:
  pack_rows(const material_tuple_schema& schema, const column_reader_pack& pack, uint64_t end)
      : schema_(schema), pack_(pack) {
    if (pack.readers.size() < size_t{schema.key_count} + 1) {
      throw errors::fatal_error("Reader pack lacks the timestamp or key columns");
    }
    for (uint32_t i = 0; i <= schema.key_count; ++i) {
      const column_reader& r = pack.readers[i];
      if (!r.loaded() || r.row_count() < end) {
        throw errors::error("Bad column file data: " + r.path().string() +
                            ": fewer rows than the segment");
      }
    }
  }

  tx_timestamp timestamp(uint64_t row) {
    return timestamp_of(*pack_.readers[0].value(static_cast<uint32_t>(row)));
  }
  int compare(uint64_t row, const material_tuple& key) {
    for (uint32_t s = 0; s < schema_.key_count; ++s) {
      const column_reader& r = pack_.readers[s + 1];
      const auto value = r.value(static_cast<uint32_t>(row));
      if (!value) throw errors::error("Null key value in " + r.path().string());
      if (int c = compare_row_value(schema_[s], *value, key[s])) return c;
    }
    return 0;
  }

 private:
  const material_tuple_schema& schema_;
  const column_reader_pack& pack_;
};

// The first row of `key` not newer than `timestamp` in [begin, end): rows of one key are
// adjacent, newest first.
template <typename Rows>
segment::position_result search_rows(tx_timestamp timestamp, const material_tuple& key, Rows& rows,
                                     uint64_t begin, uint64_t end) {
  bool found = false;
  bool seen = false;
  while (begin < end) {
    const uint64_t middle = begin + (end - begin) / 2;
    const int c = rows.compare(middle, key);
    if (c < 0) {
      begin = middle + 1;
    } else if (c > 0) {
      end = middle;
    } else {
      seen = true;
      if (rows.timestamp(middle) <= timestamp) {
        found = true;  // an older visible version is not the newest one: keep looking left
        end = middle;
      } else {
        begin = middle + 1;
      }
    }
  }
  if (!seen) {
    logging::detail::log(logging::level::debug, "Key not found, returning");
    return std::monostate{};
  }
  if (found) return begin;
  logging::detail::log(logging::level::debug, "Key found but the timestamp is off, returning");
  return upcoming_t{};
}

// A walk over a segment's rows from a given row on.
class segment_cursor final : public row_cursor {
 public:
  segment_cursor(const segment& s, std::shared_ptr<const segment> keep, uint64_t row)
      : keep_(std::move(keep)),
        segment_(s),
        row_(row),
        rows_(s),
        values_(s.schema().columns.size()) {
    if (s.tombstones()) tombstones_.emplace(s, s.tombstone_slot(), &rows_.groups());
  }

  bool next() override {
    if (row_ + 1 >= segment_.size()) {
      row_ = segment_.size();
      return false;
    }
    ++row_;
    return true;
  }
  tx_timestamp timestamp() const override { return rows_.timestamp(row_); }
  bool is_tombstone() const override {
    return tombstones_ && std::to_integer<uint8_t>(*tombstones_->value(row_).data) != 0;
  }
  void read_key(row_values& out) const override {
    out.clear();
    for (uint32_t s = 0; s < segment_.material_schema().key_count; ++s) {
      out.emplace_back(rows_.key_value(s, row_));
    }
  }
  void read(const picked_columns& picker, row_values& out) override {
    out.clear();
    const schema_descriptor& schema = segment_.schema();
    for (uint32_t c : picker.columns) {
      if (c >= values_.size())
        throw errors::error("Column " + std::to_string(c) + " does not exist");
      const uint32_t key_position = schema.key_positions[c];
      if (key_position != NO_COLUMN) {
        out.emplace_back(rows_.key_value(key_position, row_));
        continue;
      }
      if (!values_[c]) values_[c].emplace(segment_, c, nullptr);
      out.push_back(values_[c]->nullable_value(row_));
    }
  }

 private:
  std::shared_ptr<const segment> keep_;  // null when the segment is not shared-owned
  const segment& segment_;
  uint64_t row_;
  mutable detail::block_rows rows_;
  mutable std::optional<column_blocks> tombstones_;
  std::vector<std::optional<column_blocks>> values_;
};

}  // namespace

void segment::fit_index() {
  const std::vector<material_tuple>& keys = index_.keys();
  auto corrupted = [&](const std::string& what) {
    return errors::error(fmt::format("Index is corrupted: {}: {}",
                                     (directory_ / primary_index::FILENAME).string(), what));
  };
  const auto fitting = primary_index::granularities_for(keys.size(), size_);
  if (!fitting) {
    throw corrupted(fmt::format("entry count {} does not fit {} rows", keys.size(), size_));
  }
  detail::block_rows rows(*this);
  if (rows.compare(0, keys.front()) != 0) throw corrupted("entry 0 is not the key of row 0");
  if (rows.compare(size_ - 1, keys.back()) != 0) {
    throw corrupted(fmt::format("entry {} is not the key of row {}", keys.size() - 1, size_ - 1));
  }

  // Entry j holds the key of row j * G for the G it was written with. Keys rise with the row,
  // so the G in [low, high] whose row j holds that key form one run: narrow to it, from the
  // last interior entry (where the candidates' rows lie furthest apart) down.
  uint64_t low = fitting->first;
  uint64_t high = fitting->second;
  for (uint64_t j = keys.size() - 2; j >= 1 && low < high; --j) {
    // The first G in [low, high + 1) whose row j * G holds a key above entry j (or equal to
    // it, when `or_equal`).
    auto first_above = [&](bool or_equal) {
      uint64_t begin = low;
      uint64_t end = high + 1;
      while (begin < end) {
        const uint64_t middle = begin + (end - begin) / 2;
        const int c = rows.compare(j * middle, keys[j]);
        if (c < 0 || (c == 0 && !or_equal)) {
          begin = middle + 1;
        } else {
          end = middle;
        }
      }
      return begin;
    };
    const uint64_t first = first_above(true);
    const uint64_t end = first_above(false);
    if (first == end) {
      throw corrupted(fmt::format(
          "entry {} is the key of no row that a granularity from {} to {} samples", j, low, high));
    }
    low = first;
    high = end - 1;
  }
  // Every G left samples exactly these entries: prefer the configured one.
  const uint64_t configured = primary_index::configured_granularity();
  index_.set_granularity(configured >= low && configured <= high ? configured : low);
}

segment::row_range segment::rows_of(uint64_t low, uint64_t high) const {
  const uint64_t g = index_.granularity();
  const uint64_t last = index_.keys().empty() ? 0 : index_.keys().size() - 1;
  auto row_of = [&](uint64_t granule) -> uint64_t {
    uint64_t row;
    if (__builtin_mul_overflow(granule, g, &row) || row > size_) return size_;
    return row;
  };
  const uint64_t end = high >= last ? size_ : row_of(high);
  return {std::min(row_of(low), end), end};
}

uint64_t segment::lower_bound(const material_tuple& key) const {
  const auto [low, high] = index_.find_granules(key);
  row_range range = rows_of(low, high);
  detail::block_rows rows(*this);
  while (range.begin < range.end) {
    const uint64_t middle = range.begin + (range.end - range.begin) / 2;
    if (rows.compare(middle, key) < 0) {
      range.begin = middle + 1;
    } else {
      range.end = middle;
    }
  }
  return range.begin;
}

uint64_t segment::upper_bound(const material_tuple& key) const {
  const auto [low, high] = index_.find_granules(key);
  row_range range = rows_of(low, high);
  detail::block_rows rows(*this);
  while (range.begin < range.end) {
    const uint64_t middle = range.begin + (range.end - range.begin) / 2;
    if (rows.compare(middle, key) <= 0) {
      range.begin = middle + 1;
    } else {
      range.end = middle;
    }
  }
  return range.begin;
}

segment::position_result segment::search_position(tx_timestamp timestamp, const material_tuple& key,
                                                  column_reader_pack& pack, uint64_t low,
                                                  uint64_t high) const {
  const row_range range = rows_of(low, high);
  if (range.begin == range.end) {
    logging::detail::log(logging::level::debug, "Key not found, returning");
    return std::monostate{};
  }
  pack_rows rows(material_schema_, pack, range.end);
  return search_rows(timestamp, key, rows, range.begin, range.end);
}

segment::position_result segment::position(tx_timestamp timestamp, const material_tuple& key,
                                           column_reader_pack& pack) const {
  const auto [low, high] = index_.find_granules(key);
  if (low == high) return std::monostate{};
  return search_position(timestamp, key, pack, low, high);
}

segment::position_result segment::find_row(tx_timestamp timestamp, const material_tuple& key,
                                           detail::block_rows& rows) const {
  const auto [low, high] = index_.find_granules(key);
  if (low == high) return std::monostate{};
  // Above the last row's key: no column needs to be read.
  if (compare(material_schema_, key, index_.keys().back()) > 0) return std::monostate{};
  const row_range range = rows_of(low, high);
  if (range.begin == range.end) {
    logging::detail::log(logging::level::debug, "Key not found, returning");
    return std::monostate{};
  }
  return search_rows(timestamp, key, rows, range.begin, range.end);
}

search_result segment::search(tx_timestamp timestamp, const material_tuple& key,
                              const column_picker& picker) const {
  return search_columns(timestamp, key, picker.requested());
}

search_result segment::search(tx_timestamp timestamp, const material_tuple& key,
                              const picked_columns& picker) const {
  return search_columns(timestamp, key, picker.columns);
}

search_result segment::search_columns(tx_timestamp timestamp, const material_tuple& key,
                                      const std::vector<unsigned>& requested) const {
  search_result result;
  switch (visit_columns(timestamp, key, requested,
                        [&](const row_values& values) { result = flat_tuple::copy(values); })) {
    case search_outcome::upcoming:
      return upcoming_t{};
    case search_outcome::tombstone:
      return tombstone_t{};
    default:
      return result;
  }
}

search_outcome segment::search(tx_timestamp timestamp, const material_tuple& key,
                               const picked_columns& picker,
                               const std::function<void(const row_values&)>& f) const {
  return visit_columns(timestamp, key, picker.columns, f);
}

search_outcome segment::visit_columns(tx_timestamp timestamp, const material_tuple& key,
                                      const std::vector<unsigned>& requested,
                                      const std::function<void(const row_values&)>& f) const {
  detail::block_rows rows(*this);
  const position_result found = find_row(timestamp, key, rows);
  // Its first three alternatives are those of search_result.
  if (!std::holds_alternative<uint64_t>(found)) return static_cast<search_outcome>(found.index());
  const uint64_t row = std::get<uint64_t>(found);
  if (tombstones_) {
    column_blocks flags(*this, tombstone_slot(), &rows.groups());
    if (std::to_integer<uint8_t>(*flags.value(row).data) != 0) return search_outcome::tombstone;
  }

  std::vector<column_blocks> columns;  // keeps the blocks of the views below alive
  columns.reserve(requested.size());
  row_values values;
  values.reserve(requested.size());
  for (unsigned c : requested) {
    if (c >= schema_.columns.size()) {
      throw errors::error("Column " + std::to_string(c) + " does not exist");
    }
    const uint32_t key_position = schema_.key_positions[c];
    if (key_position != NO_COLUMN) {
      values.emplace_back(rows.key_value(key_position, row));
      continue;
    }
    auto same = std::find_if(columns.begin(), columns.end(),
                             [&](const column_blocks& b) { return b.slot() == c; });
    // Point reads keep the value blocks they decode: a repeated lookup near the same rows then
    // costs microseconds instead of a block decode per column. The cache bounds the memory.
    if (same == columns.end()) same = columns.emplace(columns.end(), *this, c, &rows.groups());
    values.push_back(same->nullable_value(row));
  }
  // Values stored raw are not touched yet and lie in as many cold cache lines: ask for them
  // all at once rather than one miss after the other while `f` reads them.
  for (const std::optional<bytes_view>& v : values) {
    if (v && v->size() != 0) __builtin_prefetch(v->data);
  }
  f(values);
  return search_outcome::found;
}

std::unique_ptr<row_cursor> segment::first() const {
  if (size_ == 0) return nullptr;
  return std::make_unique<segment_cursor>(*this, keep_alive(), 0);
}

std::unique_ptr<row_cursor> segment::position(tx_timestamp timestamp, const material_tuple& key,
                                              const picked_columns&) const {
  detail::block_rows rows(*this);
  const position_result found = find_row(timestamp, key, rows);
  if (!std::holds_alternative<uint64_t>(found)) return nullptr;
  return std::make_unique<segment_cursor>(*this, keep_alive(), std::get<uint64_t>(found));
}

}  // namespace ombrel
