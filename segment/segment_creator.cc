#include "segment/segment_creator.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>
#include <system_error>
#include <thread>

#include "model/column_descriptor.h"
#include "model/file.h"
#include "model/file_system.h"
#include "native/errors.h"
#include "native/log.h"
#include "segment/column_reader.h"
#include "segment/primary_index.h"
#include "segment/segment.h"
#include "segment/segment_cache.h"

namespace ombrel {
namespace {

constexpr size_t MAX_SYNC_THREADS = 16;

std::optional<bytes_view> material_value(const material_tuple_schema::element_info& element,
                                         const std::byte* value) {
  if (value == nullptr) return std::nullopt;
  if (element.size != 0) return bytes_view(element.size, value);
  uint32_t length;
  std::memcpy(&length, value, sizeof(length));
  return bytes_view(length, value + sizeof(length));
}

}  // namespace

segment_creator::segment_creator(const std::filesystem::path& directory,
                                 const schema_descriptor& schema,
                                 const material_tuple_schema& material_schema)
    : schema_(schema),
      material_schema_(material_schema),
      directory_(directory),
      granularity_(primary_index::configured_granularity()) {
  if (files::exists(directory_)) {
    throw errors::error("segment directory already exists: " + directory_.string());
  }
  files::create_directories(directory_);
  column_creators_.reserve(schema_.columns.size() + 1);
  for (const column_descriptor& column : schema_.columns) {
    column_creators_.emplace_back(directory_, column);
  }
  column_creators_.emplace_back(directory_, column_descriptor::TX_TS);
  schema_.store_to_file(directory_ / segment::SCHEMA_FILENAME);
}

segment_creator::~segment_creator() {
  if (closed_) return;
  try {
    close();
  } catch (const std::exception& e) {
    logging::detail::log(logging::level::debug,
                         "Exception caught while releasing segment_creator: {}",
                         errors::describe(e));
  }
}

void segment_creator::add_entry(const versioned_row& entry) {
  if (entry.tombstone && !tombstone_creator_) make_tombstones_creator();
  const uint32_t key_count = material_schema_.key_count;
  const auto slots = static_cast<uint32_t>(material_schema_.size());
  for (uint32_t s = 0; s < slots; ++s) {
    column_creator& out = column_creators_[schema_.material_order[s]];
    const bool present = s < entry.tuple.size() && !(entry.tombstone && s >= key_count);
    out.add_value(present ? material_value(material_schema_[s], entry.tuple[s]) : std::nullopt);
  }
  column_creators_.back().add_value(bytes_view(&entry.timestamp, sizeof(entry.timestamp)));
  if (tombstone_creator_) {
    const std::byte flag{entry.tombstone ? uint8_t{1} : uint8_t{0}};
    tombstone_creator_->add_value(bytes_view(1, &flag));
  }
  if (row_count_ % granularity_ == 0 && key_count > 0) {
    index_creator_.append_key(material_schema_, entry.tuple);
  }
  ++row_count_;
}

void segment_creator::add_tuple(const column_reader_pack& pack, unsigned row) {
  const size_t columns = column_creators_.size();
  if (pack.readers.size() < columns) {
    throw errors::fatal_error("Reader pack does not hold the segment's columns");
  }
  for (size_t c = 0; c < columns; ++c) {
    if (!pack.readers[c].loaded() || row >= pack.readers[c].row_count()) {
      throw errors::fatal_error("Reader pack has no row " + std::to_string(row));
    }
  }
  uint8_t tombstone = 0;
  if (pack.tombstones) {
    if (!pack.tombstones->loaded() || row >= pack.tombstones->row_count()) {
      throw errors::fatal_error("Reader pack has no tombstone for row " + std::to_string(row));
    }
    tombstone = std::to_integer<uint8_t>(*pack.tombstones->value(row)->data);
  }
  if (tombstone != 0 && !tombstone_creator_) make_tombstones_creator();
  for (size_t c = 0; c < columns; ++c) column_creators_[c].add_value(pack.readers[c].value(row));
  if (tombstone_creator_) {
    const std::byte flag{tombstone};
    tombstone_creator_->add_value(bytes_view(1, &flag));
  }
  add_index_sample(pack, row);
  ++row_count_;
}

void segment_creator::add_row(std::span<const std::optional<bytes_view>> values, bool removal) {
  const size_t columns = column_creators_.size();
  if (values.size() != columns) {
    throw errors::fatal_error("Row of " + std::to_string(values.size()) +
                              " values for a segment of " + std::to_string(columns) + " columns");
  }
  if (removal && !tombstone_creator_) make_tombstones_creator();
  for (size_t c = 0; c < columns; ++c) column_creators_[c].add_value(values[c]);
  if (tombstone_creator_) {
    const std::byte flag{removal ? uint8_t{1} : uint8_t{0}};
    tombstone_creator_->add_value(bytes_view(1, &flag));
  }
  if (row_count_ % granularity_ == 0) {
    for (uint32_t s = 0; s < material_schema_.key_count; ++s) {
      const std::optional<bytes_view>& value = values[schema_.key_columns[s]];
      if (!value) throw errors::error("Null key value in " + directory_.string());
      index_creator_.append_value(material_schema_[s], *value);
    }
  }
  ++row_count_;
}

void segment_creator::add_index_sample(const column_reader_pack& pack, unsigned row) {
  if (row_count_ % granularity_ != 0 || material_schema_.key_count == 0) return;
  for (uint32_t s = 0; s < material_schema_.key_count; ++s) {
    const column_reader& reader = pack.readers[schema_.key_columns[s]];
    const auto value = reader.value(row);
    if (!value) throw errors::error("Null key value in " + reader.path().string());
    index_creator_.append_value(material_schema_[s], *value);
  }
}

void segment_creator::make_tombstones_creator() {
  tombstone_creator_.emplace(directory_, column_descriptor::TOMBSTONE);
  tombstone_creator_->reserve_buffers(static_cast<unsigned>(row_count_), 0);
  const std::byte live{0};
  for (uint64_t r = 0; r < row_count_; ++r) tombstone_creator_->add_value(bytes_view(1, &live));
}

void segment_creator::close() {
  if (closed_) throw errors::error("Double close");
  for (column_creator& c : column_creators_) c.close();
  if (tombstone_creator_) tombstone_creator_->close();
  logging::detail::log(logging::level::debug, "Created a segment with number of elements: {}",
                       row_count_);
  if (row_count_ > 0 && material_schema_.key_count > 0) append_last_key();
  index_creator_.finalize(directory_);
  sync_all();
  stats_.rows = row_count_;
  closed_ = true;
}

void segment_creator::append_last_key() {
  // Only the block holding the last row is read back, not the whole key column.
  const uint64_t last = row_count_ - 1;
  for (uint32_t s = 0; s < material_schema_.key_count; ++s) {
    const column_layout layout(
        column_reader(column_file(directory_, schema_.columns[schema_.key_columns[s]])));
    const auto block = read_value_block(layout, layout.block_of(last));
    index_creator_.append_value(material_schema_[s], block->value(last));
  }
}

void segment_creator::sync_all() {
  // Everything written is durable, and so is the directory's list of it, before the caller
  // may record the segment anywhere.
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::filesystem::path> paths;
  paths.reserve(column_creators_.size() + 4);
  for (const column_creator& c : column_creators_) paths.push_back(c.path());
  if (tombstone_creator_) paths.push_back(tombstone_creator_->path());
  paths.push_back(directory_ / segment::SCHEMA_FILENAME);
  paths.push_back(directory_ / primary_index::FILENAME);
  paths.push_back(directory_);  // last: the directory itself

  // Syncs issued together share the file system's journal commits, so they run side by side.
  const size_t count = paths.size();
  const size_t threads = std::min(count, MAX_SYNC_THREADS);
  std::vector<std::exception_ptr> failures(threads);
  auto sync_share = [&](size_t t) {
    try {
      for (size_t i = t; i < count; i += threads) {
        if (i + 1 == count) {
          files::sync_directory(paths[i]);
        } else {
          file::for_reading(paths[i]).sync();
        }
      }
    } catch (...) {
      failures[t] = std::current_exception();
    }
  };
  {
    std::vector<std::jthread> workers;
    workers.reserve(threads - 1);
    size_t t = 1;
    try {
      for (; t < threads; ++t) workers.emplace_back(sync_share, t);
    } catch (const std::system_error&) {
      for (; t < threads; ++t) sync_share(t);  // no more threads: this one does the rest
    }
    sync_share(0);
  }  // joins the workers
  stats_.sync_time += std::chrono::steady_clock::now() - start;
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

segment_creator::creation_stats segment_creator::create_from_rows(
    const std::filesystem::path& directory, const schema_descriptor& schema,
    const material_tuple_schema& material_schema, const sorted_rows& rows) {
  segment_creator creator(directory, schema, material_schema);
  const auto count = static_cast<unsigned>(rows.row_count());
  for (size_t c = 0; c < schema.columns.size(); ++c) {
    creator.column_creators_[c].reserve_buffers(count, rows.varlen_bytes(c));
  }
  creator.column_creators_.back().reserve_buffers(count, 0);
  struct adder final : sorted_rows::sink {
    explicit adder(segment_creator& target) : target(target) {}
    void add(const versioned_row& row) override { target.add_entry(row); }
    segment_creator& target;
  } sink(creator);
  rows.write_to(sink);
  creator.close();
  return creator.stats_;
}

}  // namespace ombrel
