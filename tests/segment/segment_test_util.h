#pragma once
// Test helpers for segments: tables whose values are derived from integer seeds for every
// column type (ordered like the seeds), mem-tables filled from such rows, and readers of the
// picked values of a mem-table entry (the reference answers).

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "memtable/mem_table.h"
#include "memtable/mem_table_buffer_pool.h"
#include "model/big_decimal.h"
#include "model/big_integer.h"
#include "model/binary_tuple_builder.h"
#include "model/file.h"
#include "model/flat_tuple.h"
#include "model/schema_descriptor.h"
#include "model/search_result.h"
#include "model/tuple.h"
#include "native/config.h"
#include "tests/support/testing.h"

namespace ombrel::testing {

inline column_descriptor seeded_column(std::string name, ombrel_type type, bool nullable = false) {
  return column_descriptor(std::move(name), column_info::of_type(type, nullable));
}

inline schema_descriptor seeded_schema(std::vector<column_descriptor> columns,
                                       std::vector<uint32_t> key_positions) {
  schema_descriptor s;
  s.columns = std::move(columns);
  s.initialize_positions(std::move(key_positions));
  return s;
}

// Claims (or appends) the value of `type` made from `seed`; values rise with the seed.
inline void put_seed(binary_tuple_builder& b, ombrel_type type, int64_t seed, bool claim) {
  auto varlen = [&](const std::string& s) {
    const bytes_view v(s.data(), s.size());
    claim ? b.claim_varlen(v) : b.append_varlen(v);
  };
  switch (type) {
    case BOOL:
      return claim ? b.claim_bool(seed != 0) : b.append_bool(seed != 0);
    case INT8:
      return claim ? b.claim_int8(static_cast<int8_t>(seed - 100))
                   : b.append_int8(static_cast<int8_t>(seed - 100));
    case INT16:
      return claim ? b.claim_int16(static_cast<int16_t>(seed * 7 - 9000))
                   : b.append_int16(static_cast<int16_t>(seed * 7 - 9000));
    case INT32:
      return claim ? b.claim_int32(static_cast<int32_t>(seed * 1001 - 700000))
                   : b.append_int32(static_cast<int32_t>(seed * 1001 - 700000));
    case INT64:
      return claim ? b.claim_int64(seed * 3 - 1000) : b.append_int64(seed * 3 - 1000);
    case FLOAT:
      return claim ? b.claim_float(static_cast<float>(seed) * 0.5f - 100.0f)
                   : b.append_float(static_cast<float>(seed) * 0.5f - 100.0f);
    case DOUBLE:
      return claim ? b.claim_double(static_cast<double>(seed) * 0.25 - 3.0)
                   : b.append_double(static_cast<double>(seed) * 0.25 - 3.0);
    case DATE: {
      const ombrel_date d{static_cast<int32_t>(1990 + seed / 372),
                          static_cast<int8_t>(1 + seed % 372 / 31),
                          static_cast<int8_t>(1 + seed % 31)};
      return claim ? b.claim_date(d) : b.append_date(d);
    }
    case TIME: {
      const ombrel_time t{static_cast<int8_t>(seed / 3600 % 24),
                          static_cast<int8_t>(seed / 60 % 60), static_cast<int8_t>(seed % 60),
                          static_cast<int32_t>(seed % 7 * 1000)};
      return claim ? b.claim_time(t) : b.append_time(t);
    }
    case DATE_TIME: {
      const ombrel_date_time dt{
          {2001, static_cast<int8_t>(1 + seed / 20000 % 12), 5},
          {static_cast<int8_t>(seed / 3600 % 24), static_cast<int8_t>(seed / 60 % 60),
           static_cast<int8_t>(seed % 60), 123000}};
      return claim ? b.claim_date_time(dt) : b.append_date_time(dt);
    }
    case TIMESTAMP: {
      const ombrel_timestamp t{seed / 3 - 700, static_cast<int32_t>(seed % 3 * 1000)};
      return claim ? b.claim_timestamp(t) : b.append_timestamp(t);
    }
    case DURATION: {
      const ombrel_duration d{seed / 2 - 50, static_cast<int32_t>(seed % 2 * 7)};
      return claim ? b.claim_duration(d) : b.append_duration(d);
    }
    case PERIOD: {
      const ombrel_period p{static_cast<int32_t>(seed / 100 - 3),
                            static_cast<int32_t>(seed / 10 % 10), static_cast<int32_t>(seed % 10)};
      return claim ? b.claim_period(p) : b.append_period(p);
    }
    case UUID: {
      const uuid u{seed / 4 - 100, (seed % 4) - 2};
      return claim ? b.claim_uuid(u) : b.append_uuid(u);
    }
    case DECIMAL: {
      const big_decimal d(big_integer(seed * 37 - 5000), 2);
      return claim ? b.claim_number(d) : b.append_number(d);
    }
    case NUMBER: {
      const big_integer n(seed * 100003 - 4000000);
      return claim ? b.claim_number(n) : b.append_number(n);
    }
    case OPAQUE:
    case STRING:
    case BYTES: {
      char text[24];
      std::snprintf(text, sizeof(text), "k%09lld", static_cast<long long>(seed));
      return varlen(std::string(text) + std::string(static_cast<size_t>((seed % 5 + 5) % 5), 'x'));
    }
    default:
      FAIL() << "no seeded values for type " << type;
  }
}

// A schema with its layouts, and rows and keys made from seeds (no value means null).
struct seeded_table {
  using seeds = std::vector<std::optional<int64_t>>;

