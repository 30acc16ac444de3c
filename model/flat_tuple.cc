#include "model/flat_tuple.h"

#include <cstring>

#include "native/errors.h"

namespace ombrel {

flat_tuple flat_tuple::copy(const row_values& row) {
  size_t total = 0;
  for (const auto& v : row) total += v ? v->size() : 0;
  flat_tuple result;
  result.values_.reserve(row.size());
  result.storage_.resize(total);
  size_t used = 0;
  for (const auto& v : row) {
    if (!v) {
      result.values_.emplace_back();
      continue;
    }
    if (v->size() > total - used) throw errors::error("overflow of a tuple buffer");
    std::byte* dst = result.storage_.data() + used;
    if (v->size() > 0) std::memcpy(dst, v->data, v->size());
    result.values_.emplace_back(bytes_view(v->size(), dst));
    used += v->size();
  }
  return result;
}

flat_tuple& flat_tuple::operator=(const flat_tuple& other) {
  if (this != &other) *this = copy(other.values_);
  return *this;
}

}  // namespace ombrel
