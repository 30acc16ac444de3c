// segment: one segment's schema, and per column file its blocks, how they were stored and what
// that saved.

#include <fmt/format.h>

#include <array>
#include <map>

#include "model/file.h"
#include "segment/column_reader.h"
#include "segment/oroch.h"
#include "segment/storage_block.h"
#include "tools/examine/commands.h"
#include "tools/examine/json_writer.h"
#include "tools/examine/storage_files.h"
#include "tools/examine/value_text.h"

namespace ombrel::inspect {
namespace {

constexpr std::array<const char*, 4> METHOD_NAMES = {"raw", "lz4", "integer", "bitset"};

std::string encoding_name(uint8_t number) {
  static constexpr const char* NAMES[] = {"constant",      "plain",         "zigzag_varint",
                                          "offset_varint", "zigzag_packed", "offset_packed",
                                          "bitpfr"};
  if (number <= oroch::MAX_ENCODING) return NAMES[number];
  return fmt::format("unknown_{}", number);
}

struct column_summary {
  std::string file;
  ombrel_type type = NONE;
  uint32_t rows = 0;
  uint64_t blocks = 0;
  std::map<std::string, uint64_t> methods;    // by name; every known method listed
  std::map<std::string, uint64_t> encodings;  // integer codec blocks by encoding
  uint64_t stored = 0;
  uint64_t raw = 0;
  uint64_t file_bytes = 0;
};

column_summary summarize(const column_file& cf) {
  const column_reader reader(cf);
  column_summary c;
  c.file = cf.file_name();
  c.type = cf.descriptor.type;
  c.rows = reader.row_count();
  c.blocks = reader.headers().size();
  for (const char* name : METHOD_NAMES) c.methods[name] = 0;
  const file in = file::for_reading(cf.path());
  uint64_t offset = 0;
  for (const storage_block_header& h : reader.headers()) {
    c.methods[h.method < METHOD_NAMES.size() ? METHOD_NAMES[h.method] : "unknown"] += 1;
    if (h.method == METHOD_INTEGER_CODEC && h.stored_size != 0) {
      std::byte encoding;
      in.read(offset, &encoding, 1);
      c.encodings[encoding_name(static_cast<uint8_t>(encoding))] += 1;
    }
    offset += h.stored_size;
    c.stored += h.stored_size;
    c.raw += h.size;
  }
  c.file_bytes = in.size();
  return c;
}

std::string ratio_text(const column_summary& c) {
  if (c.stored == 0) return "-";
  return fmt::format("{:.2f}", static_cast<double>(c.raw) / static_cast<double>(c.stored));
}

std::string counts_text(const std::map<std::string, uint64_t>& counts) {
  std::string text;
  for (const auto& [name, count] : counts) {
    if (count == 0) continue;
    text += fmt::format("{}{} {}", text.empty() ? "" : ", ", name, count);
  }
  return text.empty() ? "none" : text;
}

}  // namespace

int describe_segment(const command_options& options, std::ostream& out, std::ostream& err) {
  if (kind_of(options.path) != directory_kind::segment) {
    err << "ombrel-inspect: " << options.path.string() << " is not a segment directory\n";
    return EXIT_USAGE;
  }
  const std::shared_ptr<segment> s = open_segment(options.path);
  std::vector<column_file> files = s->columns();
  if (s->tombstones()) files.push_back(*s->tombstones());
  std::vector<column_summary> columns;
  for (const column_file& cf : files) columns.push_back(summarize(cf));
  const uint64_t tombstones = count_tombstones(*s);
  const uint64_t bytes = directory_bytes(s->directory());
  const schema_descriptor& schema = s->schema();

  if (options.json) {
    std::string text;
    json_writer w(text);
    w.begin_object().key("directory").string(options.path.string());
    w.key("schema").begin_object().key("version").number(uint64_t{schema.version});
    w.key("columns").begin_array();
    for (size_t c = 0; c < schema.columns.size(); ++c) {
      const column_descriptor& d = schema.columns[c];
      w.begin_object().key("name").string(d.name).key("type").string(type_name(d.type));
      w.key("nullable").boolean(d.nullable).key("key_position");
      schema.is_key_column(c) ? w.number(uint64_t{schema.key_positions[c]}) : w.null();
      w.end_object();
    }
    w.end_array().end_object();
    w.key("rows").number(uint64_t{s->size()}).key("tombstones").number(tombstones);
    w.key("index").begin_object().key("entries").number(uint64_t{s->index().keys().size()});
    w.key("granularity").number(s->index().granularity()).end_object();
    w.key("bytes").number(bytes);
    w.key("columns").begin_array();
    for (const column_summary& c : columns) {
      w.begin_object().key("file").string(c.file).key("type").string(type_name(c.type));
      w.key("rows").number(uint64_t{c.rows}).key("blocks").number(c.blocks);
      w.key("methods").begin_object();
      for (const auto& [name, count] : c.methods) w.key(name).number(count);
      w.end_object().key("encodings").begin_object();
      for (const auto& [name, count] : c.encodings) w.key(name).number(count);
      w.end_object();
      w.key("stored_bytes").number(c.stored).key("raw_bytes").number(c.raw);
      w.key("ratio");
      c.stored == 0 ? w.null() : w.raw(ratio_text(c));
      w.key("file_bytes").number(c.file_bytes).end_object();
    }
    w.end_array().end_object();
    out << text << '\n';
    return EXIT_SOUND;
  }

  out << "segment " << options.path.string() << '\n';
  out << "schema version " << schema.version << ":\n";
  for (size_t c = 0; c < schema.columns.size(); ++c) {
    const column_descriptor& d = schema.columns[c];
    out << fmt::format(
        "  {} {}{}{}\n", json_quote(d.name), type_name(d.type), d.nullable ? " nullable" : "",
        schema.is_key_column(c) ? fmt::format(" key {}", schema.key_positions[c]) : "");
  }
  out << fmt::format("{} rows, {} tombstones, index of {} entries at granularity {}, {} bytes\n",
                     s->size(), tombstones, s->index().keys().size(), s->index().granularity(),
                     bytes);
  for (const column_summary& c : columns) {
    out << fmt::format(
        "  {} {}: {} blocks ({}), encodings: {}; {} stored of {} raw bytes, ratio {}, file {} "
        "bytes\n",
        c.file, type_name(c.type), c.blocks, counts_text(c.methods), counts_text(c.encodings),
        c.stored, c.raw, ratio_text(c), c.file_bytes);
  }
  return EXIT_SOUND;
}

}  // namespace ombrel::inspect
