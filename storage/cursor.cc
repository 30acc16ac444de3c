#include "storage/cursor.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "model/ombrel_type_info.h"
#include "native/errors.h"

namespace ombrel {

schema_descriptor make_output_schema(const schema_descriptor& schema, const bitset& projection) {
  schema_descriptor out;
  out.version = 0;
  const uint64_t limit = std::min<uint64_t>(projection.size(), schema.columns.size());
  for (uint64_t c = 0; c < limit; ++c) {
    if (projection[c]) out.columns.push_back(schema.columns[c]);
  }
  out.initialize_positions(std::vector<uint32_t>(out.columns.size(), NO_COLUMN));
  return out;
}

cursor::cursor(abstract_table* table, tx_timestamp timestamp) {
  alloc_buf();
  // The schema comes with the scan: a column change in between cannot split them.
  iterator_ = table->get_full_pipeline(timestamp);
  output_schema_ = iterator_ && iterator_->schema() ? *iterator_->schema() : table->get_schema();
  start();
}

cursor::cursor(abstract_table* table, tx_timestamp timestamp, const ombrel_table_scan& scan) {
  alloc_buf();
  iterator_ = table->get_projection_pipeline(timestamp, scan.projection);
  const schema_descriptor& base =
      iterator_ && iterator_->schema() ? *iterator_->schema() : table->get_schema();
  output_schema_ = make_output_schema(base, scan.projection);
  start();
}

// Destroying the iterator may close its partition, so it goes last.
cursor::~cursor() {
  writer_.reset();
  page_.reset();
  retired_pages_.clear();
  pending_ = flat_tuple();
  iterator_.reset();
}

void cursor::start() {
  page_schema_.reserve(output_schema_.columns.size());
  for (const column_descriptor& c : output_schema_.columns) {
    page_schema_.push_back({c.type, c.size, ombrel_type_info::get(c.type).varlen});
  }
  writer_.emplace(page_schema_);
}

void cursor::alloc_buf() {
  if (page_) return;
  uint64_t size = PAGE_SIZE;
  for (int attempt = 0; attempt < PAGE_SIZE_ATTEMPTS; ++attempt, size /= 2) {
    try {
      page_ = std::make_unique<std::byte[]>(size);  // zero-filled
      capacity_ = size;
      return;
    } catch (const std::bad_alloc&) {
    }
  }
  throw errors::error("buffer allocation failed");
}

void cursor::realloc_buf(uint64_t size) {
  auto larger = std::make_unique<std::byte[]>(size);
  // The host may still read the old page through a buffer it took before.
  retired_pages_.push_back(std::move(page_));
  page_ = std::move(larger);
  capacity_ = size;
}

bool cursor::place(const row_values& row) {
  const size_t length = writer_->size(row);
  if (length > space_) {
    full_ = true;
    // Not even an empty page holds it: the next page gets a buffer of its size.
    if (count_ == 0) realloc_buf(length + 4);
    return false;
  }
  writer_->write(row, position_ + 4);
  const auto stored = static_cast<uint32_t>(length);
  std::memcpy(position_, &stored, 4);
  ++count_;
  if (length + 4 >= space_) {
    full_ = true;
  } else {
    position_ += length + 4;
    space_ -= length + 4;
  }
  return true;
}

template <typename F>
auto cursor::guarded(F&& body) {
  if (failure_) std::rethrow_exception(failure_);
  try {
    return body();
  } catch (...) {
    failure_ = std::current_exception();
    throw;
  }
}

bool cursor::has_next_page() {
  return guarded([&] {
    if (!pending_.empty()) return true;
    if (!iterator_) return false;
    return iterator_->get_next([&](const row_values& row) { pending_ = flat_tuple::copy(row); });
  });
}

uint32_t cursor::fill_next_page() {
  return guarded([&]() -> uint32_t {
    position_ = page_.get();
    space_ = capacity_ - 4;
    count_ = 0;
    full_ = false;
    if (!pending_.empty()) {
      if (place(pending_.values())) pending_ = flat_tuple();
      if (full_) return count_;
    }
    if (!iterator_) return 0;
    const abstract_iterator::row_callback take = [this](const row_values& row) {
      if (!place(row)) pending_ = flat_tuple::copy(row);
    };
    while (iterator_->get_next(take)) {
      if (full_) break;
    }
    return count_;
  });
}

}  // namespace ombrel
