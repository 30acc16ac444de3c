#pragma once
// Reader of the batch buffer the host passes to processBatch: a signed record count, then
// records of (operation marker, payload length, two transaction id words, payload).

#include <cstdint>
#include <functional>

#include "model/common.h"

namespace ombrel {

struct batch_record {
  bool is_remove;
  uuid tx_id;
  bytes_view payload;  // the whole row for an upsert, the key for a removal
};

// Calls `apply` for each record in order; a count below 1 is an empty batch. A record with a
// negative payload length fails with errors::error before `apply` sees it.
// REQUIRES: `batch` is not null and holds the records it announces.
void for_each_batch_record(const std::byte* batch,
                           const std::function<void(const batch_record&)>& apply);

}  // namespace ombrel
