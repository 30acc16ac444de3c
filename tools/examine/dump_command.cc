// dump: the rows of a partition or a segment visible at a timestamp, through the merge
// iterator a scan uses, as CSV or JSON lines.

#include <fmt/format.h>

#include "model/bitset.h"
#include "tools/examine/commands.h"
#include "tools/examine/json_writer.h"
#include "tools/examine/storage_files.h"
#include "tools/examine/value_text.h"
#include "tree/merge_tree_iterator.h"

namespace ombrel::inspect {
namespace {

// A header field: quoted only when it holds a separator, a quote or a line break.
std::string csv_header_field(const std::string& name) {
  if (name.find_first_of(",\"\r\n") == std::string::npos && !name.empty()) return name;
  std::string out = "\"";
  for (const char c : name) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  return out + "\"";
}

}  // namespace

int dump_rows(const command_options& options, std::ostream& out, std::ostream& err) {
  auto state = std::make_shared<tree_state>();
  schema_descriptor schema;
  switch (kind_of(options.path)) {
    case directory_kind::root:
      err << "ombrel-inspect: " << options.path.string()
          << " is not a partition or segment directory\n";
      return EXIT_USAGE;
    case directory_kind::segment: {
      std::shared_ptr<segment> s = open_segment(options.path);
      schema = s->schema();
      state->levels.push_back({std::move(s)});
      break;
    }
    case directory_kind::partition: {
      loaded_partition p = load_partition(options.path);
      if (p.dropped) {
        err << "ombrel-inspect: " << options.path.string() << " is dropped: it has no rows\n";
        return EXIT_DAMAGE;
      }
      schema = std::move(p.schema);
      state->levels = std::move(p.levels);
      break;
    }
  }

  std::vector<uint32_t> requested;  // table columns in output order
  if (options.columns) {
    for (const std::string& name : *options.columns) {
      const uint32_t c = schema.get_column_index(name);
      if (c == NO_COLUMN) {
        err << "ombrel-inspect: no column " << json_quote(name) << '\n';
        return EXIT_USAGE;
      }
      requested.push_back(c);
    }
  } else {
    for (uint32_t c = 0; c < schema.columns.size(); ++c) requested.push_back(c);
  }
  bitset projection(schema.columns.size());
  for (const uint32_t c : requested) projection.set(c);
  // The iterator hands the projected columns out in table order.
  std::vector<size_t> slot(schema.columns.size());
  for (size_t c = 0, at = 0; c < schema.columns.size(); ++c) {
    if (projection[c]) slot[c] = at++;
  }

  const bool json = options.format == text_form::json;
  std::string text;
  if (!json) {
    for (size_t i = 0; i < requested.size(); ++i) {
      if (i != 0) text += ',';
      text += csv_header_field(schema.columns[requested[i]].name);
    }
    text += '\n';
  }
  std::vector<std::string> keys;  // JSON member names, quoted
  for (const uint32_t c : requested) keys.push_back(json_quote(schema.columns[c].name) + ":");

  merge_tree_iterator rows(schema, state, options.timestamp, &projection);
  uint64_t count = 0;
  const uint64_t limit = options.limit.value_or(UINT64_MAX);
  auto print = [&](const row_values& values) {
    if (json) text += '{';
    for (size_t i = 0; i < requested.size(); ++i) {
      if (i != 0) text += ',';
      if (json) text += keys[i];
      append_value(text, schema.columns[requested[i]].type, values[slot[requested[i]]],
                   options.format);
    }
    text += json ? "}\n" : "\n";
  };
  while (count < limit && rows.get_next(print)) {
    ++count;
    if (text.size() >= 1 << 16) {
      out << text;
      text.clear();
    }
  }
  out << text;
  return EXIT_SOUND;
}

}  // namespace ombrel::inspect
