#include "storage/storage.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/file.h"
#include "model/file_system.h"
#include "native/errors.h"
#include "native/log.h"
#include "tree/merge_tree.h"
#include "tree/merge_tree_iterator.h"

namespace ombrel {
namespace {

// Catalog rows (partition id, table id, name), cut to the projected columns.
class tables_iterator : public abstract_iterator {
 public:
  tables_iterator(std::vector<storage::partition_info> rows, std::vector<unsigned> columns)
      : rows_(std::move(rows)), columns_(std::move(columns)), values_(columns_.size()) {}

  bool get_next(const row_callback& callback) override {
    if (next_ >= rows_.size()) return false;
    const storage::partition_info& row = rows_[next_++];
    const bytes_view all[3] = {bytes_view(&row.partition_id, 4), bytes_view(&row.table_id, 4),
                               bytes_view(row.table_name.data(), row.table_name.size())};
    for (size_t j = 0; j < columns_.size(); ++j) values_[j] = all[columns_[j]];
    callback(values_);
    return true;
  }

 private:
  std::vector<storage::partition_info> rows_;
  std::vector<unsigned> columns_;
  row_values values_;
  size_t next_ = 0;
};

std::string read_name_file(const std::filesystem::path& directory) {
  return file::for_reading(directory / storage::NAME_FILENAME).read_as_string();
}

std::filesystem::path creation_directory(const std::filesystem::path& directory) {
  std::filesystem::path temporary = directory;
  temporary += storage::CREATING_SUFFIX;
  return temporary;
}

// "<partition id>.creating".
bool is_creation_leftover(const std::string& name) {
  if (!name.ends_with(storage::CREATING_SUFFIX)) return false;
  const std::string id = name.substr(0, name.size() - storage::CREATING_SUFFIX.size());
  size_t used = 0;
  try {
    std::stoi(id, &used);
  } catch (const std::exception&) {
    return false;
  }
  return used == id.size();
}

void remove_logged(const std::filesystem::path& path) {
  try {
    files::remove_all(path);
  } catch (const std::exception& e) {
    logging::detail::log(logging::level::error, "{}", errors::describe(e));
  }
}

void write_new_file(const std::filesystem::path& path, const void* data, size_t size) {
  file out = file::create(path);
  out.write(data, size);
  out.sync();
  out.close();
}

// Puts a new partition's "schema" and "name" into `directory` in one step: both are written
// and synced under the temporary name, which is renamed into place once whole; the table
// directory is synced by the caller. On failure nothing is left under the temporary name.
void write_partition_directory(const std::filesystem::path& directory, const std::string& name,
                               const schema_descriptor& schema) {
  const std::filesystem::path table_directory = directory.parent_path();
  // Synced even when there: a creation that failed after making it may have left it unsynced.
  files::create_directories(table_directory);
  files::sync_directory(table_directory.parent_path());
  const std::filesystem::path temporary = creation_directory(directory);
  files::remove_all(temporary);
  // A drop whose removal failed is finished here, as the next start would finish it.
  if (files::exists(directory / merge_tree::DROPPED_FILENAME)) files::remove_all(directory);
  try {
    files::create_directory(temporary);
    const std::vector<std::byte> bytes = schema.serialize();
    write_new_file(temporary / merge_tree::SCHEMA_FILENAME, bytes.data(), bytes.size());
    write_new_file(temporary / storage::NAME_FILENAME, name.data(), name.size());
    files::sync_directory(temporary);
    files::rename(temporary, directory);
  } catch (...) {
    remove_logged(temporary);
    throw;
  }
}

}  // namespace

// ---- storage ----

storage::storage(const std::filesystem::path& root) {
  logging::detail::log(logging::level::debug, "created storage object for directory '{}'",
                       root.string());
  registry_ = std::make_shared<registry>(root);
  registry_->scan();
}

storage::~storage() = default;

table_partition* storage::create_table_partition(const std::string& name, int32_t table,
                                                 int32_t partition,
                                                 const schema_descriptor& schema) {
  if (name.empty()) return nullptr;
  registry::entry_handle handle = registry_->make_entry(name, table, partition, true);
  if (!handle) return nullptr;
  const std::filesystem::path directory = handle->directory;
  std::unique_ptr<table_partition> created;
  bool placed = false;
  try {
    merge_tree::check_schema(schema);
    write_partition_directory(directory, name, schema);
    placed = true;
    files::sync_directory(directory.parent_path());
    // Opened only in its final directory, which the tree keeps for its segments.
    created = std::make_unique<table_partition>(std::make_unique<merge_tree>(directory), name,
                                                table, partition);
  } catch (...) {
    // The host learns that the creation failed: nothing of it may turn up later.
    if (placed) remove_logged(directory);
    registry_->abandon(std::move(handle));
    throw;
  }
  table_partition* result = created.get();
  created->entry_ = handle.get();
  created->registry_ = registry_;
  registry_->store_table_partition(std::move(created), handle.release());
  return result;
}

table_partition* storage::get_table_partition(int32_t table, int32_t partition) {
  registry::entry_handle handle = registry_->find_table_partition_entry(table, partition);
  if (!handle) return nullptr;
  return registry_->open(std::move(handle));
}

void storage::drop_table_partition(int32_t table, int32_t partition) {
  table_partition* p = get_table_partition(table, partition);
  if (p == nullptr) return;
  try {
    p->drop();
  } catch (...) {
    registry_->release(p->entry_);
    throw;
  }
  registry_->release(p->entry_);
}

void storage::drop_table(int32_t table) {
  for (registry::entry_handle& handle : registry_->find_entries(table)) {
    partition_entry* entry = handle.get();
    table_partition* p = registry_->open(std::move(handle));
    if (p == nullptr) continue;  // dropped meanwhile
    try {
      p->drop();
    } catch (...) {
      registry_->release(entry);
      throw;
    }
    registry_->release(entry);
  }
}

std::unique_ptr<abstract_table> storage::get_table_catalog() {
  return std::make_unique<tables_catalog>(registry_);
}

void storage::table_deleter::run(abstract_table* table) {
  if (table == nullptr) return;
  if (auto* partition = dynamic_cast<table_partition*>(table)) {
    if (partition->registry_) {
      // The registry may go with its last partition: keep it alive through the release.
      std::shared_ptr<registry> owner = partition->registry_;
      owner->release(partition->entry_);
      return;
    }
  }
  delete table;
}

// ---- registry ----

void storage::registry::deleter::operator()(partition_entry* entry) const {
  if (entry != nullptr && owner != nullptr) owner->release(entry);
}

storage::registry::registry(std::filesystem::path root) : root_(std::move(root)) {
  if (!files::is_directory(root_)) {
    files::create_directories(root_);
    const std::filesystem::path parent = root_.parent_path();
    files::sync_directory(parent.empty() ? std::filesystem::path(".") : parent);
  }
  // On the root itself: the root holds nothing but table directories.
  root_lock_ = file::for_directory(root_);
  if (!root_lock_.try_lock_exclusive()) {
    throw errors::error(
        fmt::format("Storage directory {} is in use by another storage", root_.string()));
  }
}

storage::registry::~registry() = default;

void storage::registry::scan() {
  if (!files::exists(root_)) return;
  for (const dir_entry& table_dir : files::list_directory(root_)) {
    // A root entry that does not start with a number fails the whole storage ("stoi").
    const int32_t table = std::stoi(table_dir.path.filename().string());
    for (const dir_entry& partition_dir : files::list_directory(table_dir.path)) {
      if (!partition_dir.is_directory) continue;
      const std::string name = partition_dir.path.filename().string();
      if (is_creation_leftover(name)) {
        // A creation the host never saw finish.
        logging::detail::log(logging::level::warning, "Removing {} left by an interrupted creation",
                             partition_dir.path.string());
        remove_logged(partition_dir.path);
        continue;
      }
      size_t used = 0;
      const int32_t partition = std::stoi(name, &used);
      if (used != name.size()) continue;
      scan_partition(table, partition, partition_dir.path);
    }
  }
}

void storage::registry::scan_partition(int32_t table, int32_t partition,
                                       const std::filesystem::path& directory) {
  std::string refusal;
  auto refuse = [&](const std::exception& e) {
    const std::string cause = errors::describe(e);
    logging::detail::log(logging::level::error, "Partition {} of table {} is refused: {}",
                         partition, table, cause);
    if (refusal.empty()) refusal = cause;
  };
  try {
    merge_tree tree(directory);
    if (tree.is_dropped()) {
      try {
        tree.remove_dropped();
      } catch (const std::exception& e) {
        // The marker stays: the next start tries again.
        logging::detail::log(logging::level::error, "Failed to remove dropped partition {}: {}",
                             directory.string(), errors::describe(e));
      }
      return;
    }
  } catch (const std::exception& e) {
    refuse(e);
  }
  std::string table_name;
  try {
    table_name = read_name_file(directory);
  } catch (const std::exception& e) {
    refuse(e);
  }
  entry_handle handle = make_entry(table_name, table, partition, false);
  std::scoped_lock lock(mutex_);
  handle->refusal = std::move(refusal);
  // The handle goes at once, after the lock: the entry stays registered and closed.
}

storage::registry::entry_handle storage::registry::make_entry(const std::string& name,
                                                              int32_t table, int32_t partition,
                                                              bool is_new) {
  auto entry = std::make_unique<partition_entry>();
  entry->table_name = name;
  entry->table_id = table;
  entry->partition_id = partition;
  entry->directory = (root_ / fmt::format("{}", table) / fmt::format("{}", partition)).string();
  entry->references = 1;
  entry->state = is_new ? entry_state::opening : entry_state::closed;
  logging::detail::log(logging::level::info,
                       "Add partition `{}` of table `{}` with UUID `{}` at directory `{}`",
                       partition, name, table, entry->directory);
  std::scoped_lock lock(mutex_);
  auto [first, last] = entries_.equal_range(table);
  for (auto it = first; it != last; ++it) {
    if (it->second->partition_id == partition) return entry_handle(nullptr, deleter{this});
  }
  partition_entry* raw = entry.get();
  entries_.emplace_hint(last, table, std::move(entry));
  return entry_handle(raw, deleter{this});
}

storage::registry::entry_handle storage::registry::find_table_partition_entry(int32_t table,
                                                                              int32_t partition) {
  std::scoped_lock lock(mutex_);
  auto [first, last] = entries_.equal_range(table);
  for (auto it = first; it != last; ++it) {
    partition_entry* entry = it->second.get();
    if (partition != -1 && entry->partition_id != partition) continue;
    ++entry->references;
    return entry_handle(entry, deleter{this});
  }
  return entry_handle(nullptr, deleter{this});
}

std::vector<storage::registry::entry_handle> storage::registry::find_entries(int32_t table) {
  std::vector<entry_handle> handles;
  std::scoped_lock lock(mutex_);
  auto [first, last] = entries_.equal_range(table);
  for (auto it = first; it != last; ++it) {
    ++it->second->references;
    handles.emplace_back(it->second.get(), deleter{this});
  }
  return handles;
}

void storage::registry::acquire(partition_entry* entry) {
  std::scoped_lock lock(mutex_);
  ++entry->references;
}

void storage::registry::release(partition_entry* entry) {
  // Closing may drop the last other reference to this registry: it lives until the end here.
  std::shared_ptr<registry> self;
  std::unique_ptr<table_partition> closing;
  {
    std::scoped_lock lock(mutex_);
    if (--entry->references > 0) return;
    if (entry->state != entry_state::open) {
      free_if_unheld_locked(entry);
      return;
    }
    closing = std::move(entry->partition);
    entry->state = entry_state::closing;
    // A dropped partition leaves the lookups and the catalog at once.
    if (closing->tree().is_dropped()) remove_locked(entry);
    self = shared_from_this();
  }
  // Flushes the tree; an opener of the entry waits meanwhile, so one directory never has two.
  closing.reset();
  std::scoped_lock lock(mutex_);
  entry->state = entry_state::closed;
  free_if_unheld_locked(entry);
  changed_.notify_all();
}

void storage::registry::remove_locked(partition_entry* entry) {
  if (entry->removed) return;
  entry->removed = true;
  auto [first, last] = entries_.equal_range(entry->table_id);
  for (auto it = first; it != last; ++it) {
    if (it->second.get() == entry) {
      removed_.push_back(std::move(it->second));
      entries_.erase(it);
      return;
    }
  }
}

void storage::registry::free_if_unheld_locked(partition_entry* entry) {
  if (!entry->removed || entry->references != 0 || entry->state == entry_state::closing) return;
  std::erase_if(removed_, [entry](const auto& e) { return e.get() == entry; });
}

void storage::registry::store_table_partition(std::unique_ptr<table_partition> partition,
                                              partition_entry* entry) {
  std::scoped_lock lock(mutex_);
  partition->tree().set_low_watermark(low_watermark_);
  entry->partition = std::move(partition);
  entry->state = entry_state::open;
  changed_.notify_all();
}

void storage::registry::abandon(entry_handle handle) {
  {
    std::scoped_lock lock(mutex_);
    handle->state = entry_state::closed;
    remove_locked(handle.get());
    changed_.notify_all();
  }
  handle.reset();
}

void storage::registry::broadcast_low_watermark(tx_timestamp timestamp) {
  std::scoped_lock lock(mutex_);
  low_watermark_ = timestamp;
  for (auto& [table, entry] : entries_) {
    if (entry->partition) entry->partition->tree().set_low_watermark(timestamp);
  }
}

std::vector<storage::partition_info> storage::registry::collect_partition_info() {
  std::vector<partition_info> rows;
  std::scoped_lock lock(mutex_);
  rows.reserve(entries_.size());
  for (auto& [table, entry] : entries_) {
    if (entry->partition && entry->partition->tree().is_dropped()) continue;
    rows.push_back({entry->table_name, entry->table_id, entry->partition_id});
  }
  return rows;
}

table_partition* storage::registry::open(entry_handle handle) {
  partition_entry* entry = handle.get();
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [entry] {
      return entry->state == entry_state::open || entry->state == entry_state::closed;
    });
    if (entry->state == entry_state::open) {
      handle.release();
      return entry->partition.get();
    }
    if (entry->removed) {
      lock.unlock();
      return nullptr;  // the handle gives its reference back
    }
    if (!entry->refusal.empty()) {
      const std::string cause = entry->refusal;
      lock.unlock();
      throw errors::error(cause);
    }
    entry->state = entry_state::opening;
  }
  std::unique_ptr<table_partition> opened;
  try {
    auto tree = std::make_unique<merge_tree>(std::filesystem::path(entry->directory));
    opened = std::make_unique<table_partition>(std::move(tree), entry->table_name, entry->table_id,
                                               entry->partition_id);
  } catch (...) {
    {
      // Closed again: a waiter, if any, tries the open in its turn.
      std::scoped_lock lock(mutex_);
      entry->state = entry_state::closed;
      changed_.notify_all();
    }
    throw;
  }
  table_partition* result = opened.get();
  opened->entry_ = entry;
  opened->registry_ = shared_from_this();
  store_table_partition(std::move(opened), entry);
  handle.release();
  return result;
}

