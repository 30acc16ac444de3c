#include "memtable/mem_table_pk_index.h"

#include <xmmintrin.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "native/errors.h"

namespace ombrel {
namespace {

constexpr uint32_t CAPACITY = mem_table_pk_index::NODE_CAPACITY;
constexpr uint32_t SPLIT_ELEMENT = 16;
// Fills the inline keys of unused slots, so that counting keys below a probe needs no bound.
constexpr int64_t KEY_PAD = INT64_MAX;
constexpr size_t LEAF_HEADER = sizeof(mem_table_pk_index::leaf_node);
constexpr size_t CACHE_LINE = 64;

template <typename T>
T load(const void* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

tx_timestamp timestamp_at(const std::byte* header) { return load<tx_timestamp>(header); }

const std::byte* const* elements_at(const std::byte* header) {
  return reinterpret_cast<const std::byte* const*>(header + sizeof(tx_timestamp));
}

const std::byte* header_of(uintptr_t row) {
  return reinterpret_cast<const std::byte*>(row & ~uintptr_t{1});
}

// Number of the 32 inline keys (slots of 16 bytes, key first) that are below `k`; pads never
// are. All lines of the slots are requested at once, then a branchless binary search runs.
uint32_t count_less(const std::byte* slots, int64_t k) {
  for (size_t line = 0; line < CAPACITY * 16; line += CACHE_LINE) {
    _mm_prefetch(reinterpret_cast<const char*>(slots + line), _MM_HINT_T0);
  }
  auto key = [&](uint32_t i) { return load<int64_t>(slots + 16 * size_t{i}); };
  uint32_t n = 0;
  for (uint32_t step = CAPACITY / 2; step > 0; step /= 2) n += key(n + step - 1) < k ? step : 0;
  return n + (key(n) < k);
}

bool has_inline_form(ombrel_type type) {
  switch (type) {
    case INT8:
    case INT16:
    case INT32:
    case INT64:
    case DATE:
    case TIME:
      return true;
    default:
      return false;
  }
}

uint64_t round16(uint64_t n) { return (n + 15) & ~uint64_t{15}; }

}  // namespace

// Up to 32 children separated by 31 separators: separator i is the last entry of child i's
// subtree when the split that made it happened (its row header and timestamp; with inline
// keys, its key sits in slot i next to child i). Slots follow the node.
struct mem_table_pk_index::inner_node {
  uint32_t count = 0;
  const std::byte* separators[CAPACITY - 1];
  tx_timestamp separator_ts[CAPACITY - 1];
  uint64_t padding = 0;  // slots start 16-aligned
};

// A new entry's position: the row's (or search key's) element pointers, its inline key and
// its timestamp.
struct mem_table_pk_index::probe {
  const std::byte* const* key;
  int64_t inline_key;
  tx_timestamp timestamp;
};

// Bump allocation of nodes in growing chunks; nodes are only freed all together.
class mem_table_pk_index::node_arena {
 public:
  void* allocate(uint64_t n) {
    if (n > left_) {
      const uint64_t size = std::max(n, next_chunk_);
      chunks_.push_back(std::make_unique_for_overwrite<std::byte[]>(size));
      position_ = chunks_.back().get();
      left_ = size;
      bytes_ += size;
      next_chunk_ = std::min<uint64_t>(next_chunk_ * 2, 256 * 1024);
    }
    void* result = position_;
    position_ += n;
    left_ -= n;
    return result;
  }
  uint64_t bytes() const { return bytes_; }

