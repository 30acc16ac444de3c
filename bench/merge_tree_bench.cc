// Writes and point reads of one merge tree with the workload rows, without the JVM.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <vector>

#include "bench/workload.h"
#include "model/binary_tuple_builder.h"
#include "native/config.h"
#include "tree/merge_tree.h"

namespace {

using namespace ombrel;


constexpr uint64_t N = 200000;

struct fixture {
  std::filesystem::path dir = std::filesystem::temp_directory_path() / "ombrel-merge-tree-bench";
  std::vector<std::vector<std::byte>> rows = bench::encode_rows(bench::make_rows(N));
  std::vector<std::vector<std::byte>> keys;
  fixture() {
    config::get_config().set_param("MEMTABLE_MAX_ENTRIES", "100000000");
    binary_tuple_builder b(1);
    for (int64_t k : bench::make_lookups(N, N)) {
      b.start();
      b.claim_int64(k);
      b.layout();
      b.append_int64(k);
      keys.push_back(b.buffer());
    }
  }
  std::unique_ptr<merge_tree> fresh_tree() {
    std::filesystem::remove_all(dir);
    return std::make_unique<merge_tree>(bench::workload_schema(), dir);
  }
};

fixture& get_fixture() {
  static fixture f;
  return f;
}

void BM_upsert(benchmark::State& state) {
  fixture& f = get_fixture();
  for (auto _ : state) {
    state.PauseTiming();
    auto tree = f.fresh_tree();
    state.ResumeTiming();
    for (uint64_t i = 0; i < N; ++i) {
      tree->upsert(static_cast<tx_timestamp>(i / 1000 + 1), uuid{},
                   bytes_view(f.rows[i].size(), f.rows[i].data()));
    }
    state.PauseTiming();
    tree->mark_as_dropped();
    tree->remove_dropped();
    tree.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * N);
}
BENCHMARK(BM_upsert)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_read(benchmark::State& state) {
  fixture& f = get_fixture();
  auto tree = f.fresh_tree();
  for (uint64_t i = 0; i < N; ++i) {
    tree->upsert(1, uuid{}, bytes_view(f.rows[i].size(), f.rows[i].data()));
  }
  size_t i = 0;
  for (auto _ : state) {
    const auto& k = f.keys[i++ % N];
    benchmark::DoNotOptimize(tree->read(TX_TIMESTAMP_LATEST, bytes_view(k.size(), k.data())));
  }
  state.SetItemsProcessed(state.iterations());
  tree->mark_as_dropped();
  tree->remove_dropped();
}
BENCHMARK(BM_read);

}  // namespace
