#include "model/schema_descriptor.h"

#include <fmt/format.h>

#include <cstring>
#include <utility>

#include "model/file.h"
#include "model/file_system.h"
#include "native/errors.h"

namespace ombrel {

const column_descriptor column_descriptor::TX_TS{
    "tx_ts", column_info{INTERNAL_TYPE, 8, false, true, 0, 0, 0}};
const column_descriptor column_descriptor::TOMBSTONE{
    "tombstone", column_info{INTERNAL_TYPE, 1, false, true, 0, 0, 0}};

column_info column_info::of_type(ombrel_type type, bool nullable) {
  column_info info;
  info.type = type;
  info.size = ombrel_type_info::get(type).size;
  info.nullable = nullable;
  return info;
}

namespace {

// Sequential little-endian reader that refuses to run past the announced input.
class schema_reader {
 public:
  schema_reader(const std::byte* data, size_t length) : cursor_(data), end_(data + length) {}

  template <typename T>
  T read(const char* field) {
    T value;
    std::memcpy(&value, take(sizeof(T), field), sizeof(T));
    return value;
  }

  std::string read_string(size_t length, const char* field) {
    const std::byte* p = take(length, field);
    return std::string(reinterpret_cast<const char*>(p), length);
  }

  const std::byte* position() const { return cursor_; }

 private:
  const std::byte* take(size_t n, const char* field) {
    if (static_cast<size_t>(end_ - cursor_) < n) {
      throw errors::error(
          fmt::format("Truncated schema: {} needs {} bytes, {} left", field, n, end_ - cursor_));
    }
    const std::byte* p = cursor_;
    cursor_ += n;
    return p;
  }

  const std::byte* cursor_;
  const std::byte* end_;
};

template <typename T>
void append(std::vector<std::byte>& out, T value) {
  const auto* p = reinterpret_cast<const std::byte*>(&value);
  out.insert(out.end(), p, p + sizeof(T));
}

// Smallest serialised column record: fields without the name.
constexpr size_t MIN_COLUMN_RECORD = 4 + 4 + 4 + 1 + 2 + 2 + 4;

// Longest file name the file systems we run on accept (NAME_MAX).
constexpr size_t MAX_FILE_NAME = 255;

// The name as it may be printed: bytes outside printable ASCII as \xNN.
std::string printable(std::string_view name) {
  std::string out;
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7f && c != '\\') {
      out += c;
    } else {
      out += fmt::format("\\x{:02x}", u);
    }
  }
  return out;
}

material_tuple_schema::element_info element_of(const column_descriptor& column, bool in_key,
                                               uint32_t index) {
  material_tuple_schema::element_info e;
  e.type = column.type;
  e.size = column.size;
  e.index = index;
  if (in_key) {
    // Length-prefixed values in the key part are aligned for their 4-byte length.
    e.align_mask = column.size == 0 ? 3 : ombrel_type_info::get(column.type).alignment - 1;
  }
  return e;
}

tuple_element tuple_element_of(const column_descriptor& column) {
  return tuple_element{column.type, column.size, ombrel_type_info::get(column.type).varlen};
}

}  // namespace

std::vector<std::byte> schema_descriptor::serialize() const {
  std::vector<std::byte> out;
  size_t total = 8;
  for (const auto& c : columns) total += MIN_COLUMN_RECORD + c.name.size();
  out.reserve(total);
  append<uint32_t>(out, version);
  append<uint32_t>(out, static_cast<uint32_t>(columns.size()));
  for (size_t i = 0; i < columns.size(); ++i) {
    const column_descriptor& c = columns[i];
    append<uint32_t>(out, static_cast<uint32_t>(c.type));
    append<uint32_t>(out, key_positions[i]);
    append<uint32_t>(out, static_cast<uint32_t>(c.name.size()));
    const auto* name = reinterpret_cast<const std::byte*>(c.name.data());
    out.insert(out.end(), name, name + c.name.size());
    append<uint8_t>(out, c.nullable ? 1 : 0);
    append<uint16_t>(out, c.aux_b);
    append<uint16_t>(out, c.aux_a);
    append<uint32_t>(out, c.aux_c);
  }
  return out;
}

void schema_descriptor::deserialize(const std::byte*& cursor, size_t length) {
  schema_reader in(cursor, length);
  const uint32_t new_version = in.read<uint32_t>("version");
  const uint32_t count = in.read<uint32_t>("column count");
  // Each record takes at least MIN_COLUMN_RECORD bytes: refuse absurd counts before reserving.
  if (count > length / MIN_COLUMN_RECORD) {
    throw errors::error(
        fmt::format("Truncated schema: {} columns announced in {} bytes", count, length));
  }
  std::vector<column_descriptor> new_columns;
  std::vector<uint32_t> positions;
  new_columns.reserve(count);
  positions.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    const auto type = static_cast<ombrel_type>(in.read<uint32_t>("column type"));
    const uint32_t position = in.read<uint32_t>("key position");
    const uint32_t name_length = in.read<uint32_t>("name length");
    column_descriptor c;
    c.name = in.read_string(name_length, "column name");
    c.type = type;
    c.size = ombrel_type_info::get(type).size;
    c.nullable = in.read<uint8_t>("nullable flag") != 0;
    c.aux_b = in.read<uint16_t>("aux_b");
    c.aux_a = in.read<uint16_t>("aux_a");
    c.aux_c = in.read<uint32_t>("aux_c");
    check_column_name(c, i);
    new_columns.push_back(std::move(c));
    positions.push_back(position);
  }
  schema_descriptor result;
  result.version = new_version;
  result.columns = std::move(new_columns);
  result.initialize_positions(std::move(positions));
  *this = std::move(result);
  cursor = in.position();
}

