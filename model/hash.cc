#include "model/hash.h"

#include <climits>

#include "model/MurmurHash3.h"
#include "native/errors.h"

namespace ombrel {

hash_value calculate_hash(const std::byte* data, size_t length) {
  // The hash takes a signed 32-bit length; a larger one would make it read outside the data.
  if (length > static_cast<size_t>(INT_MAX)) {
    throw errors::error("hash input too large: " + std::to_string(length) + " bytes");
  }
  uint64_t words[2];
  MurmurHash3_x64_128(data, static_cast<int>(length), 0, words);
  return {words[0], words[1]};
}

hash_value calculate_hash(const std::unique_ptr<std::byte[]>& data, size_t length) {
  return calculate_hash(data.get(), length);
}

}  // namespace ombrel
