// Segment speed on the benchmark workload (k INT64 key, c1 INT32, c2 DOUBLE, c3 16-byte STRING,
// c4 TIMESTAMP): writing a full mem-table as a segment (syncs included, their share reported
// apart), and point searches in a 1,000,000-row segment with its timestamp and key blocks in
// the segment cache, with the cache disabled, and for absent keys outside the key range; point
// reads in a 2,000,000-row segment with the cache holding all or a part of the blocks they read.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "bench/column_scratch.h"
#include "bench/workload.h"
#include "memtable/mem_table.h"
#include "memtable/mem_table_buffer_pool.h"
#include "model/tuple.h"
#include "native/config.h"
#include "segment/column_picker.h"
#include "segment/column_reader.h"
#include "segment/segment.h"
#include "segment/segment_cache.h"
#include "segment/segment_creator.h"

namespace ombrel::bench {
namespace {

constexpr uint64_t MEMTABLE_ROWS = 262144;
constexpr uint64_t SEGMENT_ROWS = 1000000;
constexpr uint64_t LOOKUPS = 4096;

// A scratch directory on the same file system as the build, removed at exit.
const std::filesystem::path& scratch() {
  static const scratch_directory dir(std::filesystem::current_path() /
                                     ("segment_bench_" + std::to_string(::getpid())));
  return dir.path();
}

struct table_layouts {
  schema_descriptor schema = workload_schema();
  tuple_schema row_tuple = schema.get_tuple_schema();
  tuple_schema key_tuple = schema.get_key_tuple_schema();
  material_tuple_schema row_material = schema.get_material_schema();
  material_tuple_schema key_material = schema.get_material_key_schema();
};

const table_layouts& layouts() {
  static const table_layouts l;
  return l;
}

struct pool_creator : mem_table::buffer_creator {
  mem_table_buffer_pool& pool;
  explicit pool_creator(mem_table_buffer_pool& p) : pool(p) {}
  mem_table_buffer* create_buffer(size_t size) override { return pool.get_buffer(nullptr, size); }
};

mem_table_buffer_pool& bench_pool() {
  static mem_table_buffer_pool pool(1 << 20, uint64_t{1} << 30);
  return pool;
}

// n workload rows inserted in random key order, each at its own timestamp.
std::unique_ptr<mem_table> fill_mem_table(uint64_t n) {
  const table_layouts& l = layouts();
  const auto tuples = encode_rows(make_rows(n));
  auto table = std::make_unique<mem_table>(l.schema, bench_pool());
  pool_creator creator(bench_pool());
  tx_timestamp ts = 0;
  for (uint64_t i : make_permutation(n)) {
    parsed_tuple row(l.row_tuple, l.row_material, bytes_view(tuples[i].size(), tuples[i].data()),
                     false);
    if (!table->ensure(row.material_size(), creator)) std::abort();
    table->insert(row, ++ts);
  }
  return table;
}

std::vector<owned_material_tuple> lookup_keys(const std::vector<int64_t>& keys) {
  const table_layouts& l = layouts();
  std::vector<owned_material_tuple> out;
  out.reserve(keys.size());
  binary_tuple_builder b(1);
  for (int64_t k : keys) {
    b.start();
    b.claim_int64(k);
    b.layout();
    b.append_int64(k);
    const auto bytes = b.release();
    out.emplace_back(
        parsed_tuple(l.key_tuple, l.key_material, bytes_view(bytes.size(), bytes.data()), true));
  }
  return out;
}

void BM_WriteMemTableAsSegment(benchmark::State& state) {
  const auto table = fill_mem_table(MEMTABLE_ROWS);
  const table_layouts& l = layouts();
  uint64_t n = 0;
  std::chrono::nanoseconds syncs{0};
  for (auto _ : state) {
    const auto dir = scratch() / ("write_" + std::to_string(n++));
    const auto stats = segment_creator::create_from_rows(dir, l.schema, l.row_material, *table);
    syncs += stats.sync_time;
    state.PauseTiming();
    std::filesystem::remove_all(dir);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * MEMTABLE_ROWS));
  state.counters["sync_ms"] = benchmark::Counter(
      std::chrono::duration<double, std::milli>(syncs).count() / static_cast<double>(n));
}
BENCHMARK(BM_WriteMemTableAsSegment)->Unit(benchmark::kMillisecond)->Iterations(8)->UseRealTime();

// The 1,000,000-row segment, written once.
const std::shared_ptr<segment>& big_segment() {
  static const std::shared_ptr<segment> s = [] {
    const auto table = fill_mem_table(SEGMENT_ROWS);
    return std::make_shared<segment>(scratch() / "big", layouts().schema, *table);
  }();
  return s;
}

column_picker picker_for(int64_t shape) {
  const schema_descriptor& schema = layouts().schema;
  switch (shape) {
    case 0:
      return column_picker(schema, column_picker::no_output);
    case 1:
      return column_picker(schema, 1u);
    default:
      return column_picker(schema);
  }
}

const char* picker_name(int64_t shape) {
  return shape == 0 ? "exists" : shape == 1 ? "one column" : "all columns";
}

// Present keys; arg 0: picker (0 existence, 1 one value column, 2 all columns), arg 1: 1 with
// the cache warmed, 0 with it disabled.
void BM_PointSearch(benchmark::State& state) {
  const segment& s = *big_segment();
  const column_picker picker = picker_for(state.range(0));
  const bool cached = state.range(1) != 0;
  const auto keys = lookup_keys(make_lookups(SEGMENT_ROWS, LOOKUPS));
  config& c = config::get_config();
  const uint64_t saved = c.segment_cache_capacity;
  if (!cached) c.segment_cache_capacity = 0;
  if (cached) {
    for (const auto& k : keys)
      benchmark::DoNotOptimize(s.search(TX_TIMESTAMP_LATEST, k.get(), picker));
  }
  const uint64_t decoded = decoded_block_count();
  size_t i = 0;
  for (auto _ : state) {
    const search_result r = s.search(TX_TIMESTAMP_LATEST, keys[i].get(), picker);
    if (!std::holds_alternative<flat_tuple>(r)) state.SkipWithError("key not found");
    benchmark::DoNotOptimize(r);
    if (++i == keys.size()) i = 0;
  }
  state.counters["blocks_per_lookup"] =
      benchmark::Counter(static_cast<double>(decoded_block_count() - decoded) /
                         static_cast<double>(state.iterations()));
  state.counters["cache_MiB"] = static_cast<double>(segment_cache::instance().memory()) / (1 << 20);
  state.SetLabel(std::string(picker_name(state.range(0))) + (cached ? ", cached" : ", cache off"));
  c.segment_cache_capacity = saved;
}
BENCHMARK(BM_PointSearch)->ArgsProduct({{0, 1, 2}, {1, 0}})->Unit(benchmark::kMicrosecond);

// What a search on a cold cache would cost if it loaded the whole timestamp and key columns
// instead of the blocks it needs.
void BM_LoadWholeTimestampAndKeyColumns(benchmark::State& state) {
  const segment& s = *big_segment();
  for (auto _ : state) {
    for (const uint32_t slot : {s.timestamp_slot(), s.schema().key_columns[0]}) {
      column_reader r(s.columns()[slot]);
      r.read_file_and_decompress();
      benchmark::DoNotOptimize(r.data());
    }
  }
}
BENCHMARK(BM_LoadWholeTimestampAndKeyColumns)->Unit(benchmark::kMillisecond);

// Absent keys below and above the segment's keys: answered from the index alone.
void BM_PointSearchOutsideKeyRange(benchmark::State& state) {
  const segment& s = *big_segment();
  const column_picker picker(layouts().schema);
  std::vector<int64_t> raw;
  for (int64_t i = 0; i < 1024; ++i) raw.push_back(i % 2 ? -1 - i : int64_t{SEGMENT_ROWS} + i);
  const auto keys = lookup_keys(raw);
  const uint64_t decoded = decoded_block_count();
  size_t i = 0;
  for (auto _ : state) {
    const search_result r = s.search(TX_TIMESTAMP_LATEST, keys[i].get(), picker);
    if (!std::holds_alternative<std::monostate>(r)) state.SkipWithError("absent key found");
    if (++i == keys.size()) i = 0;
  }
  state.counters["blocks_read"] = static_cast<double>(decoded_block_count() - decoded);
}
BENCHMARK(BM_PointSearchOutsideKeyRange)->Unit(benchmark::kMicrosecond);

// The 2,000,000-row segment of the point-read benchmark below, written once.
constexpr uint64_t POINT_READ_ROWS = 2000000;
const std::shared_ptr<segment>& point_read_segment() {
  static const std::shared_ptr<segment> s = [] {
    const auto table = fill_mem_table(POINT_READ_ROWS);
    return std::make_shared<segment>(scratch() / "point_reads", layouts().schema, *table);
  }();
  return s;
}

// Point reads of present keys in random order, all columns, in the 2,000,000-row segment with
// the segment cache at arg 0 MiB: 256 (the default) holds every block the reads touch; 64 and
// 16 hold a part of them, as the default holds a part of 8 and 32 million rows. After one
// warming pass over the keys; reports p50 and p99 in microseconds.
void BM_PointReadLatency(benchmark::State& state) {
  const segment& s = *point_read_segment();
  const column_picker picker(layouts().schema);
  const auto keys = lookup_keys(make_lookups(POINT_READ_ROWS, 100000));
  config& c = config::get_config();
  const uint64_t saved = c.segment_cache_capacity;
  c.segment_cache_capacity = static_cast<uint64_t>(state.range(0)) << 20;
  segment_cache::instance().clear();
  for (const auto& k : keys)
    benchmark::DoNotOptimize(s.search(TX_TIMESTAMP_LATEST, k.get(), picker));
  std::vector<double> micros;
  micros.reserve(state.max_iterations);
  const uint64_t decoded = decoded_block_count();
  const segment_cache& cache = segment_cache::instance();
  const uint64_t lookups = cache.hits() + cache.misses();
  size_t i = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const search_result r = s.search(TX_TIMESTAMP_LATEST, keys[i].get(), picker);
    micros.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count());
    if (!std::holds_alternative<flat_tuple>(r)) state.SkipWithError("key not found");
    benchmark::DoNotOptimize(r);
    if (++i == keys.size()) i = 0;
  }
  std::sort(micros.begin(), micros.end());
  state.counters["p50_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[micros.size() * 99 / 100];
  state.counters["blocks_per_read"] =
      static_cast<double>(decoded_block_count() - decoded) / static_cast<double>(micros.size());
  state.counters["lookups_per_read"] =
      static_cast<double>(cache.hits() + cache.misses() - lookups) /
      static_cast<double>(micros.size());
  state.counters["cache_MiB"] = static_cast<double>(segment_cache::instance().memory()) / (1 << 20);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  c.segment_cache_capacity = saved;
  segment_cache::instance().clear();
}
BENCHMARK(BM_PointReadLatency)
    ->Arg(256)
    ->Arg(64)
    ->Arg(16)
    ->Iterations(100000)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace ombrel::bench
