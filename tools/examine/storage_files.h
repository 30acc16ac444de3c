#pragma once
// Read-only access to a storage directory tree: which entries of a root, a table, a partition
// are what the engine makes of them, and the loading of a partition's newest layout and its
// segments the way a tree opens them, without its recovery (no lock, no sweep, no compaction,
// no write). Pure functions over the installed file layer; errors are errors::error (or
// errors::system_error) naming the file at fault.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/file_system.h"
#include "model/schema_descriptor.h"
#include "segment/segment.h"
#include "tree/layout_file.h"
#include "tree/tree_state.h"

namespace ombrel::inspect {

enum class directory_kind { root, partition, segment };

// A segment holds "_schema" or "_tx_ts"; a partition "schema", "name", "dropped" or a layout
// file; anything else is taken for a root. Throws errors::error "<path> is not a directory"
// (or "... does not exist").
directory_kind kind_of(const std::filesystem::path& directory);

// A table or partition id: decimal digits with an optional '-', fitting 32 bits.
std::optional<int32_t> parse_id(std::string_view text);

struct layout_file {
  uint64_t number = 0;
  std::filesystem::path path;
};

// The entries of a partition directory, sorted into what the engine makes of them.
struct partition_files {
  std::filesystem::path directory;
  bool has_schema = false;
  bool has_name = false;
  bool dropped = false;
  std::vector<layout_file> layouts;        // ascending numbers
  std::map<uint64_t, dir_entry> segments;  // entries named by a sequence number
  std::vector<dir_entry> leftovers;        // transient files of an interrupted write
  std::vector<dir_entry> strays;           // anything the engine does not write
};
partition_files list_partition(const std::filesystem::path& directory);

struct partition_ref {
  int32_t table_id = 0;
  int32_t partition_id = 0;
  std::filesystem::path directory;
};

// The entries of a root: partitions by table id then partition id, leftovers of interrupted
// creations, and entries that are neither.
struct root_files {
  std::vector<partition_ref> partitions;
  std::vector<dir_entry> leftovers;
  std::vector<dir_entry> strays;
};
root_files list_root(const std::filesystem::path& root);

// The ids a partition directory's own name and its parent's give, zero when they are no ids.
partition_ref partition_of(const std::filesystem::path& directory);

// Parses a layout file with the engine's reader.
layout_contents read_layout(const layout_file& layout);

// Opens a segment directory as the engine does, refusing first what the engine would repair by
// writing: errors::error "Missing index: <path>" when "_index" is absent.
std::shared_ptr<segment> open_segment(const std::filesystem::path& directory);

// A partition as its tree would load it.
struct loaded_partition {
  std::string name;
  bool dropped = false;
  // The segments' schema when there are segments, else that of "schema".
  schema_descriptor schema;
  std::optional<layout_file> layout;  // the newest; none when nothing was ever flushed
  layout_contents contents;
  std::vector<level> levels;
};
// Throws naming the file at fault: the newest layout, a segment it names ("Missing segment: "
// + path), a segment that cannot be opened ("Damaged segment <path>: ..."), segments of
// different schemas. A dropped partition is read without its layout.
loaded_partition load_partition(const std::filesystem::path& directory);

// Bytes of the files directly inside `directory`.
uint64_t directory_bytes(const std::filesystem::path& directory);
// Size of one file.
uint64_t file_bytes(const std::filesystem::path& path);
// Rows of the segment that are removals.
uint64_t count_tombstones(const segment& s);

}  // namespace ombrel::inspect
