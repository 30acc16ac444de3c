// Runs the workload's phases on one peer engine and prints the results for bench/report.py.
// Usage: peer_bench rocksdb|sqlite [--rows N] [--lookups N] [--runs N] [--dir PATH]
#include <cstdio>
#include <exception>
#include <string_view>

#include "bench/peers/peers.h"

int main(int argc, char** argv) {
  using namespace ombrel::bench;
  const std::string_view engine = argc > 1 ? argv[1] : "";
  try {
    std::unique_ptr<peer> p = engine == "rocksdb"  ? make_rocksdb_peer()
                              : engine == "sqlite" ? make_sqlite_peer()
                                                   : nullptr;
    if (!p) {
      std::fprintf(
          stderr,
          "usage: peer_bench rocksdb|sqlite [--rows N] [--lookups N] [--runs N] [--dir PATH]\n");
      return 2;
    }
    return run_phases(*p, parse_options(argc - 1, argv + 1));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "peer_bench %s: %s\n", argv[1], e.what());
    return 2;
  }
}