// ---- table_partition ----

table_partition::table_partition(std::unique_ptr<merge_tree> tree, std::string table_name,
                                 int32_t table, int32_t partition)
    : abstract_table(std::move(table_name)),
      table_id_(table),
      tree_(std::move(tree)),
      partition_id_(partition) {}

table_partition::~table_partition() = default;

const schema_descriptor& table_partition::get_schema() const { return tree_->get_schema(); }

std::unique_ptr<abstract_iterator> table_partition::get_projection_pipeline(
    tx_timestamp timestamp, const bitset& projection) {
  return open_scan(timestamp, &projection);
}

std::unique_ptr<abstract_iterator> table_partition::get_full_pipeline(tx_timestamp timestamp) {
  return open_scan(timestamp, nullptr);
}

std::unique_ptr<abstract_iterator> table_partition::open_scan(tx_timestamp timestamp,
                                                              const bitset* projection) {
  if (tree_->is_dropped()) return nullptr;
  if (registry_) registry_->acquire(entry_);
  const uint64_t before = users_.fetch_add(2);
  if ((before & 1) == 0) {
    // Dropped meanwhile: this scan must not start.
    leave(2);
    return nullptr;
  }
  std::unique_ptr<merge_tree_iterator> scan;
  try {
    scan = tree_->get_iterator(timestamp, projection);
  } catch (...) {
    on_cursor_close();
    throw;
  }
  scan->set_close_action([this] { on_cursor_close(); });
  return scan;
}

