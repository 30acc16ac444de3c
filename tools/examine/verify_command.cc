// verify: every check the engine makes when it opens a storage, and the ones it leaves to its
// writers (block hashes of every column, key order within segments and across a level), over
// a root, a partition or a segment. Each problem is reported with the file it concerns.

#include <fmt/format.h>

#include <cstring>
#include <set>

#include "model/file.h"
#include "native/errors.h"
#include "segment/column_reader.h"
#include "segment/primary_index.h"
#include "storage/storage.h"
#include "tools/examine/commands.h"
#include "tools/examine/json_writer.h"
#include "tools/examine/storage_files.h"
#include "tree/merge_tree.h"
#include "tree/merge_tree_iterator.h"

namespace ombrel::inspect {
namespace {

using std::filesystem::path;

struct finding {
  std::string path;
  std::string problem;  // damaged, missing, leftover, stray
  std::string message;
};

// A segment that passed every check, with what the level checks need.
struct checked_segment {
  uint64_t number = 0;
  std::shared_ptr<segment> opened;
  tx_timestamp first_timestamp = 0;
  tx_timestamp last_timestamp = 0;
};

class verifier {
 public:
  verifier(std::ostream& err, const terminal& term) : err_(err), term_(term) {}

  void check_root(const path& root);
  void check_partition(const path& directory);
  std::optional<checked_segment> check_segment(const path& directory);

  void start_progress(uint64_t segments) {
    progress_total_ = segments;
    show_progress_ = term_.err_is_terminal && segments >= term_.large_segment_count;
  }
  void end_progress() {
    if (show_progress_) err_ << '\r' << std::string(60, ' ') << '\r' << std::flush;
  }

  std::vector<finding> findings;
  uint64_t partitions = 0;
  uint64_t layouts = 0;
  uint64_t segments = 0;
  uint64_t files = 0;
  uint64_t blocks = 0;

 private:
  void add(const path& p, const char* problem, const std::string& message) {
    findings.push_back({p.string(), problem, message});
  }
  void tick() {
    if (!show_progress_) return;
    constexpr uint64_t WIDTH = 30;
    const uint64_t done = std::min(segments, progress_total_);
    const uint64_t filled = done * WIDTH / progress_total_;
    err_ << fmt::format("\r[{}{}] {}/{} segments", std::string(filled, '#'),
                        std::string(WIDTH - filled, '.'), done, progress_total_)
         << std::flush;
  }
  // A loaded reader of the file, or none after reporting why it cannot be read.
  std::optional<column_reader> read_column(const column_file& cf);
  void check_rows(const checked_segment& s, const std::vector<column_reader>& keys,
                  const column_reader& timestamps);
  void check_level(const path& layout, size_t level, const std::vector<checked_segment>& l);

