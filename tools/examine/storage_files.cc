#include "tools/examine/storage_files.h"

#include <fmt/format.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>

#include "model/file.h"
#include "native/errors.h"
#include "segment/column_reader.h"
#include "segment/primary_index.h"
#include "segment/seqno_helper.h"
#include "storage/storage.h"
#include "tree/merge_tree.h"

namespace ombrel::inspect {
namespace {

bool has_layout(const std::filesystem::path& directory) {
  for (const dir_entry& e : files::list_directory(directory)) {
    if (!e.is_directory && merge_tree::is_layout_file(e.path)) return true;
  }
  return false;
}

std::string schema_tmp_name() { return std::string(merge_tree::SCHEMA_FILENAME) + "_tmp"; }

}  // namespace

directory_kind kind_of(const std::filesystem::path& directory) {
  if (!files::exists(directory)) throw errors::error(directory.string() + " does not exist");
  if (!files::is_directory(directory)) {
    throw errors::error(directory.string() + " is not a directory");
  }
  if (files::exists(directory / segment::SCHEMA_FILENAME) ||
      files::exists(directory / column_file(directory, column_descriptor::TX_TS).file_name())) {
    return directory_kind::segment;
  }
  if (files::exists(directory / merge_tree::SCHEMA_FILENAME) ||
      files::exists(directory / storage::NAME_FILENAME) ||
      files::exists(directory / merge_tree::DROPPED_FILENAME) || has_layout(directory)) {
    return directory_kind::partition;
  }
  return directory_kind::root;
}

std::optional<int32_t> parse_id(std::string_view text) {
  int32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || at != end) return std::nullopt;
  return value;
}

partition_files list_partition(const std::filesystem::path& directory) {
  partition_files p;
  p.directory = directory;
  for (dir_entry& e : files::list_directory(directory)) {
    const std::string name = e.path.filename().string();
    if (!e.is_directory && name == merge_tree::SCHEMA_FILENAME) {
      p.has_schema = true;
    } else if (!e.is_directory && name == storage::NAME_FILENAME) {
      p.has_name = true;
    } else if (!e.is_directory && name == merge_tree::DROPPED_FILENAME) {
      p.dropped = true;
    } else if (auto layout = merge_tree::parse_layout_file_name(e.path);
               layout && !e.is_directory) {
      p.layouts.push_back({*layout, e.path});
    } else if (auto number = parse_seqno(name)) {
      p.segments.emplace(*number, std::move(e));  // a file here is damage, judged by the caller
    } else if (name == merge_tree::LAYOUT_TEMP_FILENAME || name == schema_tmp_name()) {
      p.leftovers.push_back(std::move(e));
    } else {
      p.strays.push_back(std::move(e));
    }
  }
  std::sort(p.layouts.begin(), p.layouts.end(),
            [](const layout_file& a, const layout_file& b) { return a.number < b.number; });
  return p;
}

root_files list_root(const std::filesystem::path& root) {
  root_files r;
  for (dir_entry& table : files::list_directory(root)) {
    const auto table_id = parse_id(table.path.filename().string());
    if (!table_id || !table.is_directory) {
      r.strays.push_back(std::move(table));
      continue;
    }
    for (dir_entry& entry : files::list_directory(table.path)) {
      const std::string name = entry.path.filename().string();
      const auto partition_id = parse_id(name);
      if (partition_id && entry.is_directory) {
        r.partitions.push_back({*table_id, *partition_id, entry.path});
      } else if (entry.is_directory && name.ends_with(storage::CREATING_SUFFIX) &&
                 parse_id(name.substr(0, name.size() - storage::CREATING_SUFFIX.size()))) {
        r.leftovers.push_back(std::move(entry));
      } else {
        r.strays.push_back(std::move(entry));
      }
    }
  }
  std::sort(r.partitions.begin(), r.partitions.end(),
            [](const partition_ref& a, const partition_ref& b) {
              return std::pair(a.table_id, a.partition_id) < std::pair(b.table_id, b.partition_id);
            });
  return r;
}

partition_ref partition_of(const std::filesystem::path& directory) {
  std::filesystem::path own = directory;
  if (!own.has_filename()) own = own.parent_path();
  partition_ref ref;
  ref.directory = directory;
  ref.partition_id = parse_id(own.filename().string()).value_or(0);
  ref.table_id = parse_id(own.parent_path().filename().string()).value_or(0);
  return ref;
}

layout_contents read_layout(const layout_file& layout) {
  const std::vector<std::byte> bytes = file::for_reading(layout.path).read_as_bytes();
  return decode_layout(bytes, layout.number, layout.path.string());
}

std::shared_ptr<segment> open_segment(const std::filesystem::path& directory) {
  if (!files::is_directory(directory)) {
    throw errors::error(directory.string() + " is not a directory");
  }
  const std::filesystem::path index = directory / primary_index::FILENAME;
  if (!files::exists(index)) throw errors::error("Missing index: " + index.string());
  return std::make_shared<segment>(directory);
}

loaded_partition load_partition(const std::filesystem::path& directory) {
  const partition_files found = list_partition(directory);
  loaded_partition p;
  p.dropped = found.dropped;
  p.name = file::for_reading(directory / storage::NAME_FILENAME).read_as_string();
  p.schema = *load_schema_from_file(directory / merge_tree::SCHEMA_FILENAME);
  if (p.dropped || found.layouts.empty()) return p;
  p.layout = found.layouts.back();
  p.contents = read_layout(*p.layout);
  const segment* first = nullptr;
  for (const auto& numbers : p.contents.levels) {
    level& l = p.levels.emplace_back();
    for (const uint64_t n : numbers) {
      const std::filesystem::path path = directory / std::to_string(n);
      if (!files::exists(path)) throw errors::error("Missing segment: " + path.string());
      try {
        l.push_back(open_segment(path));
      } catch (const std::exception& e) {
        throw errors::error(
            fmt::format("Damaged segment {}: {}", path.string(), errors::describe(e)));
      }
      if (first == nullptr) {
        first = l.back().get();
      } else if (!(l.back()->schema() == first->schema())) {
        throw errors::error(fmt::format("Segments {} and {} have different schemas",
                                        first->directory().string(), path.string()));
      }
    }
  }
  if (first != nullptr) p.schema = first->schema();
  return p;
}

uint64_t file_bytes(const std::filesystem::path& path) {
  struct stat st {};
  if (file_system::get().stat(path, &st) != 0) {
    throw errors::system_error("Failed to stat " + path.string());
  }
  return static_cast<uint64_t>(st.st_size);
}

uint64_t directory_bytes(const std::filesystem::path& directory) {
  uint64_t total = 0;
  for (const dir_entry& e : files::list_directory(directory)) {
    if (!e.is_directory) total += file_bytes(e.path);
  }
  return total;
}

uint64_t count_tombstones(const segment& s) {
  if (!s.tombstones()) return 0;
  column_reader reader(*s.tombstones());
  reader.read_file_and_decompress();
  uint64_t count = 0;
  for (uint32_t row = 0; row < reader.row_count(); ++row) {
    count += reader.data()[row] != std::byte{0};
  }
  return count;
}

}  // namespace ombrel::inspect
