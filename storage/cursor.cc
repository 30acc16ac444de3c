#include "storage/cursor.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "model/ombrel_type_info.h"
#include "native/errors.h"
#include "storage/aggregate_iterator.h"

namespace ombrel {

namespace {

// What an aggregate request needs from the table: the columns to scan, where the group columns
// sit in a scanned row, the function objects and the output schema.
struct aggregate_plan {
  schema_descriptor table_schema;
  bitset projection;
  bitset group_positions;
  schema_descriptor group_schema;
  std::vector<std::unique_ptr<aggregate_function>> functions;
  schema_descriptor output_schema;
};

aggregate_plan plan_aggregate(const schema_descriptor& schema, const ombrel_aggregate& request) {
  const uint64_t n = schema.columns.size();
  aggregate_plan plan;
  plan.table_schema = schema;
  // Group bits beyond the columns are ignored, as projection bits are.
  bitset groups = request.group_set;
  groups.resize(n);
  plan.projection = bitset(n);
  plan.projection |= groups;
  for (const ombrel_aggregate_call& call : request.calls) {
    if (call.column >= 0 && static_cast<uint64_t>(call.column) >= n) {
      throw errors::error("Invalid aggregate call column index.");
    }
    if (call.column >= 0) plan.projection.set(static_cast<uint64_t>(call.column));
  }
  for (uint64_t g = groups.find_first(); g != bitset::npos; g = groups.find_next(g)) {
    if (schema.columns[g].type == NONE) throw errors::error("Unimplemented for these types");
  }
  if (groups.any()) {
    plan.group_positions = bitset(plan.projection.count());
    for (uint64_t g = groups.find_first(); g != bitset::npos; g = groups.find_next(g)) {
      plan.group_positions.set(plan.projection.rank(g) - 1);
    }
  }
  for (const ombrel_aggregate_call& call : request.calls) {
    const auto code = static_cast<ombrel_aggregate_function>(call.function);
    const bool has_column = call.column >= 0;
    const column_descriptor* argument = has_column ? &schema.columns[call.column] : nullptr;
    const int64_t position =
        has_column ? static_cast<int64_t>(plan.projection.rank(call.column)) - 1 : -1;
    auto function = make_aggregate_function(code, position, argument ? argument->type : NONE);
    column_info info = column_info::of_type(function->result_type(), true);
    plan.output_schema.columns.emplace_back(
        function->result_name(argument ? argument->name : std::string()), info);
    plan.functions.push_back(std::move(function));
  }
  plan.output_schema.initialize_positions(
      std::vector<uint32_t>(plan.output_schema.columns.size(), NO_COLUMN));
  plan.group_schema = make_group_set_schema(schema, groups);
  return plan;
}

}  // namespace

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

cursor::cursor(abstract_table* table, tx_timestamp timestamp, const ombrel_aggregate& request) {
  alloc_buf();
  // Refusals come before the scan, so that a refused request holds no partition.
  aggregate_plan plan = plan_aggregate(table->get_schema(), request);
  std::unique_ptr<abstract_iterator> scan =
      table->get_projection_pipeline(timestamp, plan.projection);
  // A column change between the plan and the scan: plan again against the scan's columns.
  for (int attempt = 0; scan && scan->schema() && *scan->schema() != plan.table_schema; ++attempt) {
    aggregate_plan replanned = plan_aggregate(*scan->schema(), request);
    const bool same_columns = replanned.projection == plan.projection;
    plan = std::move(replanned);
    if (same_columns) break;
    if (attempt == 3)
      throw errors::error("The table's columns kept changing during the scan start");
    scan.reset();
    scan = table->get_projection_pipeline(timestamp, plan.projection);
  }
  output_schema_ = std::move(plan.output_schema);
  if (scan) {
    iterator_ = std::make_unique<aggregate_iterator>(std::move(scan), plan.group_positions,
                                                     std::move(plan.group_schema),
                                                     std::move(plan.functions));
  }
  start();
}

// Destroying the iterator may close its partition, so it goes last.
cursor::~cursor() {
  writer_.reset();
  page_.reset();
  retired_pages_.clear();
  pending_.clear();
  iterator_.reset();
}

void cursor::start() {
  runs_ = dynamic_cast<row_run_source*>(iterator_.get());
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

std::byte* cursor::reserve(size_t length) {
  if (length > space_) {
    full_ = true;
    // Not even an empty page holds it: the next page gets a buffer of its size.
    if (count_ == 0) realloc_buf(length + 4);
    return nullptr;
  }
  std::byte* tuple = position_ + 4;
  const auto stored = static_cast<uint32_t>(length);
  std::memcpy(position_, &stored, 4);
  ++count_;
  widest_row_ = std::max<uint64_t>(widest_row_, length + 4);
  if (length + 4 >= space_) {
    full_ = true;
  } else {
    position_ += length + 4;
    space_ -= length + 4;
  }
  return tuple;
}

bool cursor::place(const row_values& row) {
  std::byte* tuple = reserve(writer_->size(row));
  if (tuple == nullptr) return false;
  writer_->write(row, tuple);
  return true;
}

void cursor::place_run(const row_run& run) {
  const uint32_t end = run.first + run.count;
  uint32_t r = run.first;
  run_columns_.resize(run.column_count);
  for (size_t j = 0; j < run.column_count; ++j) run_columns_[j] = run.columns[j]->values();
  if (!full_) {
    // The longest prefix of the run whose room leaves the page unfilled is written in one pass;
    // rows from the one that may fill it on are placed one by one.
    uint32_t fits = run.count;
    std::optional<uint64_t> room = writer_->page_room(run_columns_.data(), r, fits);
    if (room && *room >= space_) {
      uint32_t low = 0;  // room(low) < space_ <= room(high)
      uint32_t high = fits;
      while (high - low > 1) {
        const uint32_t middle = low + (high - low) / 2;
        if (*writer_->page_room(run_columns_.data(), r, middle) < space_) {
          low = middle;
        } else {
          high = middle;
        }
      }
      fits = low;
    }
    if (room && fits != 0) {
      uint32_t widest = 0;
      const uint64_t used =
          writer_->write_page_rows(run_columns_.data(), r, fits, position_, widest);
      position_ += used;
      space_ -= used;
      count_ += fits;
      widest_row_ = std::max<uint64_t>(widest_row_, uint64_t{widest} + 4);
      r += fits;
    }
  }
  run_row_.resize(run.column_count);
  for (; r < end; ++r) {
    for (size_t j = 0; j < run.column_count; ++j) run_row_[j] = run.columns[j]->value(r);
    if (full_ || !place(run_row_)) pending_.push_back(flat_tuple::copy(run_row_));
  }
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
    return iterator_->get_next(
        [&](const row_values& row) { pending_.push_back(flat_tuple::copy(row)); });
  });
}

uint32_t cursor::fill_next_page() {
  return guarded([&]() -> uint32_t {
    position_ = page_.get();
    space_ = capacity_ - 4;
    count_ = 0;
    full_ = false;
    while (!pending_.empty()) {
      if (!place(pending_.front().values())) return count_;
      pending_.pop_front();
      if (full_) return count_;
    }
    if (!iterator_) return 0;
    const abstract_iterator::row_callback take = [this](const row_values& row) {
      if (!place(row)) pending_.push_back(flat_tuple::copy(row));
    };
    if (runs_ != nullptr) {
      // Runs sized to what the page probably still holds: a longer row than seen so far may
      // leave a few rows pending for the next page.
      const row_run_source::run_callback take_run = [this](const row_run& run) { place_run(run); };
      while (!full_) {
        const uint64_t rows = std::clamp<uint64_t>(space_ / widest_row_, 1, MAX_RUN_ROWS);
        if (!runs_->get_next_run(take_run, take, static_cast<uint32_t>(rows))) break;
      }
      return count_;
    }
    while (iterator_->get_next(take)) {
      if (full_) break;
    }
    return count_;
  });
}

}  // namespace ombrel
