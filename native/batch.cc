#include "native/batch.h"

#include <fmt/format.h>

#include <cstring>

#include "native/errors.h"

namespace ombrel {
namespace {

template <typename T>
T load(const std::byte* p) {
  T value;
  std::memcpy(&value, p, sizeof(T));
  return value;
}

constexpr int32_t REMOVE_MARKER = -1;
constexpr size_t RECORD_HEADER = 24;

}  // namespace

void for_each_batch_record(const std::byte* batch,
                           const std::function<void(const batch_record&)>& apply) {
  const int32_t count = load<int32_t>(batch);
  const std::byte* record = batch + 4;
  for (int32_t i = 0; i < count; ++i) {
    const int32_t length = load<int32_t>(record + 4);
    if (length < 0) {
      throw errors::error(
          fmt::format("Bad batch record {}: negative payload length {}", i, length));
    }
    batch_record r;
    r.is_remove = load<int32_t>(record) == REMOVE_MARKER;
    // The host's first word is the id's second half.
    r.tx_id.second = load<int64_t>(record + 8);
    r.tx_id.first = load<int64_t>(record + 16);
    r.payload = bytes_view(record + RECORD_HEADER, static_cast<size_t>(length));
    apply(r);
    record += RECORD_HEADER + static_cast<size_t>(length);
  }
}

}  // namespace ombrel
