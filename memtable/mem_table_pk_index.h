#pragma once
// The key index of one mem-table: a B+tree of row versions ordered by key ascending, then by
// timestamp descending, the later insertion first among equal key and timestamp. It also lays
// out each row in the mem-table buffer: a header with the timestamp and the row's element
// pointer array, then the material form. Owned by its mem_table; not thread-safe (the row set
// serialises the writer against readers).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "model/common.h"
#include "model/sorted_rows.h"
#include "model/tuple.h"
#include "model/tuple_schema.h"

namespace ombrel {

class mem_table_pk_index {
 public:
  static constexpr uint32_t NODE_CAPACITY = 32;

  // Leaves form a list in entry order, from first_leaf() along `next`; read their entries with
  // entry() and row_id(). The entry slots follow the node in memory.
  struct leaf_node {
    uint32_t count = 0;
    leaf_node* next = nullptr;
  };

  // Where insert() wrote the row: the new entry and the first byte after its values.
  struct inserted_row {
    versioned_row entry;
    std::byte* end = nullptr;
  };

  explicit mem_table_pk_index(const material_tuple_schema& schema);
  ~mem_table_pk_index();
  mem_table_pk_index(const mem_table_pk_index&) = delete;
  mem_table_pk_index& operator=(const mem_table_pk_index&) = delete;

  // Bytes a row needs besides its material size bound: the header (timestamp and element
  // pointers) and the alignment of the next row.
  uint64_t row_overhead() const { return 15 + 8 * static_cast<uint64_t>(slots_); }

  // Writes `row` at `destination` and indexes it. REQUIRES: `destination` 8-aligned with at
  // least row.material_size() + row_overhead() bytes behind it; `row` parsed against this
  // schema or its key schema (a key-only row is a removal).
  inserted_row insert(tx_timestamp timestamp, const parsed_tuple& row, std::byte* destination);

  // The newest version of `key` (key slots in material form) not newer than `timestamp`.
  std::optional<versioned_row> search(tx_timestamp timestamp, const material_tuple& key) const;

  const leaf_node* first_leaf() const { return first_leaf_; }
  // Entry i < leaf->count of a leaf.
  versioned_row entry(const leaf_node* leaf, uint32_t i) const { return entry_of(row_at(leaf, i)); }
  // Identifies the row of an entry for as long as the mem-table lives.
  const std::byte* row_id(const leaf_node* leaf, uint32_t i) const {
    return reinterpret_cast<const std::byte*>(row_at(leaf, i) & ~TOMBSTONE_TAG);
  }

  const material_tuple_schema& schema() const { return schema_; }
  // Bytes of a leaf node, header and slots.
  uint64_t leaf_bytes() const { return leaf_bytes_; }
  // 0 when empty, 1 when the root is a leaf.
  uint64_t height() const { return height_; }
  uint64_t size() const { return size_; }
  // Heap bytes held by the nodes.
  uint64_t memory_bytes() const;
  // Whether keys are copied into the nodes (a single integer-like key column).
  bool has_inline_keys() const { return fixed_; }

  // Frees all nodes; the index is empty afterwards.
  void release();

 private:
  static constexpr uintptr_t TOMBSTONE_TAG = 1;
  struct inner_node;
  struct probe;
  class node_arena;

  versioned_row entry_of(uintptr_t row) const;
  int64_t inline_key(const std::byte* value) const;
  int compare_key(const std::byte* row, const probe& p) const;
  bool before(const std::byte* row, tx_timestamp row_ts, int64_t row_key, const probe& p) const;
  bool leaf_before(const leaf_node* leaf, uint32_t i, const probe& p) const;
  bool separator_before(const inner_node* node, uint32_t i, const probe& p) const;
  uint32_t leaf_lower_bound(const leaf_node* leaf, const probe& p) const;
  uint32_t child_index(const inner_node* node, const probe& p) const;

  // Node slots. With inline keys a slot is {key, row or child}, so that the pointer found by a
  // key search arrives with the key's cache line; otherwise it is the pointer alone.
  std::byte* slot(const void* node, size_t header, uint32_t i) const {
    return reinterpret_cast<std::byte*>(const_cast<void*>(node)) + header + i * slot_size_;
  }
  uintptr_t& row_at(const leaf_node* leaf, uint32_t i) const;
  void*& child_at(const inner_node* node, uint32_t i) const;
  int64_t& leaf_key(const leaf_node* leaf, uint32_t i) const;
  int64_t& separator_key(const inner_node* node, uint32_t i) const;
  // Moves `count` slots from `from` to `to` within or between nodes of one kind.
  void move_slots(std::byte* to, const std::byte* from, uint32_t count) const;

  leaf_node* new_leaf();
  inner_node* new_inner();
  bool is_full(const void* node, uint64_t height) const;
  void split_child(inner_node* parent, uint32_t i, uint64_t child_height, const probe& p);
  void leaf_insert(leaf_node* leaf, uintptr_t row, const probe& p);

  material_tuple_schema schema_;
  uint32_t slots_;
  uint32_t key_count_;
  bool fixed_;  // single key column whose order is that of a signed 64-bit integer
  ombrel_type fixed_type_ = NONE;
  uint32_t slot_size_;
  uint64_t leaf_bytes_;
  uint64_t inner_bytes_;

  std::unique_ptr<node_arena> arena_;
  void* root_ = nullptr;
  leaf_node* first_leaf_ = nullptr;
  uint64_t height_ = 0;
  uint64_t size_ = 0;
};

}  // namespace ombrel
