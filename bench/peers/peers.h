#pragma once
// The peer engines of the side-by-side benchmark, each measured through its public API.

#include <memory>

#include "bench/peers/harness.h"

namespace ombrel::bench {

std::unique_ptr<peer> make_rocksdb_peer();
std::unique_ptr<peer> make_sqlite_peer();

}  // namespace ombrel::bench
