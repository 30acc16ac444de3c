#pragma once
// ombrel-inspect as a library: list, verify, describe and dump a storage directory without
// changing a byte of it. run_inspect() takes the arguments after the program name and writes
// the report to `out`, messages and progress to `err`. While it runs it installs a file layer
// that refuses every write, sync, rename, delete and lock, so it takes no root lock and sweeps
// nothing. One call at a time per process (the file layer is process-wide).

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace ombrel::inspect {

// Exit statuses.
inline constexpr int EXIT_SOUND = 0;   // done, nothing wrong found
inline constexpr int EXIT_DAMAGE = 1;  // damage found, or the path cannot be read
inline constexpr int EXIT_USAGE = 2;   // the command line is not understood

struct terminal {
  // Progress goes to `err` only when it is a terminal and the verify run is large.
  bool err_is_terminal = false;
  // Segments a verify run must hold to count as large.
  uint64_t large_segment_count = 200;
};

int run_inspect(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                const terminal& term = {});

}  // namespace ombrel::inspect
