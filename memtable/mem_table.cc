#include "memtable/mem_table.h"

#include <cstring>
#include <exception>

#include "native/errors.h"
#include "native/log.h"

namespace ombrel {

mem_table::mem_table(const schema_descriptor& schema, mem_table_buffer_pool& pool)
    : pool_(pool), index_(schema.get_material_schema()), varlen_bytes_(schema.columns.size()) {
  const material_tuple_schema& m = index_.schema();
  for (uint32_t s = 0; s < m.size(); ++s) {
    if (m[s].size == 0) varlen_slots_.push_back({s, m[s].index});
  }
}

mem_table::~mem_table() {
  // A destructor must not throw: a buffer the pool refuses is reported and the others still go
  // back.
  for (mem_table_buffer* b : buffers_) {
    try {
      pool_.put_buffer(b);
    } catch (const std::exception& e) {
      logging::detail::log(logging::level::error, "Failed to return a mem-table buffer: {}",
                           errors::describe(e));
    }
  }
}

bool mem_table::ensure(size_t size, buffer_creator& creator) {
  const uint64_t need = size + index_.row_overhead();
  if (!needs_buffer(size)) return true;
  buffers_.reserve(buffers_.size() + 1);  // so that adopting the buffer cannot fail
  mem_table_buffer* b = creator.create_buffer(need);
  if (b == nullptr) return false;
  buffers_.push_back(b);
  buffer_bytes_ += b->size;
  write_position_ = b->data;
  remaining_ = b->size;
  return remaining_ >= need;
}

versioned_row mem_table::insert(const parsed_tuple& row, tx_timestamp timestamp) {
  if (row.material_size() + index_.row_overhead() > remaining_) {
    throw errors::fatal_error("logic error: not enough space in a mem-table buffer");
  }
  const auto inserted = index_.insert(timestamp, row, write_position_);
  // The next row header stays 8-aligned; the bound above covers the padding.
  const auto used = (static_cast<uint64_t>(inserted.end - write_position_) + 7) & ~uint64_t{7};
  write_position_ += used;
  remaining_ -= used;
  ++entry_count_;
  const material_tuple& t = inserted.entry.tuple;
  for (const varlen_slot& v : varlen_slots_) {
    if (t[v.slot] == nullptr) continue;
    uint32_t length;
    std::memcpy(&length, t[v.slot], sizeof(length));
    varlen_bytes_[v.column] += length;
  }
  return inserted.entry;
}

void mem_table::write_to(sink& out) const {
  // The rows lie in the buffers in insertion order, not in key order: fetch a few entries
  // ahead so that their cache misses overlap.
  constexpr uint32_t PREFETCH_DISTANCE = 8;
  constexpr int PREFETCH_LINES = 3;
  for (const auto* leaf = index_.first_leaf(); leaf != nullptr; leaf = leaf->next) {
    for (uint32_t i = 0; i < leaf->count; ++i) {
      const uint32_t ahead = i + PREFETCH_DISTANCE;
      const auto* owner = ahead < leaf->count ? leaf : leaf->next;
      const uint32_t position = ahead < leaf->count ? ahead : ahead - leaf->count;
      if (owner != nullptr && position < owner->count) {
        const std::byte* row = index_.row_id(owner, position);
        for (int line = 0; line < PREFETCH_LINES; ++line) __builtin_prefetch(row + 64 * line);
      }
      out.add(index_.entry(leaf, i));
    }
  }
}

}  // namespace ombrel
