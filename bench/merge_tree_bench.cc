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

schema_descriptor workload_schema() {
  schema_descriptor s;
  s.columns.emplace_back("k", column_info::of_type(INT64, false));
  s.columns.emplace_back("c1", column_info::of_type(INT32, false));
  s.columns.emplace_back("c2", column_info::of_type(DOUBLE, false));
  s.columns.emplace_back("c3", column_info::of_type(STRING, false));
  s.columns.emplace_back("c4", column_info::of_type(TIMESTAMP, false));
  s.initialize_positions({0, NO_COLUMN, NO_COLUMN, NO_COLUMN, NO_COLUMN});
  return s;
}

std::vector<std::vector<std::byte>> encode(const std::vector<bench::workload_row>& rows) {
  std::vector<std::vector<std::byte>> out;
  binary_tuple_builder b(5);
  for (const auto& r : rows) {
    const bytes_view text(r.c3, 16);
    const ombrel_timestamp ts{r.c4_seconds, r.c4_nanos};
    b.start();
    b.claim_int64(r.k);
    b.claim_int32(r.c1);
    b.claim_double(r.c2);
    b.claim_varlen(text);
    b.claim_timestamp(ts);
    b.layout();
    b.append_int64(r.k);
    b.append_int32(r.c1);
    b.append_double(r.c2);
    b.append_varlen(text);
    b.append_timestamp(ts);
    out.push_back(b.buffer());
  }
  return out;
}

constexpr uint64_t N = 200000;

struct fixture {
  std::filesystem::path dir = std::filesystem::temp_directory_path() / "ombrel-merge-tree-bench";
  std::vector<std::vector<std::byte>> rows = encode(bench::make_rows(N));
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
    return std::make_unique<merge_tree>(workload_schema(), dir);
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
