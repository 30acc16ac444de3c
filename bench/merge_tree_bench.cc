// Writes, merges and point reads of one merge tree with the workload rows, without the JVM.
// BM_ingest writes rows in key or random order under the default level and mem-table sizes and
// reports the bytes the storage path wrote per byte left on disk (write amplification);
// BM_merge times one merge of two interleaved segments.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/workload.h"
#include "model/binary_tuple_builder.h"
#include "model/file_system.h"
#include "native/config.h"
#include "segment/seqno_helper.h"
#include "tree/merge_helper.h"
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

// Counts the bytes written through the storage path's file layer.
class counting_file_system final : public file_system {
 public:
  ssize_t write(int fd, const void* buffer, size_t n) override {
    const ssize_t r = file_system::write(fd, buffer, n);
    if (r > 0) written.fetch_add(static_cast<uint64_t>(r), std::memory_order_relaxed);
    return r;
  }
  std::atomic<uint64_t> written{0};
};

// A directory of this process under the temporary directory.
std::filesystem::path scratch_directory(const std::string& name) {
  return std::filesystem::temp_directory_path() /
         ("ombrel-merge-tree-bench-" + name + "-" + std::to_string(getpid()));
}

uint64_t bytes_under(const std::filesystem::path& dir) {
  uint64_t total = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
    if (e.is_regular_file()) total += e.file_size();
  }
  return total;
}

// Sets MEMTABLE_MAX_ENTRIES for the scope (the fixture above raises it for the whole process).
class memtable_entries_scope {
 public:
  explicit memtable_entries_scope(uint64_t entries)
      : previous_(config::get_config().memtable_max_entries.load()) {
    config::get_config().memtable_max_entries = entries;
  }
  ~memtable_entries_scope() { config::get_config().memtable_max_entries = previous_; }

 private:
  uint64_t previous_;
};

// Args: order (0 key order, 1 random order), rows. One writer thread, batches of 1,000 rows
// sharing a timestamp, default mem-table and level sizes; flushes and merges run on the pool.
// Counters: ingest rows/s (until the last upsert returns), close seconds (the last flushes),
// bytes written per byte on disk after close (write_amp), bytes on disk per row.
void BM_ingest(benchmark::State& state) {
  const bool random = state.range(0) != 0;
  const auto n = static_cast<uint64_t>(state.range(1));
  const memtable_entries_scope entries(262144);  // the default
  const std::vector<bench::workload_row> rows = bench::make_rows(n);
  const std::vector<uint64_t> order = random ? bench::make_permutation(n) : std::vector<uint64_t>{};
  const std::filesystem::path dir = scratch_directory("ingest");
  binary_tuple_builder b(5);
  double ingest_seconds = 0;
  double close_seconds = 0;
  uint64_t written = 0;
  uint64_t on_disk = 0;
  for (auto _ : state) {
    std::filesystem::remove_all(dir);
    counting_file_system counter;
    {
      const scoped_file_system installed(counter);
      auto tree = std::make_unique<merge_tree>(bench::workload_schema(), dir);
      const auto start = std::chrono::steady_clock::now();
      for (uint64_t i = 0; i < n; ++i) {
        bench::build_row(b, rows[random ? order[i] : i]);
        const auto& row = b.buffer();
        tree->upsert(static_cast<tx_timestamp>(i / 1000 + 1), uuid{},
                     bytes_view(row.size(), row.data()));
      }
      const auto upserted = std::chrono::steady_clock::now();
      tree.reset();
      const auto closed = std::chrono::steady_clock::now();
      ingest_seconds += std::chrono::duration<double>(upserted - start).count();
      close_seconds += std::chrono::duration<double>(closed - upserted).count();
    }
    written += counter.written.load();
    on_disk += bytes_under(dir);
    std::filesystem::remove_all(dir);
  }
  const auto iterations = static_cast<double>(state.iterations());
  state.counters["ingest_rows_per_s"] = static_cast<double>(n) * iterations / ingest_seconds;
  state.counters["close_s"] = close_seconds / iterations;
  state.counters["write_amp"] = static_cast<double>(written) / static_cast<double>(on_disk);
  state.counters["disk_bytes_per_row"] = static_cast<double>(on_disk) / iterations / n;
  state.counters["written_bytes_per_row"] = static_cast<double>(written) / iterations / n;
}
BENCHMARK(BM_ingest)
    ->ArgNames({"random", "rows"})
    ->Args({0, 2000000})
    ->Args({1, 2000000})
    ->Args({0, 20000000})
    ->Args({1, 20000000})
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime();

// One merge of two segments of rows/2 rows each whose keys interleave (even and odd keys), as
// a level-0 segment merges into the level below: every row is read, compared and rewritten.
// items_per_second counts merged rows per second of the merging thread's CPU time.
void BM_merge(benchmark::State& state) {
  const auto n = static_cast<uint64_t>(state.range(0));
  const memtable_entries_scope entries(2 * n);
  const std::filesystem::path base = scratch_directory("merge");
  std::filesystem::remove_all(base);
  const std::vector<bench::workload_row> rows = bench::make_rows(n);
  binary_tuple_builder b(5);
  // Odd keys written later: they form the newer run.
  std::vector<level> sources;
  for (uint64_t parity = 0; parity < 2; ++parity) {
    merge_tree tree(bench::workload_schema(), base / std::to_string(parity));
    for (uint64_t i = parity; i < n; i += 2) {
      bench::build_row(b, rows[i]);
      const auto& row = b.buffer();
      tree.upsert(static_cast<tx_timestamp>(parity + 1), uuid{},
                  bytes_view(row.size(), row.data()));
    }
    sources.push_back(tree.make_full_compaction());
  }
  for (auto _ : state) {
    std::vector<level> levels{sources[1], sources[0]};
    seqno_helper namer(base / "out");
    std::filesystem::create_directories(namer.base());
    merge_tree::merge_helper merge(levels, 0, 0);
    merge.merge(namer, 0);
    state.PauseTiming();
    for (const auto& s : merge.created()) s->set_remove_on_destroy();
    levels.clear();
    std::filesystem::remove_all(namer.base());
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
  sources.clear();
  std::filesystem::remove_all(base);
}
BENCHMARK(BM_merge)->Arg(2000000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
