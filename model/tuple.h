#pragma once
// The material form of rows and keys: every present value decoded to a fixed-size form or a
// 4-byte length prefix and payload, laid out in material order with the key part aligned so
// that keys compare in place. parsed_tuple turns a binary tuple into this form, tuple_builder
// turns material values back into a binary tuple, and compare() orders keys.
// All classes here are used by one thread at a time; compare() is pure.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "model/binary_tuple_builder.h"
#include "model/binary_tuple_parser.h"
#include "model/column_values.h"
#include "model/common.h"
#include "model/flat_tuple.h"
#include "model/tuple_schema.h"

namespace ombrel {

// A row or key in material form: one pointer per material slot, each at the value's material
// form or null for an absent value. Does not own the pointers or the values: both live in an
// area of the caller (a mem-table buffer, or an owned_material_tuple).
class material_tuple {
 public:
  material_tuple() = default;
  material_tuple(const std::byte* const* elements, uint32_t count)
      : elements_(elements), count_(count) {}

  uint32_t size() const { return count_; }
  const std::byte* operator[](size_t slot) const { return elements_[slot]; }
  const std::byte* const* elements() const { return elements_; }

 private:
  const std::byte* const* elements_ = nullptr;
  uint32_t count_ = 0;
};

// Where make_material_tuple writes: the value area position (advanced past the written values)
// and the pointer array to fill, with one entry per material slot.
struct material_tuple_builder {
  std::byte* position = nullptr;
  const std::byte** elements = nullptr;
};

// Byte size of the material form of one binary-tuple element of `type` (the element must have
// passed validation); `varlen_escape` removes the escape byte from the payload length.
uint32_t material_value_size(ombrel_type type, uint32_t fixed_size, bytes_view element,
                             bool varlen_escape);

// A binary tuple parsed once against a schema. Element lengths are validated for their types at
// construction, so writing the material form afterwards cannot fail.
class parsed_tuple {
 public:
  // Throws errors::error "failed to parse tuple: ..." for malformed input, a null key element
  // or an element whose length its type does not allow; "missing pkey columns" when the schema
  // has fewer elements than the key.
  parsed_tuple(const tuple_schema& schema, const material_tuple_schema& material_schema,
               bytes_view tuple, bool key_only);

  const std::vector<bytes_view>& elements() const { return elements_; }
  const material_tuple_schema& material_schema() const { return *material_schema_; }
  bool key_only() const { return key_only_; }
  // Upper bound of the material form's value bytes at any start address.
  uint32_t material_size() const { return material_size_; }
  // Number of material slots the pointer array must have.
  uint32_t slot_count() const { return static_cast<uint32_t>(material_schema_->size()); }
  // The binary tuple as given, cut to its own length.
  bytes_view tuple() const { return tuple_; }

  // Exact value bytes of the material form written at `base`.
  uint32_t get_material_size(const std::byte* base) const;

  // Writes the material form at builder.position (advancing it) and fills builder.elements
  // (slot_count() entries; absent values and slots not supplied stay null).
  void make_material_tuple(material_tuple_builder& builder) const;

 private:
  uint32_t source_of(size_t slot) const;

  const tuple_schema* schema_;
  const material_tuple_schema* material_schema_;
  std::vector<bytes_view> elements_;
  bytes_view tuple_;
  uint32_t material_size_ = 0;
  bool key_only_;
};

// A material tuple with its own storage, for keys and rows held outside mem-tables. Small
// tuples (most keys) live inside the object without a heap allocation.
class owned_material_tuple {
 public:
  owned_material_tuple() = default;
  explicit owned_material_tuple(const parsed_tuple& parsed);
  owned_material_tuple(const owned_material_tuple&) = delete;
  owned_material_tuple& operator=(const owned_material_tuple&) = delete;

  owned_material_tuple(owned_material_tuple&& other) noexcept { take(other); }
  owned_material_tuple& operator=(owned_material_tuple&& other) noexcept {
    if (this != &other) take(other);
    return *this;
  }

  material_tuple get() const { return material_tuple(elements_, slot_count_); }

 private:
  // Moves `other`'s values here, repointing the slots that pointed into its inline storage.
  void take(owned_material_tuple& other) noexcept;

  static constexpr size_t INLINE_BYTES = 96;
  static constexpr size_t INLINE_SLOTS = 8;

  alignas(16) std::byte inline_storage_[INLINE_BYTES];
  const std::byte* inline_elements_[INLINE_SLOTS];
  std::unique_ptr<std::byte[]> heap_storage_;
  std::unique_ptr<const std::byte*[]> heap_elements_;
  const std::byte** elements_ = inline_elements_;
  uint32_t slot_count_ = 0;
};

// Builds a binary tuple from values in material form (variable-length values as payloads,
// DECIMAL and NUMBER as their binary-tuple encoding). Claim every element, layout, then append
// the same elements. Null elements are claimed with claim_null and appended with append_null.
class tuple_builder : public binary_tuple_builder {
 public:
  using binary_tuple_builder::binary_tuple_builder;

