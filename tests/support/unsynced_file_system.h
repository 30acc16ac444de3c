#pragma once
// A file layer whose syncs do nothing: for tests of logic and concurrency, where syncs cost most
// of the time and prove nothing. Durability tests use fault_file_system instead.

#include "model/file_system.h"

namespace ombrel::testing {

struct unsynced_file_system : file_system {
  int fsync(int) override { return 0; }
};

}  // namespace ombrel::testing