  schema_descriptor schema;
  tuple_schema row_tuple;
  tuple_schema key_tuple;
  material_tuple_schema row_material;
  material_tuple_schema key_material;

  explicit seeded_table(schema_descriptor s)
      : schema(std::move(s)),
        row_tuple(schema.get_tuple_schema()),
        key_tuple(schema.get_key_tuple_schema()),
        row_material(schema.get_material_schema()),
        key_material(schema.get_material_key_schema()) {}

  static std::vector<std::byte> encode(const tuple_schema& types, const seeds& values) {
    binary_tuple_builder b(static_cast<int32_t>(values.size()));
    b.start();
    for (size_t i = 0; i < values.size(); ++i) {
      if (values[i]) {
        put_seed(b, types[i].type, *values[i], true);
      } else {
        b.claim_null();
      }
    }
    b.layout();
    for (size_t i = 0; i < values.size(); ++i) {
      if (values[i]) {
        put_seed(b, types[i].type, *values[i], false);
      } else {
        b.append_null();
      }
    }
    return b.release();
  }

  struct parsed_row {
    std::vector<std::byte> bytes;
    std::optional<parsed_tuple> parsed;
  };

  // Values in declaration order.
  std::unique_ptr<parsed_row> row(const seeds& values) const {
    auto r = std::make_unique<parsed_row>();
    r->bytes = encode(row_tuple, values);
    r->parsed.emplace(row_tuple, row_material, bytes_view(r->bytes.size(), r->bytes.data()), false);
    return r;
  }
  // Key values in key order.
  std::unique_ptr<parsed_row> removal(const seeds& key) const {
    auto r = std::make_unique<parsed_row>();
    r->bytes = encode(key_tuple, key);
    r->parsed.emplace(key_tuple, key_material, bytes_view(r->bytes.size(), r->bytes.data()), true);
    return r;
  }
  owned_material_tuple key(const seeds& key) const {
    const auto bytes = encode(key_tuple, key);
    parsed_tuple p(key_tuple, key_material, bytes_view(bytes.size(), bytes.data()), true);
    return owned_material_tuple(p);
  }
};

// (v INT64, name STRING key 0, n INT32 key 1): a variable-length key column first, so index
// entries need alignment padding.
inline seeded_table composite_table() {
  return seeded_table(seeded_schema(
      {seeded_column("v", INT64), seeded_column("name", STRING), seeded_column("n", INT32)},
      {NO_COLUMN, 0, 1}));
}

// A mem-table with buffers from a private pool that never runs dry; rows by seeds when made
// from a seeded table.
class test_mem_table : private mem_table::buffer_creator {
 public:
  explicit test_mem_table(const seeded_table& table) : test_mem_table(table.schema) {
    table_ = &table;
  }
  explicit test_mem_table(const schema_descriptor& schema)
      : pool_(1 << 20, uint64_t{1} << 30), memtable_(schema, pool_) {}

