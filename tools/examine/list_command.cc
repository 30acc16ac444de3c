// ls: every partition of a root (or one partition) with its newest layout, levels and segments.

#include <fmt/format.h>

#include "native/errors.h"
#include "tools/examine/commands.h"
#include "tools/examine/json_writer.h"
#include "tools/examine/storage_files.h"
#include "tools/examine/value_text.h"

namespace ombrel::inspect {
namespace {

struct totals {
  uint64_t segments = 0;
  uint64_t rows = 0;
  uint64_t tombstones = 0;
  uint64_t bytes = 0;

  void add(const totals& t) {
    segments += t.segments;
    rows += t.rows;
    tombstones += t.tombstones;
    bytes += t.bytes;
  }
};

struct segment_summary {
  uint64_t number = 0;
  totals counts;
  std::string min_key;  // JSON arrays
  std::string max_key;
};

struct level_summary {
  std::vector<segment_summary> segments;
  totals counts;
};

struct partition_summary {
  partition_ref ref;
  std::string name;
  bool dropped = false;
  std::optional<uint64_t> layout;
  row_tag tag;
  std::vector<level_summary> levels;
  totals counts;
  std::string error;  // why the partition could not be read; empty when it could
};

partition_summary summarize(const partition_ref& ref) {
  partition_summary p;
  p.ref = ref;
  try {
    const loaded_partition loaded = load_partition(ref.directory);
    p.name = loaded.name;
    p.dropped = loaded.dropped;
    if (loaded.layout) p.layout = loaded.layout->number;
    p.tag = loaded.contents.tag;
    for (size_t l = 0; l < loaded.levels.size(); ++l) {
      level_summary& level = p.levels.emplace_back();
      for (size_t i = 0; i < loaded.levels[l].size(); ++i) {
        const segment& s = *loaded.levels[l][i];
        segment_summary& out = level.segments.emplace_back();
        out.number = loaded.contents.levels[l][i];
        out.counts = {1, s.size(), count_tombstones(s), directory_bytes(s.directory())};
        const auto& keys = s.index().keys();
        out.min_key = key_json(s.material_schema(), keys.front());
        out.max_key = key_json(s.material_schema(), keys.back());
        level.counts.add(out.counts);
      }
      p.counts.add(level.counts);
    }
  } catch (const std::exception& e) {
    p.error = errors::describe(e);
  }
  return p;
}

void write_counts(json_writer& w, const totals& t) {
  w.key("segment_count").number(t.segments);
  w.key("rows").number(t.rows);
  w.key("tombstones").number(t.tombstones);
  w.key("bytes").number(t.bytes);
}

std::string counts_text(const totals& t) {
  return fmt::format("{} segments, {} rows, {} tombstones, {} bytes", t.segments, t.rows,
                     t.tombstones, t.bytes);
}

void write_json(std::ostream& out, const std::filesystem::path& root,
                const std::vector<partition_summary>& partitions) {
  std::string text;
  json_writer w(text);
  w.begin_object().key("root").string(root.string()).key("partitions").begin_array();
  for (const partition_summary& p : partitions) {
    w.begin_object();
    w.key("table_id").number(int64_t{p.ref.table_id});
    w.key("partition_id").number(int64_t{p.ref.partition_id});
    w.key("directory").string(p.ref.directory.string());
    w.key("name").string(p.name);
    w.key("dropped").boolean(p.dropped);
    w.key("layout");
    p.layout ? w.number(*p.layout) : w.null();
    w.key("last_persisted_row").begin_object();
    w.key("timestamp").number(int64_t{p.tag.timestamp});
    w.key("tx").string(uuid_text(p.tag.tx));
    w.end_object();
    w.key("levels").begin_array();
    for (size_t l = 0; l < p.levels.size(); ++l) {
      w.begin_object().key("level").number(uint64_t{l}).key("segments").begin_array();
      for (const segment_summary& s : p.levels[l].segments) {
        w.begin_object().key("number").number(s.number);
        w.key("rows").number(s.counts.rows).key("tombstones").number(s.counts.tombstones);
        w.key("min_key").raw(s.min_key).key("max_key").raw(s.max_key);
        w.key("bytes").number(s.counts.bytes).end_object();
      }
      w.end_array();
      write_counts(w, p.levels[l].counts);
      w.end_object();
    }
    w.end_array();
    write_counts(w, p.counts);
    w.key("error");
    p.error.empty() ? w.null() : w.string(p.error);
    w.end_object();
  }
  w.end_array().end_object();
  out << text << '\n';
}

void write_text(std::ostream& out, const std::vector<partition_summary>& partitions) {
  for (const partition_summary& p : partitions) {
    out << fmt::format("table {} partition {} {}", p.ref.table_id, p.ref.partition_id,
                       json_quote(p.name));
    if (p.dropped) out << " (dropped)";
    if (!p.error.empty()) {
      out << ": error: " << p.error << '\n';
      continue;
    }
    if (!p.layout) {
      out << (p.dropped ? "\n" : ": no layout file\n");
      continue;
    }
    out << fmt::format(": _layout_{}, last persisted row {} {}\n", *p.layout, p.tag.timestamp,
                       uuid_text(p.tag.tx));
    for (size_t l = 0; l < p.levels.size(); ++l) {
      out << fmt::format("  level {}: {}\n", l, counts_text(p.levels[l].counts));
      for (const segment_summary& s : p.levels[l].segments) {
        out << fmt::format("    segment {}: {} rows, {} tombstones, keys {} .. {}, {} bytes\n",
                           s.number, s.counts.rows, s.counts.tombstones, s.min_key, s.max_key,
                           s.counts.bytes);
      }
    }
    out << fmt::format("  total: {}\n", counts_text(p.counts));
  }
}

}  // namespace

int list_storage(const command_options& options, std::ostream& out, std::ostream& err) {
  std::vector<partition_ref> refs;
  switch (kind_of(options.path)) {
    case directory_kind::segment:
      err << "ombrel-inspect: " << options.path.string()
          << " is a segment directory; use: ombrel-inspect segment DIR\n";
      return EXIT_USAGE;
    case directory_kind::partition:
      refs.push_back(partition_of(options.path));
      break;
    case directory_kind::root:
      refs = list_root(options.path).partitions;
      break;
  }
  std::vector<partition_summary> partitions;
  bool failed = false;
  for (const partition_ref& ref : refs) {
    partitions.push_back(summarize(ref));
    failed = failed || !partitions.back().error.empty();
  }
  if (options.json) {
    write_json(out, options.path, partitions);
  } else {
    write_text(out, partitions);
  }
  return failed ? EXIT_DAMAGE : EXIT_SOUND;
}

}  // namespace ombrel::inspect
