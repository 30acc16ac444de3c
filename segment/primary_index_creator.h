#pragma once
// Gathers the sampled keys of a segment being written, in the "_index" entry format: per key
// column, in key order, the write position aligned to the column's key alignment (zero bytes
// fill the gap), then the fixed-size value, or a 32-bit length and the bytes. Owned by one
// writer (the segment creator or an index rebuild).

#include <cstddef>
#include <filesystem>
#include <vector>

#include "model/common.h"
#include "model/tuple.h"
#include "model/tuple_schema.h"

namespace ombrel {

class primary_index_creator {
 public:
  primary_index_creator() = default;
  primary_index_creator(const primary_index_creator&) = delete;
  primary_index_creator& operator=(const primary_index_creator&) = delete;
  // Logs "Last key not dumped" (ERROR) when entries were added but never finalized.
  ~primary_index_creator();

  // Appends one key value of column `element`: `value` holds the fixed-size bytes, or the
  // payload of a variable-length value (without its length).
  void append_value(const material_tuple_schema::element_info& element, bytes_view value);
  // Appends the key slots of `tuple` (variable-length slots carry their 32-bit length).
  void append_key(const material_tuple_schema& schema, const material_tuple& tuple);

  // Creates `directory` (and its parents) when missing, writes the entries to
  // directory / "_index" (an empty file when there are none) and empties the buffer.
  void finalize(const std::filesystem::path& directory);

  const std::vector<std::byte>& buffer() const { return buffer_; }

 private:
  std::byte* grow(const material_tuple_schema::element_info& element, size_t bytes);

  std::vector<std::byte> buffer_;
};

}  // namespace ombrel