 private:
  std::vector<std::unique_ptr<std::byte[]>> chunks_;
  std::byte* position_ = nullptr;
  uint64_t left_ = 0;
  uint64_t bytes_ = 0;
  uint64_t next_chunk_ = 4096;
};

mem_table_pk_index::mem_table_pk_index(const material_tuple_schema& schema)
    : schema_(schema),
      slots_(static_cast<uint32_t>(schema.size())),
      key_count_(schema.key_count),
      fixed_(schema.key_count == 1 && has_inline_form(schema[0].type)),
      arena_(std::make_unique<node_arena>()) {
  static_assert(sizeof(inner_node) % 16 == 0 && LEAF_HEADER % 16 == 0);
  if (fixed_) fixed_type_ = schema[0].type;
  slot_size_ = fixed_ ? 16 : 8;
  leaf_bytes_ = round16(LEAF_HEADER + CAPACITY * slot_size_);
  inner_bytes_ = round16(sizeof(inner_node) + CAPACITY * slot_size_);
}

mem_table_pk_index::~mem_table_pk_index() = default;

uint64_t mem_table_pk_index::memory_bytes() const { return arena_->bytes(); }

void mem_table_pk_index::release() {
  arena_ = std::make_unique<node_arena>();
  root_ = nullptr;
  first_leaf_ = nullptr;
  height_ = 0;
  size_ = 0;
}

// ---- Slots ----

uintptr_t& mem_table_pk_index::row_at(const leaf_node* leaf, uint32_t i) const {
  return *reinterpret_cast<uintptr_t*>(slot(leaf, LEAF_HEADER, i) + (fixed_ ? 8 : 0));
}

void*& mem_table_pk_index::child_at(const inner_node* node, uint32_t i) const {
  return *reinterpret_cast<void**>(slot(node, sizeof(inner_node), i) + (fixed_ ? 8 : 0));
}

int64_t& mem_table_pk_index::leaf_key(const leaf_node* leaf, uint32_t i) const {
  return *reinterpret_cast<int64_t*>(slot(leaf, LEAF_HEADER, i));
}

int64_t& mem_table_pk_index::separator_key(const inner_node* node, uint32_t i) const {
  return *reinterpret_cast<int64_t*>(slot(node, sizeof(inner_node), i));
}

void mem_table_pk_index::move_slots(std::byte* to, const std::byte* from, uint32_t count) const {
  std::memmove(to, from, size_t{count} * slot_size_);
}

// ---- Order ----

int64_t mem_table_pk_index::inline_key(const std::byte* v) const {
  // The same order as compare_fixed for these types.
  switch (fixed_type_) {
    case INT8:
      return load<int8_t>(v);
    case INT16:
      return load<int16_t>(v);
    case INT32:
      return load<int32_t>(v);
    case DATE: {
      uint32_t packed = 0;
      std::memcpy(&packed, v, 3);
      return static_cast<int32_t>(packed << 8) >> 8;
    }
    case TIME: {
      uint64_t packed = 0;
      std::memcpy(&packed, v, 6);
      return static_cast<int64_t>(packed);
    }
    default:
      return load<int64_t>(v);
  }
}

versioned_row mem_table_pk_index::entry_of(uintptr_t row) const {
  const std::byte* header = header_of(row);
  return versioned_row{timestamp_at(header), material_tuple(elements_at(header), slots_),
                       (row & TOMBSTONE_TAG) != 0};
}

int mem_table_pk_index::compare_key(const std::byte* header, const probe& p) const {
  const std::byte* const* row = elements_at(header);
  for (uint32_t s = 0; s < key_count_; ++s) {
    if (int c = compare_value(schema_[s], row[s], p.key[s])) return c;
  }
  return 0;
}

bool mem_table_pk_index::before(const std::byte* header, tx_timestamp row_ts, int64_t row_key,
                                const probe& p) const {
  const int c =
      fixed_ ? (row_key > p.inline_key) - (row_key < p.inline_key) : compare_key(header, p);
  return c < 0 || (c == 0 && row_ts > p.timestamp);
}

bool mem_table_pk_index::leaf_before(const leaf_node* leaf, uint32_t i, const probe& p) const {
  const std::byte* header = header_of(row_at(leaf, i));
  if (fixed_) {
    const int64_t k = leaf_key(leaf, i);
    if (k != p.inline_key) return k < p.inline_key;
  } else if (int c = compare_key(header, p)) {
    return c < 0;
  }
  return timestamp_at(header) > p.timestamp;
}

bool mem_table_pk_index::separator_before(const inner_node* node, uint32_t i,
                                          const probe& p) const {
  return before(node->separators[i], node->separator_ts[i], fixed_ ? separator_key(node, i) : 0, p);
}

uint32_t mem_table_pk_index::leaf_lower_bound(const leaf_node* leaf, const probe& p) const {
  if (fixed_) {
    uint32_t i = count_less(slot(leaf, LEAF_HEADER, 0), p.inline_key);
    if (i < leaf->count && leaf_key(leaf, i) == p.inline_key) {
      // A row (header, pointers, values) spans two or three lines, whatever its place in the
      // first: they are requested together before the header is read. Only an equal key has
      // its row read, here or by the caller: an insert of a new key fetches no row.
      const std::byte* header = header_of(row_at(leaf, i));
      _mm_prefetch(reinterpret_cast<const char*>(header + CACHE_LINE), _MM_HINT_T0);
      _mm_prefetch(reinterpret_cast<const char*>(header + 2 * CACHE_LINE), _MM_HINT_T0);
    }
    while (i < leaf->count && leaf_key(leaf, i) == p.inline_key &&
           timestamp_at(header_of(row_at(leaf, i))) > p.timestamp) {
      ++i;
    }
    return i;
  }
  uint32_t low = 0;
  uint32_t high = leaf->count;
  while (low < high) {
    const uint32_t mid = (low + high) / 2;
    if (leaf_before(leaf, mid, p)) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low;
}

uint32_t mem_table_pk_index::child_index(const inner_node* node, const probe& p) const {
  const uint32_t separators = node->count - 1;
  if (fixed_) {
    uint32_t i = count_less(slot(node, sizeof(inner_node), 0), p.inline_key);
    while (i < separators && separator_key(node, i) == p.inline_key &&
           node->separator_ts[i] > p.timestamp) {
      ++i;
    }
    return i;
  }
  uint32_t low = 0;
  uint32_t high = separators;
  while (low < high) {
    const uint32_t mid = (low + high) / 2;
    if (separator_before(node, mid, p)) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low;
}

// ---- Insertion ----

mem_table_pk_index::leaf_node* mem_table_pk_index::new_leaf() {
  auto* leaf = new (arena_->allocate(leaf_bytes_)) leaf_node{};
  std::memset(slot(leaf, LEAF_HEADER, 0), 0, CAPACITY * slot_size_);
  if (fixed_) {
    for (uint32_t i = 0; i < CAPACITY; ++i) leaf_key(leaf, i) = KEY_PAD;
  }
  return leaf;
}

mem_table_pk_index::inner_node* mem_table_pk_index::new_inner() {
  auto* node = new (arena_->allocate(inner_bytes_)) inner_node{};
  std::memset(slot(node, sizeof(inner_node), 0), 0, CAPACITY * slot_size_);
  if (fixed_) {
    for (uint32_t i = 0; i < CAPACITY; ++i) separator_key(node, i) = KEY_PAD;
  }
  return node;
}

bool mem_table_pk_index::is_full(const void* node, uint64_t height) const {
  return height == 1 ? static_cast<const leaf_node*>(node)->count == CAPACITY
                     : static_cast<const inner_node*>(node)->count == CAPACITY;
}

// Splits the full child i of `parent` so that the half about to receive `p` is the smaller
// one, and enters the promoted separator and the new right node into `parent`.
void mem_table_pk_index::split_child(inner_node* parent, uint32_t i, uint64_t child_height,
                                     const probe& p) {
  const std::byte* separator;
  tx_timestamp separator_ts;
  int64_t promoted_key = KEY_PAD;
  void* right_node;
  if (child_height == 1) {
    auto* left = static_cast<leaf_node*>(child_at(parent, i));
    const uint32_t keep = leaf_before(left, SPLIT_ELEMENT, p) ? SPLIT_ELEMENT + 1 : SPLIT_ELEMENT;
    leaf_node* right = new_leaf();
    move_slots(slot(right, LEAF_HEADER, 0), slot(left, LEAF_HEADER, keep), CAPACITY - keep);
    right->count = CAPACITY - keep;
    left->count = keep;
    if (fixed_) {
      promoted_key = leaf_key(left, keep - 1);
      for (uint32_t j = keep; j < CAPACITY; ++j) leaf_key(left, j) = KEY_PAD;
    }
    right->next = left->next;
    left->next = right;
    separator = header_of(row_at(left, keep - 1));
    separator_ts = timestamp_at(separator);
    right_node = right;
  } else {
    auto* left = static_cast<inner_node*>(child_at(parent, i));
    const uint32_t keep =
        separator_before(left, SPLIT_ELEMENT, p) ? SPLIT_ELEMENT + 1 : SPLIT_ELEMENT;
    inner_node* right = new_inner();
    // Children keep.. and the separators between them move; separator keep-1 goes up.
    move_slots(slot(right, sizeof(inner_node), 0), slot(left, sizeof(inner_node), keep),
               CAPACITY - keep);
    std::copy(left->separators + keep, left->separators + CAPACITY - 1, right->separators);
    std::copy(left->separator_ts + keep, left->separator_ts + CAPACITY - 1, right->separator_ts);
    right->count = CAPACITY - keep;
    left->count = keep;
    separator = left->separators[keep - 1];
    separator_ts = left->separator_ts[keep - 1];
    if (fixed_) {
      promoted_key = separator_key(left, keep - 1);
      for (uint32_t j = keep - 1; j < CAPACITY; ++j) separator_key(left, j) = KEY_PAD;
    }
    right_node = right;
  }
  // Separators i.. and children i+1.. move one place right.
  const uint32_t separators = parent->count - 1;
  std::copy_backward(parent->separators + i, parent->separators + separators,
                     parent->separators + separators + 1);
  std::copy_backward(parent->separator_ts + i, parent->separator_ts + separators,
                     parent->separator_ts + separators + 1);
  parent->separators[i] = separator;
  parent->separator_ts[i] = separator_ts;
  if (fixed_) {
    // Slot j holds separator j's key and child j: keys shift from i, children from i + 1.
    for (uint32_t j = parent->count; j > i; --j) {
      child_at(parent, j) = child_at(parent, j - 1);
      separator_key(parent, j) = separator_key(parent, j - 1);
    }
    separator_key(parent, i) = promoted_key;
  } else {
    move_slots(slot(parent, sizeof(inner_node), i + 1), slot(parent, sizeof(inner_node), i),
               parent->count - i);
  }
  child_at(parent, i + 1) = right_node;
  ++parent->count;
}

void mem_table_pk_index::leaf_insert(leaf_node* leaf, uintptr_t row, const probe& p) {
  const uint32_t i = leaf_lower_bound(leaf, p);
  move_slots(slot(leaf, LEAF_HEADER, i + 1), slot(leaf, LEAF_HEADER, i), leaf->count - i);
  row_at(leaf, i) = row;
  if (fixed_) leaf_key(leaf, i) = p.inline_key;
  ++leaf->count;
}

mem_table_pk_index::inserted_row mem_table_pk_index::insert(tx_timestamp timestamp,
                                                            const parsed_tuple& row,
                                                            std::byte* destination) {
  if (row.slot_count() > slots_ || row.material_schema().key_count != key_count_) {
    throw errors::fatal_error("logic error: row does not match the mem-table schema");
  }
  std::memcpy(destination, &timestamp, sizeof(timestamp));
  auto** elements = reinterpret_cast<const std::byte**>(destination + sizeof(tx_timestamp));
  material_tuple_builder builder{destination + sizeof(tx_timestamp) + 8 * uint64_t{slots_},
                                 elements};
  row.make_material_tuple(builder);
  // Key-only rows (removals) supply the key slots only.
  std::fill(elements + row.slot_count(), elements + slots_, nullptr);

  const uintptr_t ref =
      reinterpret_cast<uintptr_t>(destination) | (row.key_only() ? TOMBSTONE_TAG : 0);
  const probe p{elements, fixed_ ? inline_key(elements[0]) : 0, timestamp};
  if (height_ == 0) {
    leaf_node* leaf = new_leaf();
    leaf_insert(leaf, ref, p);
    root_ = leaf;
    first_leaf_ = leaf;
    height_ = 1;
  } else {
    if (is_full(root_, height_)) {
      inner_node* root = new_inner();
      root->count = 1;
      child_at(root, 0) = root_;
      split_child(root, 0, height_, p);
      root_ = root;
      ++height_;
    }
    void* node = root_;
    for (uint64_t h = height_; h > 1; --h) {
      auto* inner = static_cast<inner_node*>(node);
      uint32_t i = child_index(inner, p);
      if (is_full(child_at(inner, i), h - 1)) {
        split_child(inner, i, h - 1, p);
        if (separator_before(inner, i, p)) ++i;
      }
      node = child_at(inner, i);
    }
    leaf_insert(static_cast<leaf_node*>(node), ref, p);
  }
  ++size_;
  return inserted_row{versioned_row{timestamp, material_tuple(elements, slots_), row.key_only()},
                      builder.position};
}

// ---- Search ----

std::optional<versioned_row> mem_table_pk_index::search(tx_timestamp timestamp,
                                                        const material_tuple& key) const {
  if (height_ == 0) return std::nullopt;
  const probe p{key.elements(), fixed_ ? inline_key(key[0]) : 0, timestamp};
  const void* node = root_;
  for (uint64_t h = height_; h > 1; --h) {
    const auto* inner = static_cast<const inner_node*>(node);
    node = child_at(inner, child_index(inner, p));
  }
  const auto* leaf = static_cast<const leaf_node*>(node);
  const uint32_t i = leaf_lower_bound(leaf, p);
  if (i == leaf->count) return std::nullopt;
  const std::byte* header = header_of(row_at(leaf, i));
  if (fixed_ ? leaf_key(leaf, i) != p.inline_key : compare_key(header, p) != 0) {
    return std::nullopt;
  }
  return entry_of(row_at(leaf, i));
}

}  // namespace ombrel
