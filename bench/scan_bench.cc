// Full scans of the workload rows into cursor pages: over mem-tables (rows as inserted) and over
// one compacted level of hand-written segments.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <vector>

#include "bench/tree_bench.h"
#include "bench/workload.h"
#include "memtable/mem_table.h"
#include "memtable/mem_table_buffer_pool.h"
#include "model/tuple.h"
#include "native/config.h"
#include "storage/cursor.h"
#include "tree/merge_tree.h"
#include "tree/thread_pool.h"
#include "tree/merge_tree_iterator.h"

namespace {

using namespace ombrel;
using ombrel::bench::segment_writer;
using ombrel::bench::tree_table;

constexpr uint64_t N = 1000000;
constexpr uint64_t SEGMENTS = 8;

// A tree seen as a table, as a partition shows it to its cursors.
struct fixture {
  std::filesystem::path dir = std::filesystem::temp_directory_path() / "ombrel-scan-bench";
  std::vector<std::vector<std::byte>> rows = bench::encode_rows(bench::make_rows(N));
  std::unique_ptr<merge_tree> memtables;
  std::unique_ptr<merge_tree> compacted;

  fixture() {
    // The engine's singletons (pool, buffer pool, block cache) are built first, so that they
    // outlive this static: its trees give their buffers back when it is destroyed at exit.
    detail::get_async_pool();
    config::get_config().set_param("MEMTABLE_MAX_ENTRIES", "100000000");
    std::filesystem::remove_all(dir);
  }
  ~fixture() {
    for (merge_tree* tree : {memtables.get(), compacted.get()}) {
      if (tree != nullptr && tree->mark_as_dropped()) tree->remove_dropped();
    }
    memtables.reset();
    compacted.reset();
    std::filesystem::remove_all(dir);
  }
  merge_tree& memtable_tree() {
    if (memtables) return *memtables;
    memtables = std::make_unique<merge_tree>(bench::workload_schema(), dir / "memtables");
    for (uint64_t i : bench::make_permutation(N)) {
      memtables->upsert(1, uuid{}, bytes_view(rows[i].size(), rows[i].data()));
    }
    return *memtables;
  }
  merge_tree& compacted_tree() {
    if (compacted) return *compacted;
    compacted = std::make_unique<merge_tree>(bench::workload_schema(), dir / "compacted");
    level l;
    segment_writer writer;
    for (uint64_t s = 0; s < SEGMENTS; ++s) {
      l.push_back(writer.write(dir / ("segment" + std::to_string(s)), bench::workload_schema(),
                               rows, N * s / SEGMENTS, N * (s + 1) / SEGMENTS));
    }
    merge_tree_updater block = compacted->block_tree_wait();
    auto state = std::make_shared<tree_state>(*compacted->get_state(block));
    state->levels.push_back(std::move(l));
    block.set_state(std::move(state));
    return *compacted;
  }
};

fixture& get_fixture() {
  static fixture f;
  return f;
}

void scan_pages(benchmark::State& state, merge_tree& tree) {
  tree_table table(tree);
  for (auto _ : state) {
    cursor c(&table, TX_TIMESTAMP_LATEST);
    uint64_t rows = 0;
    while (uint32_t n = c.fill_next_page()) rows += n;
    if (rows != N) state.SkipWithError("wrong row count");
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * N));
}

void BM_scan_memtable_pages(benchmark::State& state) {
  scan_pages(state, get_fixture().memtable_tree());
}
BENCHMARK(BM_scan_memtable_pages)->Unit(benchmark::kMillisecond)->MinTime(1.0);

void BM_scan_compacted_pages(benchmark::State& state) {
  scan_pages(state, get_fixture().compacted_tree());
}
BENCHMARK(BM_scan_compacted_pages)->Unit(benchmark::kMillisecond)->MinTime(1.0);

void BM_scan_compacted_rows(benchmark::State& state) {
  merge_tree& tree = get_fixture().compacted_tree();
  for (auto _ : state) {
    auto it = tree.get_iterator(TX_TIMESTAMP_LATEST, nullptr);
    uint64_t rows = 0;
    while (it->get_next([&](const row_values&) { ++rows; })) {
    }
    if (rows != N) state.SkipWithError("wrong row count");
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * N));
}
BENCHMARK(BM_scan_compacted_rows)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace
