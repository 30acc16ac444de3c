// The ordered scan of a row set and the key copies it keeps.
#include <algorithm>
#include <cstring>

#include "memtable/row_set.h"
#include "native/errors.h"

namespace ombrel {
namespace {

uint64_t align(uint64_t offset, uint32_t mask) { return (offset + mask) & ~uint64_t{mask}; }

// Rows lie in the mem-table in insertion order, not in key order: a scan asks for the rows a
// few entries ahead early, so that their cache misses overlap. `span` is how many bytes of a
// row are read (rows of a table are mostly of similar length).
void prefetch_ahead(const mem_table_pk_index& index, const mem_table_pk_index::leaf_node* leaf,
                    uint32_t position, size_t span = 128) {
  constexpr uint32_t AHEAD = 8;
  constexpr size_t LINE = 64;
  uint32_t i = position + AHEAD;
  if (i >= leaf->count) {
    i -= leaf->count;
    leaf = leaf->next;
    if (leaf == nullptr || i >= leaf->count) return;
    // Leaves lie where their splits put them: the one after is asked for a leaf early, so
    // that stepping onto it does not wait on its slots.
    if (i == 0 && leaf->next != nullptr) {
      const auto* next = reinterpret_cast<const std::byte*>(leaf->next);
      for (size_t offset = 0; offset < index.leaf_bytes(); offset += LINE) {
        __builtin_prefetch(next + offset);
      }
    }
  }
  const std::byte* row = index.row_id(leaf, i);
  const auto start = reinterpret_cast<uintptr_t>(row) & ~uintptr_t{LINE - 1};
  const uintptr_t end = reinterpret_cast<uintptr_t>(row) + std::min<size_t>(span, 4 * LINE);
  for (uintptr_t line = start; line < end; line += LINE) {
    __builtin_prefetch(reinterpret_cast<const void*>(line));
  }
}

}  // namespace

// ---- key_buffer ----

row_set::key_buffer::key_buffer(const material_tuple_schema& schema)
    : elements_(schema.elements.begin(), schema.elements.begin() + schema.key_count),
      pointers_(schema.key_count) {}

std::byte* row_set::key_buffer::reserve(size_t bytes) {
  storage_.resize((bytes + 7) / 8);
  return reinterpret_cast<std::byte*>(storage_.data());
}

void row_set::key_buffer::assign(const material_tuple& tuple) {
  uint64_t size = 0;
  for (size_t s = 0; s < elements_.size(); ++s) {
    const auto& e = elements_[s];
    size = align(size, e.align_mask);
    if (e.size != 0) {
      size += e.size;
    } else {
      uint32_t length;
      std::memcpy(&length, tuple[s], sizeof(length));
      size += sizeof(length) + length;
    }
  }
  std::byte* base = reserve(size);
  uint64_t offset = 0;
  for (size_t s = 0; s < elements_.size(); ++s) {
    const auto& e = elements_[s];
    offset = align(offset, e.align_mask);
    uint64_t n = e.size;
    if (n == 0) {
      uint32_t length;
      std::memcpy(&length, tuple[s], sizeof(length));
      n = sizeof(length) + length;
    }
    std::memcpy(base + offset, tuple[s], n);
    pointers_[s] = base + offset;
    offset += n;
  }
}

void row_set::key_buffer::assign(const row_values& key) {
  if (key.size() < elements_.size()) {
    throw errors::fatal_error("logic error: flushed rows gave an incomplete key");
  }
  uint64_t size = 0;
  for (size_t s = 0; s < elements_.size(); ++s) {
    size = align(size, elements_[s].align_mask);
    const uint64_t length = key[s] ? key[s]->size() : 0;
    size += elements_[s].size != 0 ? elements_[s].size : sizeof(uint32_t) + length;
  }
  std::byte* base = reserve(size);
  uint64_t offset = 0;
  for (size_t s = 0; s < elements_.size(); ++s) {
    const auto& e = elements_[s];
    offset = align(offset, e.align_mask);
    pointers_[s] = base + offset;
    const bytes_view v = key[s].value_or(bytes_view());
    if (e.size != 0) {
      if (v.size() != e.size) throw errors::fatal_error("logic error: key value of a wrong size");
      std::memcpy(base + offset, v.data, e.size);
      offset += e.size;
    } else {
      const auto length = static_cast<uint32_t>(v.size());
      std::memcpy(base + offset, &length, sizeof(length));
      if (length != 0) std::memcpy(base + offset + sizeof(length), v.data, length);
      offset += sizeof(length) + length;
    }
  }
}

// ---- row_set::get_iterator and the iterator ----

row_set::iterator row_set::get_iterator(const material_tuple_schema& schema) {
  iterator it;
  it.rows_ = shared_from_this();
  it.key_ = key_buffer(schema);
  read_guard guard(*this);
  const read_state& state = guard.state();
  if (state.flushed) {
    if (state.fallback) it.cursor_ = state.fallback->first();
    if (it.cursor_) it.rest_on_cursor();
    return it;
  }
  if (state.table == nullptr) return it;
  const auto* leaf = state.table->index().first_leaf();
  if (leaf == nullptr || leaf->count == 0) return it;
  it.rest_on_entry(state.table->index(), leaf, 0);
  return it;
}

void row_set::iterator::rest_on_entry(const mem_table_pk_index& index,
                                      const mem_table_pk_index::leaf_node* leaf,
                                      uint32_t position) {
  const versioned_row entry = index.entry(leaf, position);
  leaf_ = leaf;
  position_ = position;
  row_ = index.row_id(leaf, position);
  tuple_ = entry.tuple;
  timestamp_ = entry.timestamp;
  tombstone_ = entry.tombstone;
  key_.assign(entry.tuple);
  valid_ = true;
  copied_ = false;
}

void row_set::iterator::rest_on_cursor() {
  timestamp_ = cursor_->timestamp();
  tombstone_ = cursor_->is_tombstone();
  cursor_->read_key(key_values_);
  key_.assign(key_values_);
  tuple_ = material_tuple();
  leaf_ = nullptr;
  row_ = nullptr;
  valid_ = true;
  copied_ = false;
}

bool row_set::iterator::advance_cursor() {
  if (!cursor_->next()) {
    valid_ = false;
    return false;
  }
  rest_on_cursor();
  return true;
}

void row_set::iterator::switch_to(const std::shared_ptr<flushed_rows>& fallback,
                                  const picked_columns& picker) {
  std::unique_ptr<row_cursor> cursor;
  if (fallback) cursor = fallback->position(timestamp_, key_.get(), picker);
  if (!cursor) throw errors::error("Cursor failed to switch to a fallback segment");
  cursor_ = std::move(cursor);
  leaf_ = nullptr;
  row_ = nullptr;
  tuple_ = material_tuple();
}

void row_set::iterator::switch_to_fallback(const picked_columns& picker) {
  switch_to(rows_ ? rows_->fallback() : nullptr, picker);
}

std::pair<const mem_table_pk_index::leaf_node*, uint32_t> row_set::iterator::locate(
    const mem_table_pk_index& index) const {
  // Inserts since the last step may have moved the entry right, or into a leaf split off
  // after its own; it never moves left.
  const auto* leaf = leaf_;
  uint32_t i = position_;
  for (;;) {
    if (leaf == nullptr) throw errors::fatal_error("logic error: mem-table entry vanished");
    if (i < leaf->count) {
      if (index.row_id(leaf, i) == row_) return {leaf, i};
      ++i;
    } else {
      leaf = leaf->next;
      i = 0;
    }
  }
}

bool row_set::iterator::get_next_tuple(const picked_columns& picker) {
  if (!valid_) return false;
  if (cursor_) return advance_cursor();
  read_guard guard(*rows_);
  const read_state& state = guard.state();
  if (state.flushed) {
    switch_to(state.fallback, picker);
    return advance_cursor();
  }
  const mem_table_pk_index& index = state.table->index();
  auto [leaf, i] = locate(index);
  if (++i == leaf->count) {
    leaf = leaf->next;
    i = 0;
  }
  if (leaf == nullptr) {
    valid_ = false;
    return false;
  }
  prefetch_ahead(index, leaf, i);
  rest_on_entry(index, leaf, i);
  return true;
}

row_set::read_lock row_set::iterator::read_tuple(const picked_columns& picker, row_values& out) {
  if (!valid_) throw errors::fatal_error("logic error: read from an exhausted mem-table iterator");
  if (!cursor_) {
    read_guard guard(*rows_);
    const read_state& state = guard.state();
    if (!state.flushed) {
      read_values(state.table->material_schema(), tuple_, picker, out);
      return guard.to_lock();
    }
    switch_to(state.fallback, picker);
  }
  cursor_->read(picker, out);
  return {};
}

bool row_set::iterator::next_batch(const picked_columns& picker, uint32_t max_entries,
                                   entry_batch& out) {
  out.clear(key_.size(), picker.size());
  if (!valid_) return false;
  if (cursor_) return batch_from_cursor(picker, max_entries, out);
  read_guard guard(*rows_);
  const read_state& state = guard.state();
  if (state.flushed) {
    switch_to(state.fallback, picker);
    return batch_from_cursor(picker, max_entries, out);
  }
  const mem_table_pk_index& index = state.table->index();
  auto [leaf, i] = locate(index);
  if (copied_ && ++i == leaf->count) {
    leaf = leaf->next;
    i = 0;
  }
  if (leaf == nullptr) {
    valid_ = false;
    return false;
  }
  const material_tuple_schema& material = state.table->material_schema();
  const size_t keys = material.key_count;
  std::vector<bytes_view>& key = out.key_scratch_;
  row_values& values = out.value_scratch_;
  key.resize(keys);
  const mem_table_pk_index::leaf_node* last_leaf = leaf;
  uint32_t last = i;
  size_t span = span_;
  while (out.size() < max_entries) {
    prefetch_ahead(index, leaf, i, span);
    const versioned_row entry = index.entry(leaf, i);
    for (uint32_t s = 0; s < keys; ++s)
      key[s] = slot_value(material, entry.tuple, s).value_or(bytes_view());
    // A removal holds its key columns only.
    if (entry.tombstone) {
      values.assign(picker.size(), std::nullopt);
    } else {
      read_values(material, entry.tuple, picker, values);
      const std::byte* row = index.row_id(leaf, i);
      for (const std::optional<bytes_view>& v : values) {
        if (v) span = std::max<size_t>(span, static_cast<size_t>(v->data + v->size() - row));
      }
    }
    if (!out.append(entry.timestamp, entry.tombstone)) break;
    last_leaf = leaf;
    last = i;
    if (++i == leaf->count) {
      leaf = leaf->next;
      i = 0;
      if (leaf == nullptr) break;
    }
  }
  span_ = span;
  rest_on_entry(index, last_leaf, last);
  copied_ = true;
  return true;
}

bool row_set::iterator::batch_from_cursor(const picked_columns& picker, uint32_t max_entries,
                                          entry_batch& out) {
  if (copied_ && !advance_cursor()) return false;
  std::vector<bytes_view>& key = out.key_scratch_;
  row_values& values = out.value_scratch_;
  for (;;) {
    const bool tombstone = cursor_->is_tombstone();
    cursor_->read_key(key_values_);
    key.resize(key_values_.size());
    for (size_t s = 0; s < key.size(); ++s) key[s] = key_values_[s].value_or(bytes_view());
    if (tombstone) {
      values.assign(picker.size(), std::nullopt);
    } else {
      cursor_->read(picker, values);
    }
    if (!out.append(cursor_->timestamp(), tombstone)) {
      // Did not fit: it goes out first in the next batch.
      rest_on_cursor();
      return true;
    }
    copied_ = true;
    if (out.size() == max_entries) break;
    if (!cursor_->next()) {
      // Nothing follows on a segment: the copies are all that is left.
      valid_ = false;
      return true;
    }
  }
  rest_on_cursor();
  copied_ = true;
  return true;
}

// ---- entry_batch ----

void row_set::entry_batch::clear(size_t key_count, size_t value_count) {
  key_count_ = key_count;
  value_count_ = value_count;
  entries_.clear();
  keys_.clear();
  values_.clear();
  used_ = 0;
}

bool row_set::entry_batch::append(tx_timestamp timestamp, bool tombstone) {
  size_t bytes = 0;
  for (const bytes_view& k : key_scratch_) bytes += k.size();
  for (const std::optional<bytes_view>& v : value_scratch_) bytes += v ? v->size() : 0;
  if (bytes > bytes_.size() - used_) {
    if (!entries_.empty()) return false;
    // Nothing points into the bytes yet.
    bytes_.resize(std::max(bytes, MIN_BYTES));
  }
  std::byte* to = bytes_.data() + used_;
  used_ += bytes;
  for (const bytes_view& k : key_scratch_) {
    if (k.size() != 0) std::memcpy(to, k.data, k.size());
    keys_.push_back(bytes_view(k.size(), to));
    to += k.size();
  }
  for (const std::optional<bytes_view>& v : value_scratch_) {
    if (!v) {
      values_.emplace_back();
      continue;
    }
    if (v->size() != 0) std::memcpy(to, v->data, v->size());
    values_.emplace_back(bytes_view(v->size(), to));
    to += v->size();
  }
  entries_.push_back(entry{timestamp, tombstone});
  return true;
}

}  // namespace ombrel
