// Verifies the workload generator against its published check values, then times generation.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>

#include "bench/workload.h"

namespace {

void BM_make_rows(benchmark::State& state) {
  static const bool checked = [] {
    auto rows = ombrel::bench::make_rows(2000000);
    int64_t sum = 0;
    for (const auto& r : rows) sum += r.c1;
    const uint64_t fp = ombrel::bench::fingerprint(rows);
    if (sum != 999022938 || fp != 0xa04492676559df7eull) {
      std::fprintf(stderr, "workload check failed: sum %lld fingerprint %llx\n",
                   static_cast<long long>(sum), static_cast<unsigned long long>(fp));
      std::abort();
    }
    return true;
  }();
  benchmark::DoNotOptimize(checked);
  for (auto _ : state) benchmark::DoNotOptimize(ombrel::bench::make_rows(state.range(0)));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_make_rows)->Arg(100000);

}  // namespace
