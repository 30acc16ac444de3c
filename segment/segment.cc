#include "segment/segment.h"

#include <fmt/format.h>

#include <algorithm>
#include <exception>
#include <string>
#include <utility>

#include "model/file_system.h"
#include "native/config.h"
#include "native/errors.h"
#include "native/log.h"
#include "segment/segment_creator.h"

namespace ombrel {

// ---- column_reader_pack ----

void column_reader_pack::prepare(const segment& s, unsigned count) {
  readers.clear();
  readers.reserve(count);
  for (unsigned c = 0; c < count && c < s.columns().size(); ++c) {
    readers.emplace_back(s.columns()[c]);
    readers.back().read_file_and_decompress();
  }
  tombstones.reset();
  if (s.tombstones()) {
    tombstones.emplace(*s.tombstones());
    tombstones->read_file_and_decompress();
  }
}

void column_reader_pack::prepare_in_picker_order(const segment& s, const column_picker& picker,
                                                 unsigned count) {
  readers.clear();
  readers.reserve(count);
  for (unsigned i = 0; i < count && i < picker.columns().size(); ++i) {
    readers.emplace_back(s.columns().at(picker.columns()[i]));
    readers.back().read_file_and_decompress();
  }
  tombstones.reset();
  if (s.tombstones()) {
    tombstones.emplace(*s.tombstones());
    tombstones->read_file_and_decompress();
  }
}

// ---- segment ----

namespace {

uint32_t configured_group_rows() {
  const uint64_t hint = config::get_config().merge_tree_column_block_size_hint;
  return static_cast<uint32_t>(std::clamp<uint64_t>(hint, 1, uint64_t{1} << 24));
}

}  // namespace

segment::segment(const std::filesystem::path& directory)
    : schema_(*load_schema_from_file(directory / SCHEMA_FILENAME)),
      material_schema_(schema_.get_material_schema()),
      directory_(directory),
      columns_(make_columns(directory_, schema_)),
      index_(directory_, material_schema_, columns_),
      size_(column_reader(columns_.back()).row_count()),
      cache_(segment_cache::instance()),
      cache_id_(segment_cache::new_segment_id()),
      group_rows_(configured_group_rows()),
      layout_once_(std::make_unique<std::once_flag[]>(columns_.size() + 1)),
      layouts_(columns_.size() + 1) {
  for (size_t c = 0; c + 1 < columns_.size(); ++c) {
    check_rows(columns_[c], column_reader(columns_[c]).row_count());
  }
  initialize_tombstones();
  fit_index();
}

segment::segment(std::filesystem::path directory, schema_descriptor schema, const sorted_rows& rows)
    : schema_(std::move(schema)),
      material_schema_(schema_.get_material_schema()),
      directory_(std::move(directory)),
      columns_(make_columns(directory_, schema_, material_schema_, rows)),
      index_(directory_, material_schema_, columns_),
      size_(static_cast<uint32_t>(rows.row_count())),
      cache_(segment_cache::instance()),
      cache_id_(segment_cache::new_segment_id()),
      group_rows_(configured_group_rows()),
      layout_once_(std::make_unique<std::once_flag[]>(columns_.size() + 1)),
      layouts_(columns_.size() + 1) {
  remove_on_destroy_ = false;
  initialize_tombstones();
}

void segment::set_remove_on_destroy(std::shared_ptr<const void> until_removed) {
  {
    std::scoped_lock lock(until_removed_mutex_);
    until_removed_ = std::move(until_removed);
  }
  remove_on_destroy_.store(true);
}

segment::~segment() {
  cache_.erase_segment(cache_id_);
  if (!remove_on_destroy_.load()) return;
  try {
    files::remove_all(directory_);
  } catch (const std::exception& e) {
    logging::detail::log(logging::level::debug, "Exception occurred in dtor of segment {}: {}",
                         directory_.string(), errors::describe(e));
  }
}

std::vector<column_file> segment::make_columns(const std::filesystem::path& directory,
                                               const schema_descriptor& schema) {
  std::vector<column_file> columns;
  columns.reserve(schema.columns.size() + 2);
  for (const column_descriptor& c : schema.columns) columns.emplace_back(directory, c);
  columns.emplace_back(directory, column_descriptor::TX_TS);
  return columns;
}

std::vector<column_file> segment::make_columns(const std::filesystem::path& directory,
                                               const schema_descriptor& schema,
                                               const material_tuple_schema& material_schema,
                                               const sorted_rows& rows) {
  segment_creator::create_from_rows(directory, schema, material_schema, rows);
  return make_columns(directory, schema);
}

void segment::initialize_tombstones() {
  const column_file candidate(directory_, column_descriptor::TOMBSTONE);
  if (!files::exists(candidate.path())) return;
  column_reader check(candidate);  // reports a damaged trailer or header table now
  check_rows(candidate, check.row_count());
  tombstones_ = candidate;
}

void segment::check_rows(const column_file& file, uint32_t rows) const {
  if (rows == size_) return;
  // The timestamp column is the reference: every segment has one.
  throw errors::error(fmt::format("Segment files disagree: {} holds {} rows, {} holds {}",
                                  file.path().string(), rows, columns_.back().path().string(),
                                  size_));
}

void segment::save_to_directory(const std::filesystem::path& target) const {
  files::copy_directory(directory_, target);
}

// ---- block access ----

const column_layout& segment::layout(uint32_t slot) const {
  std::call_once(layout_once_[slot], [&] {
    const column_file& cf = slot == tombstone_slot() ? tombstones_.value() : columns_.at(slot);
    layouts_[slot] = std::make_unique<const column_layout>(column_reader(cf));
  });
  return *layouts_[slot];
}

segment_cache::block_ptr segment::value_block(uint32_t slot, uint64_t row) const {
  const column_layout& l = layout(slot);
  return read_value_block(l, l.block_of(row));
}

std::shared_ptr<const row_group> segment::row_group_of(uint64_t row) const {
  const auto group = static_cast<uint32_t>(row / group_rows_);
  const segment_cache::key k{cache_id_, segment_cache::ROW_GROUP, group};
  // Value slots (the columns, then the tombstone column), then their null maps.
  const auto slots = static_cast<uint32_t>(2 * (columns_.size() + 1));
  return std::static_pointer_cast<const row_group>(cache_.get(k, [&] {
    return std::make_shared<const row_group>(group, group * group_rows_, group_rows_, slots);
  }));
}

const decoded_block& segment::group_block(const row_group& group, uint32_t slot,
                                          uint64_t row) const {
  if (const decoded_block* held = group.find(slot, row)) return *held;
  const column_layout& l = layout(slot);
  uint64_t added = 0;
  const decoded_block* held = group.add(slot, row, read_point_block(l, l.block_of(row)), added);
  cache_.charge({cache_id_, segment_cache::ROW_GROUP, group.group()}, &group, added);
  return *held;
}

const decoded_block* segment::group_nulls(const row_group& group, uint32_t slot) const {
  const auto nulls_slot = static_cast<uint32_t>(slot + columns_.size() + 1);
  if (const decoded_block* held = group.find(nulls_slot, group.first_row())) return held;
  const segment_cache::block_ptr map = null_map(slot);
  if (!map) return nullptr;
  uint64_t added = 0;
  const decoded_block* held = group.add(
      nulls_slot, group.first_row(), slice_null_map(*map, group.first_row(), group.rows()), added);
  cache_.charge({cache_id_, segment_cache::ROW_GROUP, group.group()}, &group, added);
  return held;
}

segment_cache::block_ptr segment::null_map(uint32_t slot) const {
  const column_layout& l = layout(slot);
  if (!l.has_null_map()) return nullptr;
  const segment_cache::key k{cache_id_, slot, l.null_map_header()};
  return std::static_pointer_cast<const decoded_block>(
      cache_.get(k, [&] { return read_null_map(l); }));
}

std::shared_ptr<const segment> segment::keep_alive() const { return weak_from_this().lock(); }

}  // namespace ombrel
