// Full scans of the 2,000,000 workload rows into cursor pages: over mem-tables (rows as
// inserted), over one compacted level, and over four levels whose key ranges overlap (each
// holding a quarter of the rows in random order, as flushes leave them). The label carries a
// digest of every page byte, so that a faster page path can be shown to write the same pages.
#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <algorithm>
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
#include "tree/merge_tree_iterator.h"
#include "tree/thread_pool.h"

namespace {

using namespace ombrel;
using ombrel::bench::segment_writer;
using ombrel::bench::timing;
using ombrel::bench::tree_table;

constexpr uint64_t N = 2000000;
constexpr uint64_t SEGMENTS = 8;
constexpr uint64_t LEVELS = 4;

// A tree seen as a table, as a partition shows it to its cursors.
struct fixture {
  std::filesystem::path dir = std::filesystem::temp_directory_path() / "ombrel-scan-bench";
  std::vector<std::vector<std::byte>> rows = bench::encode_rows(bench::make_rows(N));
  std::unique_ptr<merge_tree> memtables;
  std::unique_ptr<merge_tree> compacted;
  std::unique_ptr<merge_tree> leveled;

  fixture() {
    // The engine's singletons (pool, buffer pool, block cache) are built first, so that they
    // outlive this static: its trees give their buffers back when it is destroyed at exit.
    detail::get_async_pool();
    config::get_config().set_param("MEMTABLE_MAX_ENTRIES", "100000000");
    std::filesystem::remove_all(dir);
  }
  ~fixture() {
    for (merge_tree* tree : {memtables.get(), compacted.get(), leveled.get()}) {
      if (tree != nullptr && tree->mark_as_dropped()) tree->remove_dropped();
    }
    memtables.reset();
    compacted.reset();
    leveled.reset();
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
    segment_writer writer;
    std::vector<level> levels;
    levels.push_back(
        writer.write_level(dir, "compacted", bench::workload_schema(), rows, SEGMENTS));
    bench::install_levels(*compacted, std::move(levels));
    return *compacted;
  }
  merge_tree& leveled_tree() {
    if (leveled) return *leveled;
    leveled = std::make_unique<merge_tree>(bench::workload_schema(), dir / "leveled");
    const std::vector<uint64_t> order = bench::make_permutation(N);
    segment_writer writer;
    std::vector<level> levels;
    for (uint64_t l = 0; l < LEVELS; ++l) {
      std::vector<uint64_t> picked(order.begin() + N * l / LEVELS,
                                   order.begin() + N * (l + 1) / LEVELS);
      std::sort(picked.begin(), picked.end());
      std::vector<std::vector<std::byte>> part;
      part.reserve(picked.size());
      for (uint64_t i : picked) part.push_back(rows[i]);
      levels.push_back(writer.write_level(dir, "level" + std::to_string(l) + "-",
                                          bench::workload_schema(), part, SEGMENTS / 2));
    }
    bench::install_levels(*leveled, std::move(levels));
    return *leveled;
  }
};

fixture& get_fixture() {
  static fixture f;
  return f;
}

void scan_pages(benchmark::State& state, merge_tree& tree) {
  tree_table table(tree);
  uint64_t digest = bench::DIGEST_START;
  {
    cursor c(&table, TX_TIMESTAMP_LATEST);
    while (uint32_t n = c.fill_next_page()) digest = bench::page_digest(digest, c.buffer(), n);
  }
  for (auto _ : state) {
    cursor c(&table, TX_TIMESTAMP_LATEST);
    uint64_t rows = 0;
    while (uint32_t n = c.fill_next_page()) rows += n;
    if (rows != N) state.SkipWithError("wrong row count");
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * N));
  state.SetLabel(fmt::format("pages {:016x}", digest));
}

void BM_scan_memtable_pages(benchmark::State& state) {
  scan_pages(state, get_fixture().memtable_tree());
}
BENCHMARK(BM_scan_memtable_pages)->Apply(timing);
BENCHMARK(BM_scan_memtable_pages)->Apply(timing)->MeasureProcessCPUTime();

void BM_scan_compacted_pages(benchmark::State& state) {
  scan_pages(state, get_fixture().compacted_tree());
}
BENCHMARK(BM_scan_compacted_pages)->Apply(timing);
BENCHMARK(BM_scan_compacted_pages)->Apply(timing)->MeasureProcessCPUTime();

void BM_scan_four_levels_pages(benchmark::State& state) {
  scan_pages(state, get_fixture().leveled_tree());
}
BENCHMARK(BM_scan_four_levels_pages)->Apply(timing);
BENCHMARK(BM_scan_four_levels_pages)->Apply(timing)->MeasureProcessCPUTime();

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
BENCHMARK(BM_scan_compacted_rows)->Apply(timing);
BENCHMARK(BM_scan_compacted_rows)->Apply(timing)->MeasureProcessCPUTime();

}  // namespace
