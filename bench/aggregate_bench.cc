// Aggregate cursors over the workload rows in one compacted level of segments: GROUP BY c1 with
// five functions, the ungrouped six, and the bare scan they both start from. The label carries a
// digest of the result pages.
#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/tree_bench.h"
#include "bench/workload.h"
#include "memtable/mem_table.h"
#include "memtable/mem_table_buffer_pool.h"
#include "model/tuple.h"
#include "native/config.h"
#include "storage/cursor.h"
#include "tree/merge_tree.h"
#include "tree/merge_tree_iterator.h"
#include "tree/thread_pool.h"

namespace {

using namespace ombrel;
using ombrel::bench::segment_writer;
using ombrel::bench::timing;
using ombrel::bench::tree_table;

constexpr uint64_t N = 2000000;
constexpr uint64_t SEGMENTS = 8;

struct fixture {
  std::filesystem::path dir = std::filesystem::temp_directory_path() / "ombrel-aggregate-bench";
  std::unique_ptr<merge_tree> tree;

  fixture() {
    // The engine's singletons are built first, so that they outlive this static.
    detail::get_async_pool();
    std::filesystem::remove_all(dir);
    const std::vector<std::vector<std::byte>> rows = bench::encode_rows(bench::make_rows(N));
    tree = std::make_unique<merge_tree>(bench::workload_schema(), dir / "tree");
    segment_writer writer;
    std::vector<level> levels;
    levels.push_back(writer.write_level(dir, "segment", bench::workload_schema(), rows, SEGMENTS));
    bench::install_levels(*tree, std::move(levels));
  }
  ~fixture() {
    if (tree->mark_as_dropped()) tree->remove_dropped();
    tree.reset();
    std::filesystem::remove_all(dir);
  }
};

fixture& get_fixture() {
  static fixture f;
  return f;
}

// Columns: k 0, c1 1, c2 2, c3 3, c4 4.
void aggregate(benchmark::State& state, std::vector<uint64_t> groups,
               std::vector<ombrel_aggregate_call> calls, uint64_t expected_rows) {
  tree_table table(*get_fixture().tree);
  ombrel_aggregate request{bitset(5), std::move(calls)};
  for (uint64_t g : groups) request.group_set.set(g);
  uint64_t digest = bench::DIGEST_START;
  {
    cursor c(&table, TX_TIMESTAMP_LATEST, request);
    while (c.has_next_page()) {
      const uint32_t n = c.fill_next_page();
      digest = bench::page_digest(digest, c.buffer(), n);
    }
  }
  for (auto _ : state) {
    cursor c(&table, TX_TIMESTAMP_LATEST, request);
    uint64_t rows = 0;
    while (c.has_next_page()) rows += c.fill_next_page();
    if (rows != expected_rows) state.SkipWithError("wrong group count");
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * N));
  state.SetLabel(fmt::format("pages {:016x}", digest));
}

void BM_aggregate_group_by_c1(benchmark::State& state) {
  aggregate(state, {1},
            {{-1, AGGREGATE_COUNT, 0},
             {0, AGGREGATE_SUM, 0},
             {2, AGGREGATE_AVG, 0},
             {3, AGGREGATE_MIN, 0},
             {4, AGGREGATE_MAX, 0}},
            1000);
}
BENCHMARK(BM_aggregate_group_by_c1)->Apply(timing);
BENCHMARK(BM_aggregate_group_by_c1)->Apply(timing)->MeasureProcessCPUTime();

void BM_aggregate_ungrouped(benchmark::State& state) {
  aggregate(state, {},
            {{-1, AGGREGATE_COUNT, 0},
             {1, AGGREGATE_SUM, 0},
             {0, AGGREGATE_SUM, 0},
             {2, AGGREGATE_SUM, 0},
             {3, AGGREGATE_MAX, 0},
             {4, AGGREGATE_MAX, 0}},
            1);
}
BENCHMARK(BM_aggregate_ungrouped)->Apply(timing);
BENCHMARK(BM_aggregate_ungrouped)->Apply(timing)->MeasureProcessCPUTime();

// The scan alone, all five columns: the floor under both.
void BM_aggregate_scan_floor(benchmark::State& state) {
  merge_tree& tree = *get_fixture().tree;
  for (auto _ : state) {
    auto it = tree.get_iterator(TX_TIMESTAMP_LATEST, nullptr);
    uint64_t rows = 0;
    while (it->get_next([&](const row_values&) { ++rows; })) {
    }
    if (rows != N) state.SkipWithError("wrong row count");
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * N));
}
BENCHMARK(BM_aggregate_scan_floor)->Apply(timing);
BENCHMARK(BM_aggregate_scan_floor)->Apply(timing)->MeasureProcessCPUTime();

}  // namespace
