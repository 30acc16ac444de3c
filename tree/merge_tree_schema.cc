// Column changes of a merge tree. A change is one structural step: every mem-table is flushed,
// every segment is written anew beside the old one, the layout naming the new segments is
// committed, and only then is "schema" replaced and the in-memory schema swapped. The layout
// is the commit point: a recovery that finds segments whose schema differs from "schema"
// finishes the change by adopting theirs.

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "model/file_system.h"
#include "native/errors.h"
#include "native/log.h"
#include "tree/merge_tree.h"

namespace ombrel {
namespace {

[[noreturn]] void not_found(const std::string& name) {
  throw errors::error("Column " + name + " not found");
}

[[noreturn]] void already_exists(const std::string& name) {
  throw errors::error("Column " + name + " already exists");
}

constexpr size_t REWRITE_THREADS = 8;

void check_type(ombrel_type type) {
  if (type == NONE) throw errors::error("A column cannot have type NONE");
  (void)ombrel_type_info::get(type);  // refuses type numbers outside the known ones
}

// Writes the new segment of each of `places` into the matching path, on a few threads of
// their own: each rewrite waits for its file syncs mostly, so they overlap well. (Not on the
// shared pool, whose threads may be merges waiting for the very tree this change blocks.)
// On failure every new segment is removed and the first error is raised, after all writers
// stopped.
std::vector<std::shared_ptr<segment>> rewrite_all(
    const std::vector<std::shared_ptr<segment>*>& places,
    const std::vector<std::filesystem::path>& paths,
    const std::function<std::shared_ptr<segment>(const segment&, const std::filesystem::path&)>&
        rewrite) {
  std::vector<std::shared_ptr<segment>> fresh(places.size());
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  std::mutex failure_mutex;
  std::exception_ptr failure;
  const auto work = [&] {
    for (size_t i = next.fetch_add(1); i < places.size() && !failed.load(); i = next.fetch_add(1)) {
      try {
        fresh[i] = rewrite(**places[i], paths[i]);
      } catch (...) {
        std::scoped_lock lock(failure_mutex);
        if (!failure) failure = std::current_exception();
        failed = true;
      }
    }
  };
  {
    const size_t threads = std::min<size_t>(places.size(), REWRITE_THREADS);
    std::vector<std::jthread> writers;
    try {
      for (size_t t = 1; t < threads; ++t) writers.emplace_back(work);
    } catch (const std::system_error& e) {
      // Fewer writers then: this thread works too.
      logging::detail::log(logging::level::warning, "Column change with fewer threads: {}",
                           e.what());
    }
    work();
  }
  if (failure) {
    for (const auto& s : fresh) {
      if (s) s->set_remove_on_destroy();
    }
    std::rethrow_exception(failure);
  }
  return fresh;
}

}  // namespace

bool merge_tree::refuse_dropped() const {
  if (!dropped_) return false;
  logging::detail::log(logging::level::warning,
                       "Changing columns of dropped table, returning immediately");
  return true;
}

void merge_tree::add_column(const column_descriptor& requested) {
  if (refuse_dropped()) return;
  check_type(requested.type);
  // The size follows from the type, as it does when the schema is read back.
  column_descriptor column = requested;
  column.size = ombrel_type_info::get(column.type).size;
  column.internal = false;
  std::unique_lock lock(tree_lock_);
  if (schema_.get_column_index(column.name) != NO_COLUMN) already_exists(column.name);
  schema_descriptor::check_column_name(column, static_cast<uint32_t>(schema_.columns.size()));
  schema_descriptor next = schema_;
  next.add_column(column);
  change_columns(next, [&](const segment& s, const std::filesystem::path& path) {
    return s.add_column(column, path);
  });
}

void merge_tree::drop_column(const std::string& name) {
  if (refuse_dropped()) return;
  std::unique_lock lock(tree_lock_);
  const uint32_t column = schema_.get_column_index(name);
  if (column == NO_COLUMN) not_found(name);
  if (schema_.is_key_column(column)) throw errors::error("Cannot drop a key column");
  schema_descriptor next = schema_;
  next.drop_column(column);
  change_columns(next, [&](const segment& s, const std::filesystem::path& path) {
    return s.drop_column(column, path);
  });
}

void merge_tree::rename_column(const std::string& old_name, const std::string& new_name) {
  if (old_name == new_name) return;
  if (refuse_dropped()) return;
  std::unique_lock lock(tree_lock_);
  const uint32_t column = schema_.get_column_index(old_name);
  if (column == NO_COLUMN) not_found(old_name);
  if (schema_.get_column_index(new_name) != NO_COLUMN) already_exists(new_name);
  schema_descriptor next = schema_;
  next.columns[column].name = new_name;
  schema_descriptor::check_column_name(next.columns[column], column);
  change_columns(next, [&](const segment& s, const std::filesystem::path& path) {
    return s.rename_column(column, new_name, path);
  });
}

void merge_tree::modify_column(const std::string& name, const column_info& requested) {
  if (refuse_dropped()) return;
  std::unique_lock lock(tree_lock_);
  const uint32_t column = schema_.get_column_index(name);
  if (column == NO_COLUMN) not_found(name);
  if (schema_.is_key_column(column)) throw errors::error("Cannot modify a key column");
  const column_descriptor& current = schema_.columns[column];
  if (current.type == requested.type && current.nullable == requested.nullable) return;
  check_type(requested.type);
  column_info info = requested;
  info.size = ombrel_type_info::get(info.type).size;
  schema_descriptor next = schema_;
  next.columns[column].type = info.type;
  next.columns[column].size = info.size;
  next.columns[column].nullable = info.nullable;
  change_columns(next, [&](const segment& s, const std::filesystem::path& path) {
    return s.modify_column(column, info, path);
  });
}

void merge_tree::change_columns(const schema_descriptor& next, const segment_rewrite& rewrite) {
  // No row of the old shape may stay in memory: every row set is written out first.
  merge_tree_updater block = flush_memtable_internal();
  const std::shared_ptr<tree_state> published = get_state();
  for (const std::shared_ptr<row_set>& rows : published->memtables) {
    if (!rows->is_flushed() && !rows->is_empty()) {
      throw errors::fatal_error("A row set stayed unflushed before a column change");
    }
  }
  auto state = std::make_shared<tree_state>(*get_state(block));
  std::vector<std::shared_ptr<segment>*> places;
  std::vector<std::filesystem::path> paths;
  for (level& l : state->levels) {
    for (std::shared_ptr<segment>& s : l) {
      places.push_back(&s);
      paths.push_back(namer_.make_new_path());
    }
  }
  std::vector<std::shared_ptr<segment>> fresh = rewrite_all(places, paths, rewrite);
  std::vector<std::shared_ptr<segment>> removed;
  std::vector<std::shared_ptr<segment>> created;
  for (size_t i = 0; i < places.size(); ++i) {
    removed.push_back(std::exchange(*places[i], fresh[i]));
    created.push_back(std::move(fresh[i]));
  }
  if (created.empty()) {
    // Nothing on disk holds rows: the schema file alone decides, replaced atomically.
    next.store_to_file(directory_ / SCHEMA_FILENAME);
    block.set_state(state);
  } else {
    commit(block, state, removed, created);
    try {
      next.store_to_file(directory_ / SCHEMA_FILENAME);
    } catch (const std::exception& e) {
      // The committed layout decides: the next recovery adopts the new segments' schema.
      logging::detail::log(logging::level::error,
                           "Could not replace the schema file of {} after a column change: {}",
                           directory_.string(), errors::describe(e));
    }
  }
  // Empty row sets may hold a mem-table laid out for the old schema: none takes rows again.
  for (const std::shared_ptr<row_set>& rows : published->memtables) {
    if (!rows->is_flushed()) rows->discard();
    block.erase(rows.get());
  }
  set_schema(next);
}

void merge_tree::set_schema(const schema_descriptor& schema) {
  schema_ = schema;
  build_schema_caches();
}

void merge_tree::adopt_segment_schema(const tree_state& state) {
  const segment* first = nullptr;
  for (const level& l : state.levels) {
    for (const auto& s : l) {
      if (first == nullptr) {
        first = s.get();
      } else if (!(s->schema() == first->schema())) {
        throw errors::error(fmt::format("Segments {} and {} have different schemas",
                                        first->directory().string(), s->directory().string()));
      }
    }
  }
  if (first == nullptr || first->schema() == schema_) return;
  logging::detail::log(logging::level::warning,
                       "The segments of {} carry another schema than its schema file: a column "
                       "change was interrupted after its commit, its schema is adopted",
                       directory_.string());
  try {
    first->schema().store_to_file(directory_ / SCHEMA_FILENAME);
  } catch (const std::exception& e) {
    // The segments decide again at the next recovery.
    logging::detail::log(logging::level::error, "Could not replace the schema file of {}: {}",
                         directory_.string(), errors::describe(e));
  }
  set_schema(first->schema());
}

}  // namespace ombrel