  std::ostream& err_;
  terminal term_;
  bool show_progress_ = false;
  uint64_t progress_total_ = 0;
};

std::optional<column_reader> verifier::read_column(const column_file& cf) {
  const path p = cf.path();
  if (!files::exists(p)) {
    add(p, "missing", "a column file of the segment's schema");
    return std::nullopt;
  }
  ++files;
  try {
    column_reader reader(cf);
    blocks += reader.headers().size();
    reader.read_file_and_decompress();
    return reader;
  } catch (const std::exception& e) {
    add(p, "damaged", errors::describe(e));
    return std::nullopt;
  }
}

std::optional<checked_segment> verifier::check_segment(const path& directory) {
  ++segments;
  tick();
  const size_t before = findings.size();
  const path schema_path = directory / segment::SCHEMA_FILENAME;
  schema_descriptor schema;
  if (!files::exists(schema_path)) {
    add(schema_path, "missing", "the segment's schema");
    return std::nullopt;
  }
  try {
    ++files;
    schema = *load_schema_from_file(schema_path);
  } catch (const std::exception& e) {
    add(schema_path, "damaged", errors::describe(e));
    return std::nullopt;
  }
  const std::vector<column_file> columns = segment::make_columns(directory, schema);
  const column_file tombstone_file(directory, column_descriptor::TOMBSTONE);
  std::set<std::string> expected = {std::string(segment::SCHEMA_FILENAME),
                                    std::string(primary_index::FILENAME),
                                    tombstone_file.file_name()};
  for (const column_file& cf : columns) expected.insert(cf.file_name());
  for (const dir_entry& e : files::list_directory(directory)) {
    if (!expected.contains(e.path.filename().string()) || e.is_directory) {
      add(e.path, "stray", "not a file of this segment");
    }
  }

  // Every block of every column, keeping the timestamp and key columns for the order checks.
  std::vector<std::optional<column_reader>> readers(columns.size());
  for (size_t c = 0; c < columns.size(); ++c) {
    readers[c] = read_column(columns[c]);
    const bool kept = c + 1 == columns.size() ||
                      (c < schema.columns.size() && schema.is_key_column(static_cast<uint32_t>(c)));
    if (readers[c] && !kept) readers[c]->clear();
  }
  std::optional<column_reader> tombstones;
  if (files::exists(tombstone_file.path())) {
    tombstones = read_column(tombstone_file);
    for (uint32_t row = 0; tombstones && row < tombstones->row_count(); ++row) {
      if (static_cast<uint8_t>(tombstones->data()[row]) > 1) {
        add(tombstone_file.path(), "damaged", fmt::format("row {} is neither 0 nor 1", row));
        break;
      }
    }
  }
  if (findings.size() != before) return std::nullopt;

  const column_reader& timestamps = *readers.back();
  auto check_count = [&](const column_reader& r) {
    if (r.row_count() == timestamps.row_count()) return;
    add(r.path(), "damaged",
        fmt::format("holds {} rows, {} holds {}", r.row_count(), columns.back().file_name(),
                    timestamps.row_count()));
  };
  for (const auto& r : readers) check_count(*r);
  if (tombstones) check_count(*tombstones);
  if (findings.size() != before) return std::nullopt;

  const path index = directory / primary_index::FILENAME;
  if (!files::exists(index)) {
    add(index, "missing", "the segment's key index (opening the segment would rebuild it)");
    return std::nullopt;
  }
  ++files;
  checked_segment checked;
  checked.number = parse_seqno(directory.filename().string()).value_or(0);
  try {
    checked.opened = open_segment(directory);
  } catch (const std::exception& e) {
    add(directory, "damaged", errors::describe(e));
    return std::nullopt;
  }
  std::vector<column_reader> keys;
  for (const uint32_t c : schema.key_columns) keys.push_back(std::move(*readers[c]));
  check_rows(checked, keys, timestamps);
  if (findings.size() != before) return std::nullopt;
  std::memcpy(&checked.first_timestamp, timestamps.data(), sizeof(tx_timestamp));
  std::memcpy(&checked.last_timestamp,
              timestamps.data() + (size_t{timestamps.row_count()} - 1) * sizeof(tx_timestamp),
              sizeof(tx_timestamp));
  return checked;
}

void verifier::check_rows(const checked_segment& s, const std::vector<column_reader>& keys,
                          const column_reader& timestamps) {
  const segment& seg = *s.opened;
  const uint32_t rows = seg.size();
  if (rows == 0) return;  // an empty segment has an empty index, which opening refuses
  const key_order order(seg.schema());
  std::vector<bytes_view> a(keys.size()), b(keys.size());
  auto load = [&](uint32_t row, std::vector<bytes_view>& out) {
    for (size_t k = 0; k < keys.size(); ++k) out[k] = keys[k].value(row).value_or(bytes_view());
  };
  auto timestamp = [&](uint32_t row) {
    tx_timestamp t;
    std::memcpy(&t, timestamps.data() + size_t{row} * sizeof(t), sizeof(t));
    return t;
  };
  for (const column_reader& k : keys) {
    for (uint32_t row = 0; row < rows; ++row) {
      if (k.is_null(row)) {
        add(k.path(), "damaged", fmt::format("null key value at row {}", row));
        return;
      }
    }
  }
  for (uint32_t row = 1; row < rows; ++row) {
    load(row - 1, a);
    load(row, b);
    const int c = order.compare(a.data(), b.data());
    if (c > 0 || (c == 0 && timestamp(row - 1) < timestamp(row))) {
      add(seg.directory(), "damaged",
          c > 0 ? fmt::format("row {} sorts before row {} by key", row, row - 1)
                : fmt::format("the versions of one key at rows {} and {} are not newest first",
                              row - 1, row));
      return;
    }
  }
  // The index samples rows 0, G, 2G, ... and the last row.
  const auto& entries = seg.index().keys();
  const uint64_t g = seg.index().granularity();
  const path index = seg.directory() / primary_index::FILENAME;
  if (entries.size() != (rows - 1) / g + 2) {
    add(index, "damaged",
        fmt::format("{} entries for {} rows at granularity {}", entries.size(), rows, g));
    return;
  }
  for (size_t i = 0; i < entries.size(); ++i) {
    const uint64_t row = i + 1 == entries.size() ? rows - 1 : i * g;
    const auto values = key_values(seg.material_schema(), entries[i]);
    for (size_t k = 0; k < keys.size(); ++k) a[k] = values[k].value_or(bytes_view());
    load(static_cast<uint32_t>(row), b);
    if (!order.equal(a.data(), b.data())) {
      add(index, "damaged", fmt::format("entry {} is not the key of row {}", i, row));
      return;
    }
  }
}

void verifier::check_level(const path& layout, size_t level,
                           const std::vector<checked_segment>& l) {
  for (size_t i = 1; i < l.size(); ++i) {
    const segment& prev = *l[i - 1].opened;
    const segment& next = *l[i].opened;
    if (!(prev.schema() == next.schema())) continue;  // reported with the schemas
    const int c =
        compare(prev.material_schema(), prev.index().keys().back(), next.index().keys().front());
    // Versions of one key may continue into the next segment, older ones there.
    if (c > 0 || (c == 0 && l[i - 1].last_timestamp <= l[i].first_timestamp)) {
      add(layout, "damaged",
          fmt::format("segments {} and {} of level {} overlap or are out of key order",
                      l[i - 1].number, l[i].number, level));
    }
  }
}

void verifier::check_partition(const path& directory) {
  ++partitions;
  const partition_files found = list_partition(directory);
  const path schema_path = directory / merge_tree::SCHEMA_FILENAME;
  std::optional<schema_descriptor> schema;
  if (!found.has_schema) {
    add(schema_path, "missing", "the partition's schema; the partition cannot open");
  } else {
    try {
      ++files;
      schema = *load_schema_from_file(schema_path);
    } catch (const std::exception& e) {
      add(schema_path, "damaged", errors::describe(e));
    }
  }
  const path name_path = directory / storage::NAME_FILENAME;
  if (!found.has_name) {
    add(name_path, "missing", "the partition's table name; the partition is refused");
  } else {
    ++files;
    try {
      file::for_reading(name_path).read_as_string();
    } catch (const std::exception& e) {
      add(name_path, "damaged", errors::describe(e));
    }
  }
  if (found.dropped) {
    add(directory / merge_tree::DROPPED_FILENAME, "leftover",
        "the partition was dropped; the next start deletes it");
    return;
  }
  for (const dir_entry& e : found.leftovers) {
    add(e.path, "leftover", "left by an interrupted write; the next open deletes it");
  }
  for (const dir_entry& e : found.strays) add(e.path, "stray", "not written by the engine");

  std::optional<layout_contents> newest;
  for (const layout_file& l : found.layouts) {
    ++layouts;
    ++files;
    const bool is_newest = &l == &found.layouts.back();
    try {
      layout_contents contents = read_layout(l);
      if (is_newest) newest = std::move(contents);
    } catch (const std::exception& e) {
      add(l.path, "damaged",
          errors::describe(e) +
              (is_newest ? "; the partition is refused on open" : "; an older layout, kept aside"));
      continue;
    }
    if (!is_newest) add(l.path, "leftover", "an older layout; the next open deletes it");
  }
  if (found.layouts.empty()) {
    for (const auto& [number, e] : found.segments) {
      add(e.path, "leftover", "a segment directory but no layout file names any");
    }
    return;
  }
  if (!newest) return;  // which segments are live is unknown; nothing else can be judged

  const path layout_path = found.layouts.back().path;
  const std::string layout_name = layout_path.filename().string();
  std::set<uint64_t> named;
  for (const auto& l : newest->levels) named.insert(l.begin(), l.end());
  for (const auto& [number, e] : found.segments) {
    if (!named.contains(number)) {
      add(e.path, "leftover", "not named by " + layout_name + "; the next open deletes it");
    }
  }
  std::shared_ptr<segment> first;  // whose schema the others must share
  for (size_t level = 0; level < newest->levels.size(); ++level) {
    std::vector<checked_segment> checked;
    for (const uint64_t number : newest->levels[level]) {
      const path p = directory / std::to_string(number);
      const auto entry = found.segments.find(number);
      if (entry == found.segments.end()) {
        add(p, "missing", "named by " + layout_name);
        continue;
      }
      if (!entry->second.is_directory) {
        add(p, "damaged", "a file where " + layout_name + " names a segment directory");
        continue;
      }
      auto s = check_segment(p);
      if (!s) continue;
      if (first == nullptr) {
        first = s->opened;
      } else if (!(first->schema() == s->opened->schema())) {
        add(p, "damaged",
            fmt::format("its schema differs from that of segment {}; the partition is refused",
                        first->directory().filename().string()));
      }
      checked.push_back(std::move(*s));
    }
    check_level(layout_path, level, checked);
  }
  if (first != nullptr && schema && !(first->schema() == *schema)) {
    add(schema_path, "leftover",
        "the segments carry another schema: a column change was cut short after its commit; "
        "the next open adopts theirs");
  }
}

void verifier::check_root(const path& root) {
  const root_files found = list_root(root);
  for (const dir_entry& e : found.strays) {
    if (parse_id(e.path.filename().string()) && !e.is_directory) {
      add(e.path, "damaged", "a file where a table or partition directory is expected");
    } else {
      add(e.path, "stray", "not a table or partition directory");
    }
  }
  for (const dir_entry& e : found.leftovers) {
    add(e.path, "leftover", "an interrupted partition creation; the next start deletes it");
  }
  for (const partition_ref& p : found.partitions) check_partition(p.directory);
}

uint64_t count_segment_entries(const path& partition) {
  return list_partition(partition).segments.size();
}

const char* kind_name(directory_kind kind) {
  switch (kind) {
    case directory_kind::root:
      return "root";
    case directory_kind::partition:
      return "partition";
    case directory_kind::segment:
      return "segment";
  }
  return "";
}

}  // namespace

int verify_storage(const command_options& options, std::ostream& out, std::ostream& err,
                   const terminal& term) {
  const directory_kind kind = kind_of(options.path);
  verifier v(err, term);
  switch (kind) {
    case directory_kind::root: {
      uint64_t total = 0;
      for (const partition_ref& p : list_root(options.path).partitions) {
        total += count_segment_entries(p.directory);
      }
      v.start_progress(total);
      v.check_root(options.path);
      break;
    }
    case directory_kind::partition:
      v.start_progress(count_segment_entries(options.path));
      v.check_partition(options.path);
      break;
    case directory_kind::segment:
      v.check_segment(options.path);
      break;
  }
  v.end_progress();

  const bool sound = v.findings.empty();
  if (options.json) {
    std::string text;
    json_writer w(text);
    w.begin_object().key("path").string(options.path.string()).key("kind").string(kind_name(kind));
    w.key("checked").begin_object();
    w.key("partitions").number(v.partitions).key("layouts").number(v.layouts);
    w.key("segments").number(v.segments).key("files").number(v.files);
    w.key("blocks").number(v.blocks).end_object();
    w.key("sound").boolean(sound).key("findings").begin_array();
    for (const finding& f : v.findings) {
      w.begin_object().key("path").string(f.path).key("problem").string(f.problem);
      w.key("message").string(f.message).end_object();
    }
    w.end_array().end_object();
    out << text << '\n';
  } else {
    out << fmt::format(
        "verify {} ({}): {} partitions, {} layouts, {} segments, {} files, {} blocks checked\n",
        options.path.string(), kind_name(kind), v.partitions, v.layouts, v.segments, v.files,
        v.blocks);
    for (const finding& f : v.findings) {
      out << fmt::format("{:<8} {}: {}\n", f.problem, f.path, f.message);
    }
    out << (sound ? std::string("sound\n") : fmt::format("{} problems found\n", v.findings.size()));
  }
  return sound ? EXIT_SOUND : EXIT_DAMAGE;
}

}  // namespace ombrel::inspect
