#pragma once
// The in-memory, write-optimised part of a partition: row versions in material form, written
// once into large buffers from the buffer pool, ordered by mem_table_pk_index. It only grows
// until it is released whole. Not thread-safe: its row_set serialises the writer against
// readers and the flush.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "memtable/mem_table_buffer_pool.h"
#include "memtable/mem_table_pk_index.h"
#include "model/schema_descriptor.h"
#include "model/sorted_rows.h"
#include "model/tuple.h"

namespace ombrel {

class mem_table final : public sorted_rows {
 public:
  // Where the mem-table gets its buffers from (the row set, on behalf of which the pool may
  // evict other mem-tables).
  class buffer_creator {
   public:
    virtual ~buffer_creator() = default;
    // A buffer of at least `size` bytes from the mem-table's pool, or null.
    virtual mem_table_buffer* create_buffer(size_t size) = 0;
  };

  // An empty mem-table for rows of `schema`; its buffers go back to `pool`.
  explicit mem_table(const schema_descriptor& schema,
                     mem_table_buffer_pool& pool = mem_table_buffer_pool::get_instance());
  ~mem_table() override;
  mem_table(const mem_table&) = delete;
  mem_table& operator=(const mem_table&) = delete;

  // Makes room for one row whose material size bound (parsed_tuple::material_size) is `size`.
  // True when the current buffer has room or a new buffer was obtained from `creator` (the
  // rest of the old one is abandoned); false when `creator` had none.
  bool ensure(size_t size, buffer_creator& creator);
  // Whether ensure(size) would have to ask for a buffer.
  bool needs_buffer(size_t size) const { return remaining_ < size + index_.row_overhead(); }

  // Stores `row` as the version of its key at `timestamp` (a removal when it is key-only).
  // REQUIRES: a successful ensure(row.material_size()) since the last insert; otherwise
  // errors::fatal_error "logic error: not enough space in a mem-table buffer".
  versioned_row insert(const parsed_tuple& row, tx_timestamp timestamp);

  uint64_t entry_count() const { return entry_count_; }
  uint64_t row_count() const override { return entry_count_; }
  // Per table column: the payload bytes of its present length-prefixed values.
  uint64_t varlen_bytes(size_t column) const override {
    return column < varlen_bytes_.size() ? varlen_bytes_[column] : 0;
  }
  // Every entry in index order.
  void write_to(sink& out) const override;
  const mem_table_pk_index& index() const { return index_; }
  const material_tuple_schema& material_schema() const { return index_.schema(); }

  // Calls f(const versioned_row&) for every entry in index order.
  template <typename F>
  void for_each(F&& f) const {
    for (auto* leaf = index_.first_leaf(); leaf != nullptr; leaf = leaf->next) {
      for (uint32_t i = 0; i < leaf->count; ++i) f(index_.entry(leaf, i));
    }
  }

  // Total size of the buffers held.
  uint64_t buffer_bytes() const { return buffer_bytes_; }
  // Bytes of the buffers taken by rows, abandoned tails included.
  uint64_t used_bytes() const { return buffer_bytes_ - remaining_; }

 private:
  struct varlen_slot {
    uint32_t slot;
    uint32_t column;
  };

  mem_table_buffer_pool& pool_;
  mem_table_pk_index index_;
  std::vector<varlen_slot> varlen_slots_;
  std::vector<uint64_t> varlen_bytes_;
  std::vector<mem_table_buffer*> buffers_;
  std::byte* write_position_ = nullptr;
  uint64_t remaining_ = 0;
  uint64_t buffer_bytes_ = 0;
  uint64_t entry_count_ = 0;
};

}  // namespace ombrel
