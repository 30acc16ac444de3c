#include "storage/storage.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "model/file.h"
#include "native/errors.h"
#include "native/log.h"
#include "tree/merge_tree.h"
#include "tree/merge_tree_iterator.h"

namespace ombrel {
namespace {

constexpr const char* NAME_FILENAME = "name";

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
  return file::for_reading(directory / NAME_FILENAME).read_as_string();
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
  auto tree = std::make_unique<merge_tree>(schema, directory);
  try {
    file out = file::create(directory / NAME_FILENAME);
    out.write(name.data(), name.size());
    out.close();
  } catch (...) {
    // Leave nothing behind, so that the host can retry the creation.
    tree.reset();
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
    throw;
  }
  auto created = std::make_unique<table_partition>(std::move(tree), name, table, partition);
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

storage::registry::registry(std::filesystem::path root) : root_(std::move(root)) {}

storage::registry::~registry() = default;

void storage::registry::scan() {
  if (!std::filesystem::exists(root_)) return;
  for (const auto& table_dir : std::filesystem::directory_iterator(root_)) {
    // A root entry that does not start with a number fails the whole storage ("stoi").
    const int32_t table = std::stoi(table_dir.path().filename().string());
    for (const auto& partition_dir : std::filesystem::directory_iterator(table_dir.path())) {
      if (!partition_dir.is_directory()) continue;
      const std::string name = partition_dir.path().filename().string();
      size_t used = 0;
      const int32_t partition = std::stoi(name, &used);
      if (used != name.size()) continue;
      auto tree = std::make_unique<merge_tree>(partition_dir.path());
      if (tree->is_dropped()) {
        tree->remove_dropped();
        continue;
      }
      const std::string table_name = read_name_file(partition_dir.path());
      tree.reset();
      make_entry(table_name, table, partition, false);  // released at once: registered, closed
    }
  }
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
  entry->is_new = is_new;
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
  std::unique_lock lock(mutex_);
  auto [first, last] = entries_.equal_range(table);
  for (auto it = first; it != last; ++it) {
    partition_entry* entry = it->second.get();
    if (partition != -1 && entry->partition_id != partition) continue;
    ++entry->references;
    // Another holder without a partition is opening it: wait for it to finish (or give up).
    changed_.wait(lock, [entry] { return entry->partition || entry->references <= 1; });
    return entry_handle(entry, deleter{this});
  }
  return entry_handle(nullptr, deleter{this});
}

std::vector<storage::registry::entry_handle> storage::registry::find_entries(int32_t table) {
  std::vector<entry_handle> handles;
  std::unique_lock lock(mutex_);
  auto [first, last] = entries_.equal_range(table);
  std::vector<partition_entry*> found;
  for (auto it = first; it != last; ++it) found.push_back(it->second.get());
  for (partition_entry* entry : found) {
    ++entry->references;
    handles.emplace_back(entry, deleter{this});
  }
  for (partition_entry* entry : found) {
    changed_.wait(lock, [entry] { return entry->partition || entry->references <= 1; });
  }
  return handles;
}

void storage::registry::acquire(partition_entry* entry) {
  std::scoped_lock lock(mutex_);
  ++entry->references;
}

void storage::registry::release(partition_entry* entry) {
  std::unique_ptr<table_partition> closing;
  std::unique_ptr<partition_entry> removed;
  {
    std::scoped_lock lock(mutex_);
    if (--entry->references > 0) {
      changed_.notify_all();
      return;
    }
    closing = std::move(entry->partition);
    if ((closing && closing->tree().is_dropped()) || entry->is_new) {
      auto [first, last] = entries_.equal_range(entry->table_id);
      for (auto it = first; it != last; ++it) {
        if (it->second.get() == entry) {
          removed = std::move(it->second);
          entries_.erase(it);
          break;
        }
      }
    }
    changed_.notify_all();
  }
  // Closing flushes the tree and may drop the last reference to this registry: nothing of
  // `this` is touched afterwards.
  closing.reset();
}

void storage::registry::store_table_partition(std::unique_ptr<table_partition> partition,
                                              partition_entry* entry) {
  std::scoped_lock lock(mutex_);
  partition->tree().set_low_watermark(low_watermark_);
  entry->partition = std::move(partition);
  entry->is_new = false;
  changed_.notify_all();
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
    std::scoped_lock lock(mutex_);
    if (entry->partition) {
      handle.release();
      return entry->partition.get();
    }
  }
  // This holder opens the tree; others asking meanwhile wait in find_table_partition_entry.
  auto tree = std::make_unique<merge_tree>(std::filesystem::path(entry->directory));
  auto opened = std::make_unique<table_partition>(std::move(tree), entry->table_name,
                                                  entry->table_id, entry->partition_id);
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
                           partition_id_, e.what());
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
  return std::make_unique<tables_iterator>(registry_->collect_partition_info(),
                                           std::move(columns));
}

}  // namespace ombrel
