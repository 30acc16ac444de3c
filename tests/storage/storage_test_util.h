#pragma once
// Material values of the types that need building, tables of fixed rows for cursor tests, and
// the tuples a cursor's pages hold.

#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "model/big_decimal.h"
#include "model/big_integer.h"
#include "model/binary_tuple_builder.h"
#include "model/schema_descriptor.h"
#include "storage/cursor.h"
#include "tests/support/schemas.h"
#include "tests/support/tuples.h"
#include "tree/abstract_table.h"

namespace ombrel::testing {

using material_row = std::vector<material_value>;

// Material values of the types whose bytes are not simply those of a C++ value.
inline std::vector<std::byte> join(std::vector<std::byte> a, const std::vector<std::byte>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
// A big_integer (NUMBER) or big_decimal (DECIMAL) as stored.
template <typename N>
std::vector<std::byte> stored(const N& n) {
  std::vector<std::byte> out(n.byte_size());
  n.store_bytes(out.data());
  return out;
}
inline std::vector<std::byte> decimal(const char* text) {
  big_decimal d;
  std::istringstream(text) >> d;
  return stored(d);
}
inline std::vector<std::byte> packed_date(int32_t y, int8_t m, int8_t d) {
  std::vector<std::byte> out(3);
  binary_tuple_builder::write_date(out.data(), {y, m, d});
  return out;
}
inline std::vector<std::byte> packed_time(int8_t h, int8_t m, int8_t s, int32_t nano) {
  std::vector<std::byte> out(6);
  binary_tuple_builder::write_time(out.data(), {h, m, s, nano}, 6);
  return out;
}

// (name, type) columns, all nullable but the first, which is the key.
inline schema_descriptor keyed_schema(
    const std::vector<std::pair<std::string, ombrel_type>>& columns) {
  std::vector<column_descriptor> described;
  std::vector<uint32_t> keys(columns.size(), NO_COLUMN);
  keys[0] = 0;
  for (size_t i = 0; i < columns.size(); ++i) {
    described.push_back(column(columns[i].first, columns[i].second, i != 0));
  }
  return make_schema(std::move(described), std::move(keys));
}

// A table of fixed rows of material values. Counts its scans, the iterators alive and the rows
// handed out; when `scan_schema` is set, its scans report that schema as theirs.
class rows_table : public abstract_table {
 public:
  rows_table(schema_descriptor schema, std::vector<material_row> rows)
      : schema(std::move(schema)), rows(std::move(rows)) {}

  const schema_descriptor& get_schema() const override { return schema; }
  std::unique_ptr<abstract_iterator> get_projection_pipeline(tx_timestamp,
                                                             const bitset& projection) override {
    ++scans;
    return std::make_unique<iterator>(*this, projection);
  }

  schema_descriptor schema;
  std::vector<material_row> rows;
  schema_descriptor scan_schema;
  int scans = 0;
  int alive = 0;
  int taken = 0;

 private:
  class iterator : public abstract_iterator {
   public:
    iterator(rows_table& table, const bitset& projection) : table_(table) {
      ++table_.alive;
      const schema_descriptor& s =
          table.scan_schema.columns.empty() ? table.schema : table.scan_schema;
      for (uint64_t c = 0; c < projection.size() && c < s.columns.size(); ++c) {
        if (projection[c]) columns_.push_back(c);
      }
    }
    ~iterator() override { --table_.alive; }
    bool get_next(const row_callback& callback) override {
      if (next_ >= table_.rows.size()) return false;
      const material_row& r = table_.rows[next_++];
      ++table_.taken;
      row_values values;
      for (uint64_t c : columns_)
        values.push_back(r[c] ? std::optional(view(*r[c])) : std::nullopt);
      callback(values);
      return true;
    }
    const schema_descriptor* schema() const override {
      return table_.scan_schema.columns.empty() ? nullptr : &table_.scan_schema;
    }

   private:
    rows_table& table_;
    std::vector<uint64_t> columns_;
    size_t next_ = 0;
  };
};

// Every tuple of every page, until the cursor ends or gives two empty pages in a row.
inline std::vector<std::vector<std::byte>> drain(cursor& c) {
  std::vector<std::vector<std::byte>> tuples;
  for (int empty = 0; c.has_next_page() && empty < 2;) {
    const uint32_t n = c.fill_next_page();
    empty = n == 0 ? empty + 1 : 0;
    const std::byte* p = c.buffer();
    for (uint32_t i = 0; i < n; ++i) {
      uint32_t length;
      std::memcpy(&length, p, 4);
      tuples.emplace_back(p + 4, p + 4 + length);
      p += 4 + length;
    }
  }
  return tuples;
}

}  // namespace ombrel::testing
