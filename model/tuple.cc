#include "model/tuple.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "model/big_decimal.h"
#include "model/big_integer.h"
#include "native/errors.h"

namespace ombrel {
namespace {

using parser = binary_tuple_parser;

template <typename T>
T load(const std::byte* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

template <typename T>
std::byte* store(std::byte* out, T v) {
  std::memcpy(out, &v, sizeof(T));
  return out + sizeof(T);
}

bool is_varlen_type(ombrel_type type) { return type == OPAQUE || type == STRING || type == BYTES; }

// Refuses an element whose length its type does not allow (std::out_of_range), so that the
// material form can be written later without failing.
void validate_element(ombrel_type type, bytes_view v) {
  switch (type) {
    case BOOL:
      parser::get_bool(v);
      return;
    case INT8:
      parser::get_int8(v);
      return;
    case INT16:
      parser::get_int16(v);
      return;
    case INT32:
      parser::get_int32(v);
      return;
    case INT64:
      parser::get_int64(v);
      return;
    case FLOAT:
      parser::get_float(v);
      return;
    case DOUBLE:
      parser::get_double(v);
      return;
    case DATE:
      parser::get_date(v);
      return;
    case TIME:
      parser::get_time(v);
      return;
    case DATE_TIME:
      parser::get_date_time(v);
      return;
    case TIMESTAMP:
    case DURATION:
      parser::get_timestamp(v);
      return;
    case PERIOD:
      parser::get_period(v);
      return;
    case UUID:
      parser::get_uuid(v);
      return;
    case OPAQUE:
    case STRING:
    case BYTES:
      parser::get_varlen(v);
      return;
    case DECIMAL:
      // Scale and at least one byte of unscaled value.
      if (v.size() < 3) throw std::out_of_range("Bad element size");
      return;
    case NUMBER:
      return;
    default:
      throw errors::fatal_error("unsupported data type");
  }
}

// The 48-bit time form with nanoseconds kept in full.
uint64_t pack_time(const ombrel_time& t) {
  return static_cast<uint64_t>(static_cast<uint32_t>(t.nano)) |
         (static_cast<uint64_t>(t.second & 0x3F) << 30) |
         (static_cast<uint64_t>(t.minute & 0x3F) << 36) |
         (static_cast<uint64_t>(t.hour & 0x1F) << 42);
}

std::byte* write_time(std::byte* out, bytes_view v) {
  const uint64_t packed = pack_time(parser::unpack_time(v.data, v.size()));
  std::memcpy(out, &packed, 6);
  return out + 6;
}

std::byte* write_length_prefixed(std::byte* out, const std::byte* data, size_t n) {
  out = store<uint32_t>(out, static_cast<uint32_t>(n));
  if (n > 0) std::memcpy(out, data, n);
  return out + n;
}

// Writes the material form of a validated element; returns the end.
std::byte* write_value(ombrel_type type, bytes_view v, bool varlen_escape, std::byte* out) {
  switch (type) {
    case BOOL:
      *out = std::byte{parser::get_bool(v) ? uint8_t{1} : uint8_t{0}};
      return out + 1;
    case INT8:
      return store(out, parser::get_int8(v));
    case INT16:
      return store(out, parser::get_int16(v));
    case INT32:
      return store(out, parser::get_int32(v));
    case INT64:
      return store(out, parser::get_int64(v));
    case FLOAT:
      return store(out, parser::get_float(v));
    case DOUBLE:
      return store(out, parser::get_double(v));
    case DATE:
      std::memcpy(out, v.data, 3);
      return out + 3;
    case TIME:
      return write_time(out, v);
    case DATE_TIME:
      std::memcpy(out, v.data, 3);
      return write_time(out + 3, bytes_view(v.size() - 3, v.data + 3));
    case TIMESTAMP:
    case DURATION: {
      const ombrel_timestamp t = parser::get_timestamp(v);
      out = store(out, t.seconds);
      return store(out, t.nanos);
    }
    case PERIOD: {
      const ombrel_period p = parser::get_period(v);
      out = store(out, p.years);
      out = store(out, p.months);
      return store(out, p.days);
    }
    case UUID:
      std::memcpy(out, v.data, 16);
      return out + 16;
    case OPAQUE:
    case STRING:
    case BYTES: {
      const bytes_view payload = varlen_escape ? parser::get_varlen(v) : v;
      return write_length_prefixed(out, payload.data, payload.size());
    }
    case DECIMAL:
    case NUMBER:
      return write_length_prefixed(out, v.data, v.size());
    default:
      throw errors::fatal_error("unsupported data type");
  }
}

uintptr_t align_up(uintptr_t address, uint32_t mask) { return (address + mask) & ~uintptr_t{mask}; }

template <typename T>
int three_way(T a, T b) {
  return (a > b) - (a < b);
}

// Keys need a total order: every NaN equals every other and sorts after all numbers; -0.0
// equals 0.0, as the comparison operators already have it.
int compare_floating(double a, double b) {
  const bool a_nan = std::isnan(a);
  const bool b_nan = std::isnan(b);
  if (a_nan || b_nan) return three_way(a_nan, b_nan);
  return three_way(a, b);
}

// Sign-extends the 24-bit date form: its order is year, then month, then day.
int32_t date_key(const std::byte* p) {
  uint32_t packed = 0;
  std::memcpy(&packed, p, 3);
  return static_cast<int32_t>(packed << 8) >> 8;
}

// The 48-bit time form orders by hour, minute, second, then nanoseconds.
uint64_t time_key(const std::byte* p) {
  uint64_t packed = 0;
  std::memcpy(&packed, p, 6);
  return packed;
}

}  // namespace

uint32_t material_value_size(ombrel_type type, uint32_t fixed_size, bytes_view element,
                             bool varlen_escape) {
  if (fixed_size != 0) return fixed_size;
  size_t n = element.size();
  if (is_varlen_type(type) && varlen_escape && n > 0 && element.data[0] == std::byte{0x80}) --n;
  return static_cast<uint32_t>(4 + n);
}

parsed_tuple::parsed_tuple(const tuple_schema& schema, const material_tuple_schema& material_schema,
                           bytes_view tuple, bool key_only)
    : schema_(&schema), material_schema_(&material_schema), key_only_(key_only) {
  try {
    binary_tuple_parser p(static_cast<int32_t>(schema.size()), tuple);
    tuple_ = p.tuple();
    elements_.reserve(schema.size());
    for (size_t i = 0; i < schema.size(); ++i) {
      const bytes_view v = p.get_next();
      if (!v.is_null()) validate_element(schema[i].type, v);
      elements_.push_back(v);
    }
  } catch (const errors::error&) {
    throw;
  } catch (const std::exception& e) {
    throw errors::error(std::string("failed to parse tuple: ") + e.what());
  }
  if (elements_.size() < material_schema.key_count) throw errors::error("missing pkey columns");
  // Keys compare both values unconditionally: a key element must be present.
  for (uint32_t s = 0; s < material_schema.key_count; ++s) {
    if (elements_[source_of(s)].is_null()) {
      throw errors::error(
          fmt::format("failed to parse tuple: key element {} is null", source_of(s)));
    }
  }
  material_size_ = get_material_size(nullptr) + 15;
}

uint32_t parsed_tuple::source_of(size_t slot) const {
  // Key tuples hold the key columns in key order: slot s of the key takes element s.
  if (key_only_ && slot < material_schema_->key_count) return static_cast<uint32_t>(slot);
  return (*material_schema_)[slot].index;
}

uint32_t parsed_tuple::get_material_size(const std::byte* base) const {
  const auto start = reinterpret_cast<uintptr_t>(base);
  uintptr_t position = start;
  const size_t slots = std::min(elements_.size(), material_schema_->size());
  for (size_t s = 0; s < slots; ++s) {
    const auto& e = (*material_schema_)[s];
    const uint32_t source = source_of(s);
    const bytes_view v = elements_[source];
    if (v.is_null()) continue;
    position = align_up(position, e.align_mask);
    position += material_value_size(e.type, e.size, v, (*schema_)[source].varlen);
  }
  return static_cast<uint32_t>(position - start);
}

void parsed_tuple::make_material_tuple(material_tuple_builder& builder) const {
  const size_t count = material_schema_->size();
  std::fill(builder.elements, builder.elements + count, nullptr);
  const size_t slots = std::min(elements_.size(), count);
  for (size_t s = 0; s < slots; ++s) {
    const auto& e = (*material_schema_)[s];
    const uint32_t source = source_of(s);
    const bytes_view v = elements_[source];
    if (v.is_null()) continue;
    auto* out = reinterpret_cast<std::byte*>(
        align_up(reinterpret_cast<uintptr_t>(builder.position), e.align_mask));
    builder.elements[s] = out;
    builder.position = write_value(e.type, v, (*schema_)[source].varlen, out);
  }
}

owned_material_tuple::owned_material_tuple(const parsed_tuple& parsed)
    : slot_count_(parsed.slot_count()) {
  // The key part aligns as in mem-tables: start at a 16-byte boundary.
  std::byte* start = inline_storage_;
  if (parsed.material_size() > INLINE_BYTES) {
    heap_storage_ = std::make_unique<std::byte[]>(parsed.material_size() + 15);
    start = reinterpret_cast<std::byte*>(
        align_up(reinterpret_cast<uintptr_t>(heap_storage_.get()), 15));
  }
  if (slot_count_ > INLINE_SLOTS) {
    heap_elements_ = std::make_unique<const std::byte*[]>(slot_count_);
    elements_ = heap_elements_.get();
  }
  material_tuple_builder builder{start, elements_};
  parsed.make_material_tuple(builder);
}

void owned_material_tuple::take(owned_material_tuple& other) noexcept {
  slot_count_ = other.slot_count_;
  heap_storage_ = std::move(other.heap_storage_);
  heap_elements_ = std::move(other.heap_elements_);
  std::memcpy(inline_storage_, other.inline_storage_, INLINE_BYTES);
  elements_ = heap_elements_ ? heap_elements_.get() : inline_elements_;
  const std::byte* const* source = heap_elements_ ? elements_ : other.inline_elements_;
  const std::byte* old_begin = other.inline_storage_;
  const std::byte* old_end = other.inline_storage_ + INLINE_BYTES;
  for (uint32_t s = 0; s < slot_count_; ++s) {
    const std::byte* p = source[s];
    // Pointer comparison through integers: the slot may point into another object.
    const auto address = reinterpret_cast<uintptr_t>(p);
    if (p != nullptr && address >= reinterpret_cast<uintptr_t>(old_begin) &&
        address < reinterpret_cast<uintptr_t>(old_end)) {
      p = inline_storage_ + (address - reinterpret_cast<uintptr_t>(old_begin));
    }
    elements_[s] = p;
  }
  other.slot_count_ = 0;
  other.elements_ = other.inline_elements_;
}

void tuple_builder::claim(ombrel_type type, bytes_view v) {
  switch (type) {
    case BOOL:
    case INT8:
      return binary_tuple_builder::claim(1);
    case INT16:
      return claim_int16(load<int16_t>(v.data));
    case INT32:
      return claim_int32(load<int32_t>(v.data));
    case INT64:
      return claim_int64(load<int64_t>(v.data));
    case FLOAT:
      return binary_tuple_builder::claim(4);
    case DOUBLE:
      return claim_double(load<double>(v.data));
    case DATE:
      return binary_tuple_builder::claim(3);
    case TIME:
      return claim_time(parser::unpack_time(v.data, 6));
    case DATE_TIME:
      return claim_date_time({parser::unpack_date(v.data), parser::unpack_time(v.data + 3, 6)});
    case TIMESTAMP:
    case DURATION:
      return binary_tuple_builder::claim(load<int32_t>(v.data + 8) == 0 ? 8 : 12);
    case PERIOD:
      return claim_period(
          {load<int32_t>(v.data), load<int32_t>(v.data + 4), load<int32_t>(v.data + 8)});
    case UUID:
      return binary_tuple_builder::claim(16);
    case OPAQUE:
    case STRING:
    case BYTES:
    case DECIMAL:
    case NUMBER:
      return claim_varlen(v);
    default:
      throw errors::fatal_error("unsupported data type");
  }
}

void tuple_builder::append(ombrel_type type, bytes_view v) {
  switch (type) {
    case BOOL:
      return append_bool(v.data[0] != std::byte{0});
    case INT8:
      return append_int8(load<int8_t>(v.data));
    case INT16:
      return append_int16(load<int16_t>(v.data));
    case INT32:
      return append_int32(load<int32_t>(v.data));
    case INT64:
      return append_int64(load<int64_t>(v.data));
    case FLOAT:
      return append_float(load<float>(v.data));
    case DOUBLE:
      return append_double(load<double>(v.data));
    case DATE:
      return append_date(parser::unpack_date(v.data));
    case TIME:
      return append_time(parser::unpack_time(v.data, 6));
    case DATE_TIME:
      return append_date_time({parser::unpack_date(v.data), parser::unpack_time(v.data + 3, 6)});
    case TIMESTAMP:
      return append_timestamp({load<int64_t>(v.data), load<int32_t>(v.data + 8)});
    case DURATION:
      return append_duration({load<int64_t>(v.data), load<int32_t>(v.data + 8)});
    case PERIOD:
      return append_period(
          {load<int32_t>(v.data), load<int32_t>(v.data + 4), load<int32_t>(v.data + 8)});
    case UUID:
      return append_uuid({load<int64_t>(v.data), load<int64_t>(v.data + 8)});
    case OPAQUE:
    case STRING:
    case BYTES:
      return append_varlen(v);
    case DECIMAL:
      return append_number(big_decimal(v.data, v.size()));
    case NUMBER:
      return append_number(big_integer(v.data, v.size()));
    default:
      throw errors::fatal_error("unsupported data type");
  }
}

size_t tuple_builder_direct::layout(std::byte* buffer, size_t capacity) {
  const size_t size = tuple_size();
  if (size <= capacity) layout_into(buffer);
  return size;
}

// ---- tuple_row_writer ----

tuple_row_writer::tuple_row_writer(const tuple_schema& columns)
    : lengths_(columns.size()), builder_(static_cast<int32_t>(columns.size())) {
  for (const tuple_element& e : columns) {
    types_.push_back(e.type);
    switch (e.type) {
      case INT8:
        kinds_.push_back(kind::int8);
        break;
      case INT16:
        kinds_.push_back(kind::int16);
        break;
      case INT32:
        kinds_.push_back(kind::int32);
        break;
      case INT64:
        kinds_.push_back(kind::int64);
        break;
      case BOOL:
        kinds_.push_back(kind::boolean);
        break;
      case FLOAT:
        kinds_.push_back(kind::float32);
        break;
      case DOUBLE:
        kinds_.push_back(kind::float64);
        break;
      case TIMESTAMP:
      case DURATION:
        kinds_.push_back(kind::seconds_nanos);
        break;
      case UUID:
        kinds_.push_back(kind::raw16);
        break;
      case OPAQUE:
      case STRING:
      case BYTES:
        kinds_.push_back(kind::varlen);
        break;
      default:
        generic_ = true;
        kinds_.push_back(kind::varlen);
        break;
    }
  }
}

template <tuple_row_writer::kind K>
uint32_t tuple_row_writer::length_of(bytes_view v) {
  if constexpr (K == kind::int8 || K == kind::boolean) {
    return 1;
  } else if constexpr (K == kind::int16) {
    return binary_tuple_builder::int_size(load<int16_t>(v.data));
  } else if constexpr (K == kind::int32) {
    return binary_tuple_builder::int_size(load<int32_t>(v.data));
  } else if constexpr (K == kind::int64) {
    return binary_tuple_builder::int_size(load<int64_t>(v.data));
  } else if constexpr (K == kind::float32) {
    return 4;
  } else if constexpr (K == kind::float64) {
    return binary_tuple_builder::double_size(load<double>(v.data));
  } else if constexpr (K == kind::seconds_nanos) {
    return load<int32_t>(v.data + 8) == 0 ? 8 : 12;
  } else if constexpr (K == kind::raw16) {
    return 16;
  } else {
    return binary_tuple_builder::varlen_size(v);
  }
}

template <tuple_row_writer::kind K>
void tuple_row_writer::put(bytes_view v, uint32_t n, std::byte* to, uint32_t room) {
  if constexpr (K == kind::boolean) {
    *to = static_cast<std::byte>(v.data[0] != std::byte{0});
  } else if constexpr (K == kind::float64) {
    if (n == 4) {
      const auto f = static_cast<float>(load<double>(v.data));
      std::memcpy(to, &f, 4);
    } else {
      std::memcpy(to, v.data, 8);
    }
  } else if constexpr (K == kind::int8) {
    *to = v.data[0];
  } else if constexpr (K == kind::int16 || K == kind::int32 || K == kind::int64) {
    // Little-endian: the low n bytes are the shortest form. Where later values of the row follow,
    // the whole value goes in one store and they overwrite the rest.
    constexpr uint32_t width = K == kind::int16 ? 2 : K == kind::int32 ? 4 : 8;
    if (room >= width) {
      std::memcpy(to, v.data, width);
    } else {
      copy_short(to, v.data, n);
    }
  } else if constexpr (K == kind::float32) {
    std::memcpy(to, v.data, 4);
  } else if constexpr (K == kind::seconds_nanos) {
    std::memcpy(to, v.data, 8);
    if (n == 12) std::memcpy(to + 8, v.data + 8, 4);
  } else if constexpr (K == kind::raw16) {
    std::memcpy(to, v.data, 16);
  } else {
    if (binary_tuple_builder::needs_escape(v)) *to++ = binary_tuple_builder::VARLEN_ESCAPE;
    copy_short(to, v.data, v.size());
  }
}

template <typename F>
void tuple_row_writer::dispatch(kind k, F&& f) {
  using enum kind;
  switch (k) {
    case int8:
      return f(std::integral_constant<kind, int8>{});
    case int16:
      return f(std::integral_constant<kind, int16>{});
    case int32:
      return f(std::integral_constant<kind, int32>{});
    case int64:
      return f(std::integral_constant<kind, int64>{});
    case boolean:
      return f(std::integral_constant<kind, boolean>{});
    case float32:
      return f(std::integral_constant<kind, float32>{});
    case float64:
      return f(std::integral_constant<kind, float64>{});
    case seconds_nanos:
      return f(std::integral_constant<kind, seconds_nanos>{});
    case raw16:
      return f(std::integral_constant<kind, raw16>{});
    case varlen:
      return f(std::integral_constant<kind, varlen>{});
  }
}

namespace {

// An offset table entry of `size` bytes (1, 2 or 4), little-endian.
inline void store_entry(std::byte* at, uint32_t value, uint32_t size) {
  if (size == 1) {
    *at = static_cast<std::byte>(value);
  } else if (size == 2) {
    std::memcpy(at, &value, 2);
  } else {
    std::memcpy(at, &value, 4);
  }
}

}  // namespace

size_t tuple_row_writer::size(const row_values& row) {
  if (generic_) {
    builder_.start();
    for (size_t c = 0; c < row.size(); ++c) {
      if (row[c]) {
        builder_.claim(types_[c], *row[c]);
      } else {
        builder_.claim_null();
      }
    }
    return builder_.tuple_size();
  }
  uint32_t area = 0;
  for (size_t c = 0; c < row.size(); ++c) {
    uint32_t n = 0;
    if (const std::optional<bytes_view>& v = row[c]) {
      dispatch(kinds_[c], [&](auto k) { n = length_of<k()>(*v); });
    }
    lengths_[c] = n;
    area += n;
  }
  value_area_ = area;
  return 1 + row.size() * binary_tuple_builder::entry_size_for(area) + area;
}

void tuple_row_writer::write(const row_values& row, std::byte* out) {
  if (generic_) {
    builder_.layout_into(out);
    for (size_t c = 0; c < row.size(); ++c) {
      if (row[c]) {
        builder_.append(types_[c], *row[c]);
      } else {
        builder_.append_null();
      }
    }
    return;
  }
  const uint32_t entry = binary_tuple_builder::entry_size_for(value_area_);
  out[0] = static_cast<std::byte>(std::countr_zero(entry));
  std::byte* entries = out + 1;
  std::byte* values = entries + row.size() * entry;
  uint32_t end = 0;
  for (size_t c = 0; c < row.size(); ++c) {
    if (const std::optional<bytes_view>& v = row[c]) {
      const uint32_t n = lengths_[c];
      dispatch(kinds_[c], [&](auto k) { put<k()>(*v, n, values + end, value_area_ - end); });
      end += n;
    }
    store_entry(entries + c * entry, end, entry);
  }
}

template <tuple_row_writer::kind K>
constexpr uint32_t tuple_row_writer::material_size() {
  using enum kind;
  switch (K) {
    case int8:
    case boolean:
      return 1;
    case int16:
      return 2;
    case int32:
    case float32:
      return 4;
    case int64:
    case float64:
      return 8;
    case seconds_nanos:
      return 12;
    case raw16:
      return 16;
    case varlen:
      return 0;
  }
  return 0;
}

std::optional<uint64_t> tuple_row_writer::page_room(const column_values* columns, uint32_t first,
                                                    uint32_t count) {
  if (generic_) return std::nullopt;
  const size_t width = kinds_.size();
  // A row takes at most its length, its header, entries of 4 bytes and each value at its
  // material size (a variable-length one with an escape byte).
  uint64_t room = uint64_t{count} * (4 + 1 + 4 * width);
  for (size_t c = 0; c < width; ++c) {
    uint32_t size = 0;
    dispatch(kinds_[c], [&](auto k) { size = material_size<k()>(); });
    if (columns[c].fixed_size != size) return std::nullopt;
    if (size != 0) {
      room += uint64_t{count} * size;
    } else if (count != 0) {
      const uint64_t start = first == 0 ? 0 : columns[c].ends[first - 1];
      room += columns[c].ends[first + count - 1] - start + count;
    }
  }
  return room;
}

uint64_t tuple_row_writer::write_page_rows(const column_values* columns, uint32_t first,
                                           uint32_t count, std::byte* at, uint32_t& widest) {
  const size_t width = kinds_.size();
  row_ends_.resize(width);
  starts_.resize(width);
  for (size_t c = 0; c < width; ++c) {
    starts_[c] = columns[c].fixed_size != 0 || first == 0 ? 0 : columns[c].ends[first - 1];
  }
  std::byte* const begin = at;
  uint32_t longest = 0;
  for (uint32_t r = first; r < first + count; ++r) {
    std::byte* const tuple = at + 4;
    std::byte* const values = tuple + 1 + width;  // entries of 1 byte, moved on when wider
    uint32_t end = 0;
    for (size_t c = 0; c < width; ++c) {
      const column_values& column = columns[c];
      if (column.is_null(r)) {
        if (column.fixed_size == 0) starts_[c] = column.ends[r];
      } else {
        dispatch(kinds_[c], [&](auto k) {
          bytes_view v;
          if constexpr (material_size<k()>() != 0) {
            v = {material_size<k()>(), column.data + size_t{r} * material_size<k()>()};
          } else {
            const uint64_t stop = column.ends[r];
            v = {stop - starts_[c], column.data + starts_[c]};
            starts_[c] = stop;
          }
          const uint32_t n = length_of<k()>(v);
          // Bytes past the value are the room of later values and rows.
          put<k()>(v, n, values + end, UINT32_MAX);
          end += n;
        });
      }
      row_ends_[c] = end;
      tuple[1 + c] = static_cast<std::byte>(end);
    }
    uint32_t entry = 1;
    if (end >= 0x100) {
      entry = binary_tuple_builder::entry_size_for(end);
      std::memmove(values + width * (entry - 1), values, end);
      for (size_t c = 0; c < width; ++c) store_entry(tuple + 1 + c * entry, row_ends_[c], entry);
    }
    tuple[0] = static_cast<std::byte>(std::countr_zero(entry));
    const auto size = static_cast<uint32_t>(1 + width * entry + end);
    std::memcpy(at, &size, 4);
    longest = std::max(longest, size);
    at += 4 + size;
  }
  widest = longest;
  return static_cast<uint64_t>(at - begin);
}

int compare_fixed(ombrel_type type, const std::byte* a, const std::byte* b) {
  switch (type) {
    case BOOL:
      return three_way(load<uint8_t>(a) != 0, load<uint8_t>(b) != 0);
    case INT8:
      return three_way(load<int8_t>(a), load<int8_t>(b));
    case INT16:
      return three_way(load<int16_t>(a), load<int16_t>(b));
    case INT32:
      return three_way(load<int32_t>(a), load<int32_t>(b));
    case INT64:
      return three_way(load<int64_t>(a), load<int64_t>(b));
    case FLOAT:
      return compare_floating(load<float>(a), load<float>(b));
    case DOUBLE:
      return compare_floating(load<double>(a), load<double>(b));
    case DATE:
      return three_way(date_key(a), date_key(b));
    case TIME:
      return three_way(time_key(a), time_key(b));
    case DATE_TIME:
      if (int c = three_way(date_key(a), date_key(b))) return c;
      return three_way(time_key(a + 3), time_key(b + 3));
    case TIMESTAMP:
    case DURATION:
      if (int c = three_way(load<int64_t>(a), load<int64_t>(b))) return c;
      return three_way(load<int32_t>(a + 8), load<int32_t>(b + 8));
    case PERIOD:
      for (int i = 0; i < 3; ++i) {
        if (int c = three_way(load<int32_t>(a + 4 * i), load<int32_t>(b + 4 * i))) return c;
      }
      return 0;
    case UUID:
      if (int c = three_way(load<int64_t>(a), load<int64_t>(b))) return c;
      return three_way(load<int64_t>(a + 8), load<int64_t>(b + 8));
    default:
      throw errors::error("Unimplemented for these types");
  }
}

int compare_varlen(ombrel_type type, const std::byte* a, const std::byte* b) {
  const uint32_t la = load<uint32_t>(a);
  const uint32_t lb = load<uint32_t>(b);
  switch (type) {
    case OPAQUE:
    case STRING:
    case BYTES: {
      const uint32_t common = std::min(la, lb);
      if (common > 0) {
        if (int c = std::memcmp(a + 4, b + 4, common)) return c < 0 ? -1 : 1;
      }
      return three_way(la, lb);
    }
    case DECIMAL:
      return big_decimal::compare_bytes(a + 4, la, b + 4, lb);
    case NUMBER:
      return big_integer::compare_bytes(a + 4, la, b + 4, lb);
    default:
      throw errors::error("Unimplemented for these types");
  }
}

int compare_payload(ombrel_type type, uint32_t fixed_size, bytes_view a, bytes_view b) {
  if (fixed_size != 0) return compare_fixed(type, a.data, b.data);
  switch (type) {
    case OPAQUE:
    case STRING:
    case BYTES: {
      const size_t common = std::min(a.size(), b.size());
      if (common > 0) {
        if (const int c = std::memcmp(a.data, b.data, common)) return c < 0 ? -1 : 1;
      }
      return (a.size() > b.size()) - (a.size() < b.size());
    }
    case DECIMAL:
      return big_decimal::compare_bytes(a.data, a.size(), b.data, b.size());
    case NUMBER:
      return big_integer::compare_bytes(a.data, a.size(), b.data, b.size());
    default:
      throw errors::error("Unimplemented for these types");
  }
}

}  // namespace ombrel