void table_partition::drop() {
  if (tree_->mark_as_dropped()) {
    const uint64_t after = users_.fetch_sub(1) - 1;
    if (after == 0) tree_->remove_dropped();
  }
}

void table_partition::on_cursor_close() { leave(2); }

// Gives up a scan's share of the counter and the registry reference it held.
void table_partition::leave(uint64_t amount) {
  const uint64_t after = users_.fetch_sub(amount) - amount;
  if (after == 0) {
    try {
      tree_->remove_dropped();
    } catch (const std::exception& e) {
      logging::detail::log(logging::level::error, "Failed to remove dropped partition {}: {}",
                           partition_id_, errors::describe(e));
    }
  }
  if (registry_) {
    std::shared_ptr<storage::registry> owner = registry_;
    owner->release(entry_);
  }
}

// ---- tables_catalog ----

tables_catalog::tables_catalog(std::shared_ptr<storage::registry> registry)
    : registry_(std::move(registry)) {}

const schema_descriptor& tables_catalog::get_schema() const {
  static const schema_descriptor schema = [] {
    schema_descriptor s;
    s.columns.emplace_back("part_id", column_info::of_type(INT32, false));
    s.columns.emplace_back("id", column_info::of_type(INT32, false));
    s.columns.emplace_back("name", column_info::of_type(STRING, false));
    s.initialize_positions({0, 1, NO_COLUMN});
    return s;
  }();
  return schema;
}

std::unique_ptr<abstract_iterator> tables_catalog::get_projection_pipeline(
    tx_timestamp, const bitset& projection) {
  std::vector<unsigned> columns;
  const uint64_t limit = std::min<uint64_t>(projection.size(), get_schema().columns.size());
  for (unsigned c = 0; c < limit; ++c) {
    if (projection[c]) columns.push_back(c);
  }
  return std::make_unique<tables_iterator>(registry_->collect_partition_info(), std::move(columns));
}

}  // namespace ombrel
