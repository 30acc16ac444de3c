// Column changes of a compacted partition of 10,000,000 workload rows (one level of 40
// segments): retyping c1 from INT32 to DOUBLE, adding a nullable column, dropping c3. Each
// iteration changes a fresh tree over the same segments, which the change leaves alone on
// disk. The whole change holds the tree's exclusive lock, so its time is also how long writers
// and new cursors of the partition wait.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/tree_bench.h"
#include "bench/workload.h"
#include "native/config.h"
#include "tree/merge_tree.h"
#include "tree/thread_pool.h"

namespace {

using namespace ombrel;

constexpr uint64_t N = 10000000;
constexpr uint64_t SEGMENTS = 40;

struct fixture {
  std::filesystem::path dir = std::filesystem::temp_directory_path() / "ombrel-schema-bench";
  level segments;
  int trees = 0;

  fixture() {
    // The engine's singletons are built first, so that they outlive this static.
    detail::get_async_pool();
    std::filesystem::remove_all(dir);
    const std::vector<std::vector<std::byte>> rows = bench::encode_rows(bench::make_rows(N));
    bench::segment_writer writer;
    segments = writer.write_level(dir, "segment", bench::workload_schema(), rows, SEGMENTS);
  }
  ~fixture() {
    segments.clear();
    std::filesystem::remove_all(dir);
  }

  // A tree in a directory of its own over the fixture's segments.
  std::unique_ptr<merge_tree> fresh_tree() {
    auto tree = std::make_unique<merge_tree>(bench::workload_schema(),
                                             dir / ("tree" + std::to_string(trees++)));
    bench::install_levels(*tree, {segments});
    return tree;
  }
  // Drops the tree and its new segments; the fixture's stay.
  void drop(std::unique_ptr<merge_tree> tree) {
    if (tree->mark_as_dropped()) tree->remove_dropped();
    tree.reset();
    for (const auto& s : segments) s->set_remove_on_destroy(false);
  }
};

fixture& get_fixture() {
  static fixture f;
  return f;
}

template <typename Change>
void change(benchmark::State& state, Change&& apply) {
  fixture& f = get_fixture();
  for (auto _ : state) {
    state.PauseTiming();
    std::unique_ptr<merge_tree> tree = f.fresh_tree();
    state.ResumeTiming();
    apply(*tree);
    state.PauseTiming();
    f.drop(std::move(tree));
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * N));
}

void BM_modify_column_int32_to_double(benchmark::State& state) {
  change(state,
         [](merge_tree& tree) { tree.modify_column("c1", column_info::of_type(DOUBLE, false)); });
}
BENCHMARK(BM_modify_column_int32_to_double)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_add_column(benchmark::State& state) {
  change(state, [](merge_tree& tree) {
    tree.add_column(column_descriptor("c5", column_info::of_type(INT64, true)));
  });
}
BENCHMARK(BM_add_column)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_drop_column(benchmark::State& state) {
  change(state, [](merge_tree& tree) { tree.drop_column("c3"); });
}
BENCHMARK(BM_drop_column)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