void schema_descriptor::deserialize(const std::vector<std::byte>& bytes) {
  const std::byte* cursor = bytes.data();
  deserialize(cursor, bytes.size());
}

void schema_descriptor::check_column_name(const column_descriptor& column, uint32_t number) {
  const std::string& name = column.name;
  std::string reason;
  if (name.empty()) {
    reason = "empty";
  } else if (name.find('/') != std::string::npos) {
    reason = "contains '/'";
  } else if (name.find('\0') != std::string::npos) {
    reason = "contains a zero byte";
  } else if (name == "." || name == "..") {
    reason = "names a directory";
  } else if (const size_t n = column.file_name().size(); n > MAX_FILE_NAME) {
    reason = fmt::format("its file name takes {} bytes, more than {}", n, MAX_FILE_NAME);
  }
  if (!reason.empty()) {
    throw errors::error(
        fmt::format("Invalid name of column {} \"{}\": {}", number, printable(name), reason));
  }
}

void schema_descriptor::initialize_positions(std::vector<uint32_t> positions) {
  if (positions.size() != columns.size()) throw errors::fatal_error("Column number mismatch");
  size_t k = 0;
  for (uint32_t p : positions) k += p != NO_COLUMN;
  for (size_t i = 0; i < positions.size(); ++i) {
    if (positions[i] != NO_COLUMN && positions[i] >= k) {
      throw errors::error(
          fmt::format("Key position {} of column {} is outside a primary key of {} columns",
                      positions[i], i, k));
    }
  }
  std::vector<uint32_t> new_key_columns(k, NO_COLUMN);
  std::vector<uint32_t> new_material_positions(positions.size());
  uint32_t next_value_slot = static_cast<uint32_t>(k);
  for (uint32_t i = 0; i < positions.size(); ++i) {
    if (positions[i] != NO_COLUMN) {
      new_key_columns[positions[i]] = i;
      new_material_positions[i] = positions[i];
    } else {
      new_material_positions[i] = next_value_slot++;
    }
  }
  for (uint32_t c : new_key_columns) {
    if (c == NO_COLUMN) throw errors::fatal_error("Gap in primary key definition");
  }
  std::vector<uint32_t> new_material_order(positions.size());
  for (uint32_t i = 0; i < positions.size(); ++i) new_material_order[new_material_positions[i]] = i;
  key_positions = std::move(positions);
  key_columns = std::move(new_key_columns);
  material_positions = std::move(new_material_positions);
  material_order = std::move(new_material_order);
}

uint32_t schema_descriptor::get_column_index(std::string_view name) const {
  for (size_t i = 0; i < columns.size(); ++i) {
    if (columns[i].name == name) return static_cast<uint32_t>(i);
  }
  return NO_COLUMN;
}

void schema_descriptor::add_column(column_descriptor column) {
  const auto number = static_cast<uint32_t>(columns.size());
  columns.push_back(std::move(column));
  key_positions.push_back(NO_COLUMN);
  material_positions.push_back(number);
  material_order.push_back(number);
}

void schema_descriptor::drop_column(uint32_t column) {
  if (column >= columns.size()) {
    throw errors::error(fmt::format("Column {} does not exist", column));
  }
  if (key_positions[column] != NO_COLUMN) {
    throw errors::fatal_error("Primary key columm cannot be dropped");
  }
  columns.erase(columns.begin() + column);
  key_positions.erase(key_positions.begin() + column);
  for (uint32_t& c : key_columns) c -= c > column;
  std::erase(material_order, column);
  for (uint32_t& c : material_order) c -= c > column;
  material_positions.assign(columns.size(), 0);
  for (uint32_t slot = 0; slot < material_order.size(); ++slot) {
    material_positions[material_order[slot]] = slot;
  }
}

material_tuple_schema schema_descriptor::get_material_schema() const {
  material_tuple_schema result;
  result.key_count = static_cast<uint32_t>(key_columns.size());
  result.elements.reserve(material_order.size());
  for (uint32_t slot = 0; slot < material_order.size(); ++slot) {
    const uint32_t column = material_order[slot];
    result.elements.push_back(element_of(columns[column], slot < result.key_count, column));
  }
  return result;
}

material_tuple_schema schema_descriptor::get_material_key_schema() const {
  material_tuple_schema result;
  result.key_count = static_cast<uint32_t>(key_columns.size());
  result.elements.reserve(key_columns.size());
  for (uint32_t s = 0; s < key_columns.size(); ++s) {
    result.elements.push_back(element_of(columns[key_columns[s]], true, s));
  }
  return result;
}

tuple_schema schema_descriptor::get_tuple_schema() const {
  tuple_schema result;
  result.reserve(columns.size());
  for (const auto& c : columns) result.push_back(tuple_element_of(c));
  return result;
}

tuple_schema schema_descriptor::get_key_tuple_schema() const {
  tuple_schema result;
  result.reserve(key_columns.size());
  for (uint32_t c : key_columns) result.push_back(tuple_element_of(columns[c]));
  return result;
}

void schema_descriptor::store_to_file(const std::filesystem::path& path) const {
  const std::vector<std::byte> bytes = serialize();
  if (files::exists(path)) {
    std::filesystem::path tmp = path;
    tmp += "_tmp";
    files::replace_file(path, tmp, bytes);
  } else {
    file out = file::for_writing(path);
    out.write(bytes.data(), bytes.size());
    out.close();
  }
}

void schema_descriptor::load_from_file(const std::filesystem::path& path) {
  deserialize(file::for_reading(path).read_as_bytes());
}

std::shared_ptr<schema_descriptor> load_schema_from_file(const std::filesystem::path& path) {
  auto schema = std::make_shared<schema_descriptor>();
  schema->load_from_file(path);
  return schema;
}

}  // namespace ombrel
