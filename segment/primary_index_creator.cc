#include "segment/primary_index_creator.h"

#include <cstring>

#include "model/file.h"
#include "model/file_system.h"
#include "native/log.h"
#include "segment/primary_index.h"

namespace ombrel {

primary_index_creator::~primary_index_creator() {
  if (!buffer_.empty()) logging::detail::log(logging::level::error, "Last key not dumped");
}

std::byte* primary_index_creator::grow(const material_tuple_schema::element_info& element,
                                       size_t bytes) {
  // Zero bytes pad the position up to the column's key alignment.
  const size_t start = (buffer_.size() + element.align_mask) & ~size_t{element.align_mask};
  buffer_.resize(start + bytes);
  return buffer_.data() + start;
}

void primary_index_creator::append_value(const material_tuple_schema::element_info& element,
                                         bytes_view value) {
  if (element.size != 0) {
    std::memcpy(grow(element, element.size), value.data, element.size);
    return;
  }
  const auto length = static_cast<uint32_t>(value.size());
  std::byte* out = grow(element, sizeof(length) + value.size());
  std::memcpy(out, &length, sizeof(length));
  if (length != 0) std::memcpy(out + sizeof(length), value.data, length);
}

void primary_index_creator::append_key(const material_tuple_schema& schema,
                                       const material_tuple& tuple) {
  for (uint32_t s = 0; s < schema.key_count; ++s) {
    const material_tuple_schema::element_info& element = schema[s];
    const std::byte* value = tuple[s];
    if (element.size != 0) {
      append_value(element, bytes_view(element.size, value));
    } else {
      uint32_t length;
      std::memcpy(&length, value, sizeof(length));
      append_value(element, bytes_view(length, value + sizeof(length)));
    }
  }
}

void primary_index_creator::finalize(const std::filesystem::path& directory) {
  files::create_directories(directory);
  file out = file::for_writing(directory / primary_index::FILENAME);
  out.write(buffer_.data(), buffer_.size());
  out.close();
  buffer_.clear();
}

}  // namespace ombrel