  // Throws errors::fatal_error "unsupported data type" for NONE and unknown numbers.
  void claim(ombrel_type type, bytes_view value);
  void append(ombrel_type type, bytes_view value);
};

// tuple_builder writing into a caller buffer.
class tuple_builder_direct : public tuple_builder {
 public:
  using tuple_builder::tuple_builder;

  // Returns the tuple size; writes nothing when it exceeds `capacity` (retry with more room),
  // else lays out the tuple in `buffer`.
  size_t layout(std::byte* buffer, size_t capacity);
};

// Writes whole rows of material values as binary tuples with each column's encoder decided once,
// so that rows are sized and written in two tight passes (cursor pages). Types without a direct
// encoder here (dates, times, periods, numbers) send the row through tuple_builder, with the same
// bytes. One thread at a time.
class tuple_row_writer {
 public:
  explicit tuple_row_writer(const tuple_schema& columns);

  // The tuple size of `row` (one value per column, empty for null).
  size_t size(const row_values& row);
  // Writes the row sized by the last size() call. REQUIRES: `out` holds size() bytes.
  void write(const row_values& row, std::byte* out);

  // Cursor pages in one pass: rows [first, first + count) of a run held column by column (one
  // entry of `columns` per column), one after the other from `at`, each as its 4-byte length
  // and its tuple. The bytes the run may touch (at least those it takes), or nothing when a
  // column's type needs the per-row path (or its values are not of that type's material size).
  std::optional<uint64_t> page_room(const column_values* columns, uint32_t first, uint32_t count);
  // Writes those rows; returns the bytes they take and sets `widest` to the longest row's
  // tuple size. REQUIRES: page_room() bytes at `at`, which may all be written.
  uint64_t write_page_rows(const column_values* columns, uint32_t first, uint32_t count,
                           std::byte* at, uint32_t& widest);

 private:
  enum class kind : uint8_t {
    int8,
    int16,
    int32,
    int64,
    boolean,
    float32,
    float64,
    seconds_nanos,
    raw16,
    varlen
  };

  // The encoded length of a non-null value of kind K, and its encoding in those n bytes. `room`
  // is how far the row's value area reaches past `to`: bytes beyond n that later values
  // overwrite, so that a short integer may be stored as one whole word.
  template <kind K>
  static uint32_t length_of(bytes_view v);
  template <kind K>
  static void put(bytes_view v, uint32_t n, std::byte* to, uint32_t room);
  // The material size of a kind's values, 0 for variable-length ones.
  template <kind K>
  static constexpr uint32_t material_size();
  // f(std::integral_constant<kind, k>{}), so that a loop over values is typed once.
  template <typename F>
  static void dispatch(kind k, F&& f);

  std::vector<kind> kinds_;
  std::vector<ombrel_type> types_;
  std::vector<uint32_t> lengths_;
  uint32_t value_area_ = 0;
  bool generic_ = false;
  // Per row of write_page_rows(): each column's end offset, and each variable-length column's
  // next start.
  std::vector<uint32_t> row_ends_;
  std::vector<uint64_t> starts_;
  tuple_builder_direct builder_;
};

// ---- Ordering of key values ----

// Order of two fixed-size material values of `type`; FLOAT and DOUBLE put every NaN last, equal
// to each other, and -0.0 equal to 0.0. Throws errors::error "Unimplemented for these types"
// for types it cannot order.
int compare_fixed(ombrel_type type, const std::byte* a, const std::byte* b);
// Order of two length-prefixed material values (each pointer at its 4-byte length).
int compare_varlen(ombrel_type type, const std::byte* a, const std::byte* b);

// Order of two values of `type`: fixed-size ones (fixed_size != 0) in their material form,
// variable-length ones as their payload bytes (no length prefix).
int compare_payload(ombrel_type type, uint32_t fixed_size, bytes_view a, bytes_view b);

inline int compare_value(const material_tuple_schema::element_info& e, const std::byte* a,
                         const std::byte* b) {
  if (e.type == INT64) {
    int64_t x, y;
    std::memcpy(&x, a, 8);
    std::memcpy(&y, b, 8);
    return (x > y) - (x < y);
  }
  return e.size != 0 ? compare_fixed(e.type, a, b) : compare_varlen(e.type, a, b);
}

// Order of the key parts of two material tuples: negative when `a` sorts first.
inline int compare(const material_tuple_schema& schema, const material_tuple& a,
                   const material_tuple& b) {
  for (uint32_t s = 0; s < schema.key_count; ++s) {
    if (int c = compare_value(schema.elements[s], a[s], b[s])) return c;
  }
  return 0;
}

}  // namespace ombrel
