#include "tree/merge_tree.h"

#include <fmt/format.h>

#include <algorithm>
#include <string>
#include <unordered_set>

#include "model/file.h"
#include "model/file_system.h"
#include "model/tuple.h"
#include "native/errors.h"
#include "native/log.h"
#include "tree/merge_helper.h"
#include "tree/merge_tree_iterator.h"
#include "tree/thread_pool.h"

namespace ombrel {

// ---- merge_tree_updater ----

merge_tree_updater::merge_tree_updater(merge_tree_updater&& other) noexcept
    : tree_(std::exchange(other.tree_, nullptr)),
      state_(std::move(other.state_)),
      erased_(std::move(other.erased_)),
      retired_(std::move(other.retired_)) {}

merge_tree_updater& merge_tree_updater::operator=(merge_tree_updater&& other) noexcept {
  if (this != &other) {
    release();
    tree_ = std::exchange(other.tree_, nullptr);
    state_ = std::move(other.state_);
    erased_ = std::move(other.erased_);
    retired_ = std::move(other.retired_);
  }
  return *this;
}

merge_tree_updater::~merge_tree_updater() { release(); }

void merge_tree_updater::release() {
  if (tree_ != nullptr) {
    tree_->unblock_tree(*this);
    tree_ = nullptr;
  }
  state_.reset();
  erased_.clear();
  retired_.clear();
}

// ---- merge_tree ----

void merge_tree::check_schema(const schema_descriptor& schema) {
  std::unordered_set<std::string> names;
  for (size_t c = 0; c < schema.columns.size(); ++c) {
    if (schema.is_key_column(static_cast<uint32_t>(c)) && schema.columns[c].nullable) {
      throw errors::error("Nullable column in key segment");
    }
    names.insert(schema.columns[c].name);
  }
  if (names.size() != schema.columns.size()) {
    throw errors::error("Can't create merge-tree with given schema.");
  }
}

merge_tree::merge_tree(const schema_descriptor& schema, const std::filesystem::path& directory)
    : schema_(schema), directory_(directory), namer_(directory) {
  check_schema(schema_);
  build_schema_caches();
  files::create_directories(directory_);
  schema_.store_to_file(directory_ / SCHEMA_FILENAME);
  recover();
}

merge_tree::merge_tree(const std::filesystem::path& directory)
    : directory_(directory), namer_(directory) {
  try {
    if (files::exists(directory_ / DROPPED_FILENAME) ||
        !files::exists(directory_ / SCHEMA_FILENAME)) {
      // A dropped tree is only ever removed: its schema is not needed, and may be gone already,
      // and its layout is not worth recovering.
      dropped_ = true;
      publish_empty_state();
    } else {
      schema_.load_from_file(directory_ / SCHEMA_FILENAME);
      build_schema_caches();
      recover();
    }
  } catch (const std::exception& e) {
    throw errors::error(fmt::format("Could not load merge-tree from directory \"{}\" : {}",
                                    directory_.string(), errors::describe(e)));
  }
}

merge_tree::~merge_tree() {
  closing_ = true;
  try {
    if (!dropped_) flush_memtable_internal();
  } catch (const std::exception& e) {
    logging::detail::log(logging::level::error, "Failed to flush memtable to {}: {}",
                         directory_.string(), errors::describe(e));
  }
  // The row sets must not outlive their tree with a mem-table that still refers to it.
  discard_memtables();
  // An eviction that chose one of our mem-tables before they went still calls back.
  for (int n = evictions_in_flight_.load(); n != 0; n = evictions_in_flight_.load()) {
    evictions_in_flight_.wait(n);
  }
  removals_.reset();
  removals_done_.wait();
}

void merge_tree::merge_into(merge_helper& merge, tx_timestamp low_watermark) {
  try {
    merge.merge(namer_, low_watermark);
  } catch (...) {
    remove_when_unused(merge.created());
    throw;
  }
}

void merge_tree::remove_when_unused(const std::vector<std::shared_ptr<segment>>& segments) {
  for (const auto& s : segments) {
    if (s) s->set_remove_on_destroy(removals_);
  }
}

void merge_tree::build_schema_caches() {
  key_tuple_schema_ = schema_.get_key_tuple_schema();
  key_material_schema_ = schema_.get_material_key_schema();
  row_tuple_schema_ = schema_.get_tuple_schema();
  row_material_schema_ = schema_.get_material_schema();
  all_columns_ = picked_columns::all(schema_);
  no_columns_ = picked_columns::of(schema_, {});
  schema_versions_.push_back(std::make_unique<const schema_descriptor>(schema_));
  published_schema_ = schema_versions_.back().get();
}

void merge_tree::publish_empty_state() {
  std::scoped_lock lock(state_mutex_);
  state_ = std::make_shared<tree_state>();
}

std::shared_ptr<tree_state> merge_tree::get_state() const {
  std::scoped_lock lock(state_mutex_);
  return state_;
}

std::shared_ptr<tree_state> merge_tree::get_state(const merge_tree_updater& updater) const {
  return updater.state() ? updater.state() : get_state();
}

merge_tree_updater merge_tree::block_tree_wait() {
  std::unique_lock lock(state_mutex_);
  unblocked_.wait(lock, [this] { return !blocked_; });
  blocked_ = true;
  return merge_tree_updater(this);
}

std::unique_ptr<row_set::tree_block> merge_tree::block_tree() {
  std::scoped_lock lock(state_mutex_);
  if (blocked_) return nullptr;
  blocked_ = true;
  return std::make_unique<merge_tree_updater>(this);
}

void merge_tree::unblock_tree(const merge_tree_updater& updater) {
  std::scoped_lock lock(state_mutex_);
  if (updater.state()) {
    // Rebased on the mem-tables as they are now: writers may have added row sets meanwhile.
    auto next = std::make_shared<tree_state>(*updater.state());
    next->memtables.clear();
    const auto& erased = updater.erased();
    for (const std::shared_ptr<row_set>& rows : state_->memtables) {
      if (std::find(erased.begin(), erased.end(), rows.get()) == erased.end()) {
        next->memtables.push_back(rows);
      }
    }
    state_ = std::move(next);
    if (!updater.retired().empty()) {
      std::unordered_set<const segment*> listed;
      for (const level& l : state_->levels) {
        for (const auto& s : l) listed.insert(s.get());
      }
      for (const auto& s : updater.retired()) {
        if (!listed.contains(s.get())) s->set_remove_on_destroy(removals_);
      }
    }
  }
  blocked_ = false;
  unblocked_.notify_all();
}

void merge_tree::upsert(tx_timestamp timestamp, const uuid& tx, bytes_view row) {
  if (dropped_) {
    logging::detail::log(logging::level::warning,
                         "Inserting to dropped table, returning immediately");
    return;
  }
  if (row.size() == 0) return;
  std::shared_lock tree_lock(tree_lock_);
  std::scoped_lock insert_lock(insert_mutex_);
  row_set::memtable_updater updater;
  upsert_held(timestamp, tx, row, updater);
}

bool merge_tree::remove(tx_timestamp timestamp, const uuid& tx, bytes_view key) {
  if (dropped_) return false;
  std::shared_lock tree_lock(tree_lock_);
  std::scoped_lock insert_lock(insert_mutex_);
  row_set::memtable_updater updater;
  return remove_held(timestamp, tx, key, updater);
}

void merge_tree::upsert_held(tx_timestamp timestamp, const uuid& tx, bytes_view row,
                             row_set::memtable_updater& updater) {
  parsed_tuple parsed(row_tuple_schema_, row_material_schema_, row, false);
  const size_t size = parsed.material_size();
  // A mem-table whose flush was asked for takes no rows of a new updater, nor, so that rows
  // land where row-by-row inserts would put them, more rows of a kept one.
  if (!updater || updater.get()->is_flush_started() || !updater.ensure_tuple_size(size)) {
    updater.reset();
    updater = ensure_memtable_for_insert(size);
  }
  updater.insert(parsed, timestamp, tx);
}

bool merge_tree::remove_held(tx_timestamp timestamp, const uuid& tx, bytes_view key,
                             row_set::memtable_updater& updater) {
  // A removal runs as remove() does, with no writer state held during its lookup.
  updater.reset();
  const std::shared_ptr<tree_state> state = get_state();
  parsed_tuple parsed(key_tuple_schema_, key_material_schema_, key, true);
  owned_material_tuple material(parsed);
  return state->if_exists(TX_TIMESTAMP_LATEST, material.get(), no_columns_, [&](const row_values&) {
    row_set::memtable_updater writer = ensure_memtable_for_insert(parsed.material_size());
    writer.insert(parsed, timestamp, tx);
  });
}

merge_tree::batch_writer::batch_writer(merge_tree& tree)
    : tree_(tree), tree_lock_(tree.tree_lock_), insert_lock_(tree.insert_mutex_) {}

void merge_tree::batch_writer::upsert(tx_timestamp timestamp, const uuid& tx, bytes_view row) {
  if (tree_.dropped_) {
    logging::detail::log(logging::level::warning,
                         "Inserting to dropped table, returning immediately");
    return;
  }
  if (row.size() == 0) return;
  tree_.upsert_held(timestamp, tx, row, updater_);
}

bool merge_tree::batch_writer::remove(tx_timestamp timestamp, const uuid& tx, bytes_view key) {
  if (tree_.dropped_) return false;
  return tree_.remove_held(timestamp, tx, key, updater_);
}

std::vector<std::byte> merge_tree::read(tx_timestamp timestamp, bytes_view key) {
  std::shared_lock lock(tree_lock_);
  std::shared_ptr<tree_state> state = get_state();
  return read_internal(std::move(lock), timestamp, key, state);
}

std::vector<std::byte> merge_tree::read_internal(std::shared_lock<std::shared_mutex> lock,
                                                 tx_timestamp timestamp, bytes_view key,
                                                 const std::shared_ptr<tree_state>& state) const {
  (void)lock;  // held until return
  std::vector<std::byte> result;
  if (dropped_ || key.size() == 0) return result;
  parsed_tuple parsed(key_tuple_schema_, key_material_schema_, key, true);
  owned_material_tuple material(parsed);
  tuple_builder builder(static_cast<int32_t>(schema_.columns.size()));
  state->if_exists(timestamp, material.get(), all_columns_, [&](const row_values& values) {
    builder.start();
    for (size_t c = 0; c < values.size(); ++c) {
      if (values[c]) {
        builder.claim(schema_.columns[c].type, *values[c]);
      } else {
        builder.claim_null();
      }
    }
    builder.layout();
    for (size_t c = 0; c < values.size(); ++c) {
      if (values[c]) {
        builder.append(schema_.columns[c].type, *values[c]);
      } else {
        builder.append_null();
      }
    }
    result = builder.release();
  });
  return result;
}

std::optional<std::vector<std::byte>> merge_tree::read(bytes_view key, unsigned column) {
  std::optional<std::vector<std::byte>> result;
  if (dropped_ || key.size() == 0) return result;
  std::shared_lock lock(tree_lock_);
  if (column >= schema_.columns.size()) {
    throw errors::error("Column index exceeds column count");
  }
  parsed_tuple parsed(key_tuple_schema_, key_material_schema_, key, true);
  owned_material_tuple material(parsed);
  const picked_columns one = picked_columns::of(schema_, {column});
  get_state()->if_exists(TX_TIMESTAMP_LATEST, material.get(), one, [&](const row_values& values) {
    if (values[0]) result.emplace(values[0]->begin(), values[0]->end());
  });
  return result;
}

std::unique_ptr<merge_tree_iterator> merge_tree::get_iterator(tx_timestamp timestamp,
                                                              const bitset* projection) {
  std::shared_lock lock(tree_lock_);
  return std::make_unique<merge_tree_iterator>(schema_, get_state(), timestamp, projection);
}

row_set::memtable_updater merge_tree::ensure_memtable_for_insert(size_t size) {
  row_set::memtable_updater updater;
  std::shared_ptr<row_set> front;
  {
    std::unique_lock lock(state_mutex_);
    if (!state_->memtables.empty()) {
      front = state_->memtables.front();
      updater = front->get_memtable_updater();
    }
  }
  if (updater) {
    if (updater.ensure_tuple_size(size)) return updater;
    // A row set that holds nothing cannot be helped by a flush or by another like it.
    if (front->is_empty()) throw errors::error("not enough mem-table memory");
    updater.reset();
    // The newest mem-table has no room: write it out before starting another.
    merge_tree_updater block = block_tree_wait();
    flush_pending(block, front.get());
  }
  row_set::memtable_updater fresh;
  {
    std::scoped_lock lock(state_mutex_);
    auto next = std::make_shared<tree_state>(*state_);
    // Row sets flushed with nothing to show hold no rows: they would only slow every read.
    std::erase_if(next->memtables, [](const std::shared_ptr<row_set>& rows) {
      return rows->is_flushed() && rows->is_empty();
    });
    next->memtables.insert(next->memtables.begin(), std::make_shared<row_set>(*this));
    state_ = std::move(next);
    fresh = state_->memtables.front()->get_memtable_updater();
  }
  if (!fresh.ensure_tuple_size(size)) throw errors::error("not enough mem-table memory");
  return fresh;
}

merge_tree_updater merge_tree::flush_memtable_internal() {
  merge_tree_updater block = block_tree_wait();
  flush_pending(block, nullptr);
  return block;
}

void merge_tree::flush_pending(merge_tree_updater& updater, const row_set* through) {
  const std::shared_ptr<tree_state> published = get_state();
  for (auto it = published->memtables.rbegin(); it != published->memtables.rend(); ++it) {
    row_set& rows = **it;
    if (!rows.is_flushed() && !rows.is_empty()) {
      // Empty when a flush already ran since the snapshot was taken.
      if (row_set::memtable_updater writer = rows.get_memtable_updater()) writer.flush(updater);
    }
    if (&rows == through) break;
  }
}

void merge_tree::discard_memtables() {
  const std::shared_ptr<tree_state> state = get_state();
  for (const std::shared_ptr<row_set>& rows : state->memtables) rows->discard();
}

void merge_tree::evict_memtable(std::shared_ptr<row_set> rows) {
  if (closing_) return;  // the closing flush takes care of it
  merge_tree_updater block = block_tree_wait();
  const std::shared_ptr<tree_state> state = get_state();
  if (std::find(state->memtables.begin(), state->memtables.end(), rows) == state->memtables.end()) {
    return;
  }
  flush_pending(block, rows.get());
}

void merge_tree::eviction_started() { evictions_in_flight_.fetch_add(1); }

void merge_tree::eviction_finished() {
  if (evictions_in_flight_.fetch_sub(1) == 1) evictions_in_flight_.notify_all();
}

void merge_tree::submit(std::function<void()> task) {
  detail::get_async_pool().submit(std::packaged_task<void()>(std::move(task)));
}

bool merge_tree::mark_as_dropped() {
  if (dropped_.exchange(true)) return false;
  try {
    // Durable with its directory entry, so that a dropped tree stays dropped after a crash.
    file marker = file::for_writing(directory_ / DROPPED_FILENAME);
    marker.sync();
    marker.close();
    files::sync_directory(directory_);
  } catch (const std::exception& e) {
    logging::detail::log(logging::level::warning, "Cannot mark {} as dropped: {}",
                         directory_.string(), errors::describe(e));
  }
  return true;
}

void merge_tree::remove_dropped() {
  std::unique_lock lock(tree_lock_);
  // The rows are about to be deleted: they are not worth writing out first.
  discard_memtables();
  {
    // Segments of the state would delete their directories again when they go.
    merge_tree_updater block = block_tree_wait();
    block.set_state(std::make_shared<tree_state>());
  }
  if (files::exists(directory_)) {
    for (const dir_entry& entry : files::list_directory(directory_)) {
      if (entry.path.filename() != DROPPED_FILENAME) files::remove_all(entry.path);
    }
  }
  // The marker goes last, so that an interrupted removal is finished by the next start.
  files::remove_all(directory_);
}

void merge_tree::set_low_watermark(tx_timestamp timestamp) {
  std::scoped_lock lock(watermark_mutex_);
  low_watermark_ = timestamp;
}

tx_timestamp merge_tree::get_low_watermark() const {
  std::scoped_lock lock(watermark_mutex_);
  return low_watermark_;
}

row_tag merge_tree::get_last_persisted_row_tag() const {
  return get_state()->last_persisted_row_tag;
}

}  // namespace ombrel
