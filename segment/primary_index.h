#pragma once
// The sparse primary index of a segment: the keys of rows 0, G, 2G, ... and of the last row,
// loaded from "_index" (rebuilt from the key columns when the file is missing). It tells a
// search which granules of G rows can hold a key, and its first and last entries are the
// segment's key bounds. Read-only once loaded; shared by all searches of its segment.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "model/tuple.h"
#include "model/tuple_schema.h"
#include "segment/column_file.h"

namespace ombrel {

class primary_index {
 public:
  static constexpr std::string_view FILENAME = "_index";

  // MERGE_TREE_SEGMENT_KEY_INDEX_GRANULARITY as read at the first call in the process: the G
  // that new and rebuilt indexes are written with.
  static uint64_t configured_granularity();

  // The granularities G for which `rows` rows give `entries` entries (rows 0, G, 2G, ... below
  // `rows`, then the last row), as [first, last]; nullopt when none does (0 rows among them).
  static std::optional<std::pair<uint64_t, uint64_t>> granularities_for(uint64_t entries,
                                                                        uint64_t rows);

  // Loads directory / "_index", rebuilding it first from the key columns among `columns`
  // when it does not exist. `schema` must outlive the index. Throws errors::error
  // "Index is empty: " + path, "Index is corrupted: " + path, and the column and I/O errors
  // of a rebuild.
  primary_index(const std::filesystem::path& directory, const material_tuple_schema& schema,
                const std::vector<column_file>& columns);
  primary_index(primary_index&&) noexcept = default;
  primary_index(const primary_index&) = delete;
  primary_index& operator=(const primary_index&) = delete;

  // The entries in row order; key slots point into the loaded file, other slots are null.
  const std::vector<material_tuple>& keys() const { return keys_; }
  const material_tuple_schema& schema() const { return *schema_; }
  // The G the entries were sampled with: configured_granularity() until the owner, which knows
  // the row count, sets the one that fits. REQUIRES: set before the index is shared.
  uint64_t granularity() const { return granularity_; }
  void set_granularity(uint64_t g) { granularity_ = g; }

  // The granules (low, high) that can hold `key`: rows [low * G, high * G), where a high equal
  // to the last entry's position stands for the end of the segment; (0, 0) when the key lies
  // below the first entry.
  std::pair<uint64_t, uint64_t> find_granules(const material_tuple& key) const;

  // Hard-links from / "_index" as to / "_index". Throws errors::system_error when link fails.
  static void duplicate(const std::filesystem::path& from, const std::filesystem::path& to);

 private:
  static void rebuild(const std::filesystem::path& directory, const material_tuple_schema& schema,
                      const std::vector<column_file>& columns);
  void parse(const std::filesystem::path& path);

  const material_tuple_schema* schema_;
  std::vector<std::byte> bytes_;
  std::vector<const std::byte*> slots_;  // one row of schema slots per entry
  std::vector<material_tuple> keys_;
  uint64_t granularity_;
};

}  // namespace ombrel
