// Column changes of a segment: each writes a complete new segment directory beside the old one.
// Files the change leaves alone are hard-linked (segments are immutable, so sharing an inode
// is safe and costs no I/O); only "_schema" and a changed column are written.

#include <fmt/format.h>

#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "model/file.h"
#include "model/file_system.h"
#include "native/errors.h"
#include "native/log.h"
#include "segment/column_conversion.h"
#include "segment/column_creator.h"
#include "segment/segment.h"

namespace ombrel {
namespace {

// One value per row of a column being written.
using value_source = std::function<std::optional<bytes_view>(uint32_t row)>;

// Per column of the new schema: the old column number to link, or nothing for the one column
// written from `written`.
struct rewrite_plan {
  schema_descriptor schema;
  std::vector<std::optional<unsigned>> sources;
  value_source written;
};

void check_column(const segment& s, unsigned column) {
  if (column >= s.schema().columns.size()) {
    throw errors::error(fmt::format("Column {} does not exist", column));
  }
}

std::shared_ptr<segment> write_segment(const segment& s, const rewrite_plan& plan,
                                       const std::filesystem::path& directory) {
  files::create_directory(directory);
  try {
    std::vector<std::filesystem::path> written;
    plan.schema.store_to_file(directory / segment::SCHEMA_FILENAME);
    written.push_back(directory / segment::SCHEMA_FILENAME);
    for (size_t c = 0; c < plan.schema.columns.size(); ++c) {
      const column_descriptor& target = plan.schema.columns[c];
      if (plan.sources[c]) {
        s.columns().at(*plan.sources[c]).duplicate_to(directory, target);
        continue;
      }
      column_creator out(directory, target);
      out.reserve_buffers(s.size(), 0);
      for (uint32_t row = 0; row < s.size(); ++row) out.add_value(plan.written(row));
      out.close();
      written.push_back(out.path());
    }
    s.columns().back().duplicate_to(directory, column_descriptor::TX_TS);
    if (s.tombstones()) s.tombstones()->duplicate_to(directory, column_descriptor::TOMBSTONE);
    primary_index::duplicate(s.directory(), directory);
    // Linked files are durable already; the new ones and every name must be before a layout
    // may name the directory.
    for (const auto& path : written) file::for_reading(path).sync();
    files::sync_directory(directory);
    return std::make_shared<segment>(directory);
  } catch (...) {
    try {
      files::remove_all(directory);  // named by nothing yet
    } catch (const std::exception& e) {
      logging::detail::log(logging::level::error, "{}", errors::describe(e));
    }
    throw;
  }
}

// Every column linked as it is.
rewrite_plan linked(const segment& s) {
  rewrite_plan plan{s.schema(), {}, {}};
  for (unsigned c = 0; c < s.schema().columns.size(); ++c) plan.sources.emplace_back(c);
  return plan;
}

}  // namespace

std::shared_ptr<segment> segment::add_column(const column_descriptor& column,
                                             const std::filesystem::path& directory) const {
  rewrite_plan plan = linked(*this);
  plan.schema.add_column(column);
  plan.sources.emplace_back(std::nullopt);
  const std::vector<std::byte> fill = default_value(column);
  const bool nullable = column.nullable;
  plan.written = [&](uint32_t) -> std::optional<bytes_view> {
    if (nullable) return std::nullopt;
    return bytes_view(fill.size(), fill.data());
  };
  return write_segment(*this, plan, directory);
}

std::shared_ptr<segment> segment::drop_column(unsigned column,
                                              const std::filesystem::path& directory) const {
  check_column(*this, column);
  if (schema_.is_key_column(column)) throw errors::error("Cannot drop a key column");
  rewrite_plan plan = linked(*this);
  plan.schema.drop_column(column);
  plan.sources.erase(plan.sources.begin() + column);
  return write_segment(*this, plan, directory);
}

std::shared_ptr<segment> segment::rename_column(unsigned column, const std::string& name,
                                                const std::filesystem::path& directory) const {
  check_column(*this, column);
  rewrite_plan plan = linked(*this);
  plan.schema.columns[column].name = name;
  return write_segment(*this, plan, directory);
}

std::shared_ptr<segment> segment::modify_column(unsigned column, const column_info& info,
                                                const std::filesystem::path& directory) const {
  check_column(*this, column);
  if (schema_.is_key_column(column)) throw errors::error("Cannot modify a key column");
  rewrite_plan plan = linked(*this);
  column_descriptor& changed = plan.schema.columns[column];
  changed.type = info.type;
  changed.size = info.size;
  changed.nullable = info.nullable;
  plan.sources[column].reset();
  column_reader old(columns_.at(column));
  old.read_file_and_decompress();
  value_converter converter(schema_.columns[column], changed);
  plan.written = [&](uint32_t row) { return converter.convert(old.value(row)); };
  return write_segment(*this, plan, directory);
}

}  // namespace ombrel