  void upsert(const seeded_table::seeds& values, tx_timestamp ts) {
    insert(*table_->row(values), ts);
  }
  void remove(const seeded_table::seeds& key, tx_timestamp ts) {
    insert(*table_->removal(key), ts);
  }
  // Any parsed row: a row of the schema, or a key for a removal.
  template <typename Row>
  void insert(const Row& r, tx_timestamp ts) {
    ASSERT_TRUE(memtable_.ensure(r.parsed->material_size(), *this));
    memtable_.insert(*r.parsed, ts);
  }
  const mem_table& get() const { return memtable_; }

 private:
  mem_table_buffer* create_buffer(size_t size) override { return pool_.get_buffer(nullptr, size); }

  const seeded_table* table_ = nullptr;
  mem_table_buffer_pool pool_;
  mem_table memtable_;
};

// The value of material slot `slot` of a mem-table row, as searches deliver it.
inline std::optional<bytes_view> slot_value(const material_tuple_schema& schema,
                                            const material_tuple& row, uint32_t slot) {
  const std::byte* p = row[slot];
  if (p == nullptr) return std::nullopt;
  if (schema[slot].size != 0) return bytes_view(schema[slot].size, p);
  uint32_t length;
  std::memcpy(&length, p, 4);
  return bytes_view(length, p + 4);
}

inline std::string bytes_of(const std::optional<bytes_view>& v) {
  if (!v) return "<null>";
  return std::string(v->as_string());
}

// Values as "[bytes][bytes]...", null as "[<null>]".
inline std::string text_of(const row_values& values) {
  std::string text;
  for (const auto& v : values) text += "[" + bytes_of(v) + "]";
  return text;
}

// A search answer in words: "absent", "upcoming", "tombstone" or "row " and its values.
inline std::string describe(const search_result& r) {
  switch (r.index()) {
    case 0:
      return "absent";
    case 1:
      return "upcoming";
    case 2:
      return "tombstone";
    default:
      return "row " + text_of(std::get<flat_tuple>(r).values());
  }
}

inline std::vector<std::byte> read_file(const std::filesystem::path& path) {
  return file::for_reading(path).read_as_bytes();
}

inline void write_file(const std::filesystem::path& path, const std::vector<std::byte>& bytes) {
  file f = file::for_writing(path);
  f.write(bytes.data(), bytes.size());
}

inline std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no exception>";
}

// Sets SEGMENT_CACHE_CAPACITY for one scope.
struct cache_capacity_scope : config_scope<uint64_t> {
  explicit cache_capacity_scope(uint64_t bytes)
      : config_scope(config::get_config().segment_cache_capacity, bytes) {}
};

// MERGE_TREE_COLUMN_BLOCK_SIZE_HINT for one scope.
struct block_hint_scope : config_scope<uint64_t> {
  explicit block_hint_scope(uint64_t values)
      : config_scope(config::get_config().merge_tree_column_block_size_hint, values) {}
};

// What the mem-table answers for `key` at `ts`, in the segment's result form.
inline search_result reference(const mem_table& m, const material_tuple_schema& schema,
                               const std::vector<unsigned>& slots, tx_timestamp ts,
                               const material_tuple& key) {
  const auto entry = m.index().search(ts, key);
  if (!entry) {
    return m.index().search(TX_TIMESTAMP_LATEST, key) ? search_result(upcoming_t{})
                                                      : search_result(std::monostate{});
  }
  if (entry->tombstone) return tombstone_t{};
  row_values values;
  for (unsigned slot : slots) values.push_back(slot_value(schema, entry->tuple, slot));
  return flat_tuple::copy(values);
}

}  // namespace ombrel::testing
