// Mem-table speed and memory on the benchmark workload (k INT64 key, c1 INT32, c2 DOUBLE,
// c3 16-byte STRING, c4 TIMESTAMP), rows inserted in random key order as binary tuples:
// insertion (parse, material form, index) against the same rows put into a std::map keyed
// by (key, timestamp), point searches, and bytes per row.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "bench/workload.h"
#include "memtable/mem_table.h"
#include "memtable/mem_table_buffer_pool.h"
#include "memtable/row_set.h"
#include "model/binary_tuple_builder.h"
#include "model/schema_descriptor.h"
#include "model/tuple.h"

namespace {

using namespace ombrel;

constexpr uint64_t MAX_ROWS = 262144;

// The workload's rows as binary tuples, in random insertion order, with the layouts to parse
// them.
struct workload {
  schema_descriptor schema = bench::workload_schema();
  tuple_schema row_tuple = schema.get_tuple_schema();
  tuple_schema key_tuple = schema.get_key_tuple_schema();
  material_tuple_schema row_material = schema.get_material_schema();
  material_tuple_schema key_material = schema.get_material_key_schema();
  std::vector<std::vector<std::byte>> tuples;  // tuples[i]: the i-th row to insert

  explicit workload(uint64_t n) {
    const auto rows = bench::make_rows(n);
    const auto order = bench::make_permutation(n);
    binary_tuple_builder b(5);
    tuples.reserve(n);
    for (uint64_t i : order) {
      bench::build_row(b, rows[i]);
      tuples.push_back(b.release());
    }
  }

  bytes_view tuple(uint64_t i) const { return bytes_view(tuples[i].size(), tuples[i].data()); }

  // Keys of `count` point reads below n, in material form.
  std::vector<owned_material_tuple> lookups(uint64_t n, uint64_t count) const {
    std::vector<owned_material_tuple> keys;
    keys.reserve(count);
    binary_tuple_builder b(1);
    for (int64_t k : bench::make_lookups(n, count)) {
      b.start();
      b.claim_int64(k);
      b.layout();
      b.append_int64(k);
      const auto bytes = b.release();
      parsed_tuple p(key_tuple, key_material, bytes_view(bytes.size(), bytes.data()), true);
      keys.emplace_back(p);
    }
    return keys;
  }
};

// The rows with keys 0 .. n-1.
const workload& get_workload(uint64_t n) {
  static std::map<uint64_t, std::unique_ptr<workload>> cache;
  auto& w = cache[n];
  if (!w) w = std::make_unique<workload>(n);
  return *w;
}

// Enough buffers for the largest mem-table; never evicts.
mem_table_buffer_pool& bench_pool() {
  static mem_table_buffer_pool pool(1 << 20, uint64_t{256} << 20);
  return pool;
}

struct pool_creator : mem_table::buffer_creator {
  mem_table_buffer* create_buffer(size_t size) override {
    return bench_pool().get_buffer(nullptr, size);
  }
};

std::unique_ptr<mem_table> fill_mem_table(uint64_t n) {
  const workload& w = get_workload(n);
  pool_creator creator;
  auto table = std::make_unique<mem_table>(w.schema, bench_pool());
  for (uint64_t i = 0; i < n; ++i) {
    parsed_tuple row(w.row_tuple, w.row_material, w.tuple(i), false);
    if (!table->ensure(row.material_size(), creator)) std::abort();
    table->insert(row, static_cast<tx_timestamp>(i + 1));
  }
  return table;
}

// The same rows, parsed and in material form, in a std::map keyed by (key, timestamp).
using map_baseline = std::map<std::pair<int64_t, tx_timestamp>, owned_material_tuple>;

void fill_map(map_baseline& map, uint64_t n) {
  const workload& w = get_workload(n);
  for (uint64_t i = 0; i < n; ++i) {
    parsed_tuple row(w.row_tuple, w.row_material, w.tuple(i), false);
    owned_material_tuple material(row);
    int64_t key;
    std::memcpy(&key, material.get()[0], sizeof(key));
    map.emplace(std::make_pair(key, static_cast<tx_timestamp>(i + 1)), std::move(material));
  }
}

// Rows per second of fill_map, best of three, measured once per size.
double map_rate(uint64_t n) {
  static std::map<uint64_t, double> rates;
  auto& rate = rates[n];
  if (rate != 0) return rate;
  for (int run = 0; run < 3; ++run) {
    map_baseline map;
    const auto start = std::chrono::steady_clock::now();
    fill_map(map, n);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    rate = std::max(rate, static_cast<double>(n) / took.count());
  }
  return rate;
}

void BM_mem_table_insert(benchmark::State& state) {
  const uint64_t n = static_cast<uint64_t>(state.range(0));
  const workload& w = get_workload(n);
  double best = 0;
  uint64_t bytes = 0, used = 0, material = 0, exact = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    auto table = fill_mem_table(n);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::max(best, static_cast<double>(n) / took.count());
    state.PauseTiming();
    bytes = table->buffer_bytes() + table->index().memory_bytes();
    used = table->used_bytes() + table->index().memory_bytes();
    table.reset();
    state.ResumeTiming();
  }
  for (uint64_t i = 0; i < n; ++i) {
    parsed_tuple row(w.row_tuple, w.row_material, w.tuple(i), false);
    material += row.material_size();
    exact += row.get_material_size(nullptr);
  }
  const double rows = static_cast<double>(n);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
  state.counters["x_std_map"] = best / map_rate(n);
  state.counters["bytes_per_row"] = static_cast<double>(used) / rows;
  state.counters["allocated_per_row"] = static_cast<double>(bytes) / rows;
  state.counters["material_size"] = static_cast<double>(material) / rows;
  state.counters["exact_material"] = static_cast<double>(exact) / rows;
  // The memory budget: 1.5 x the material size bound + 32 bytes.
  state.counters["budget_per_row"] = 1.5 * static_cast<double>(material) / rows + 32;
}
BENCHMARK(BM_mem_table_insert)->Arg(65536)->Arg(MAX_ROWS)->Unit(benchmark::kMillisecond);

void BM_std_map_insert(benchmark::State& state) {
  const uint64_t n = static_cast<uint64_t>(state.range(0));
  get_workload(n);
  for (auto _ : state) {
    map_baseline map;
    fill_map(map, n);
    state.PauseTiming();
    map.clear();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}
BENCHMARK(BM_std_map_insert)->Arg(65536)->Arg(MAX_ROWS)->Unit(benchmark::kMillisecond);

void BM_pk_index_search(benchmark::State& state) {
  const uint64_t n = static_cast<uint64_t>(state.range(0));
  const auto table = fill_mem_table(n);
  const auto keys = get_workload(n).lookups(n, 1 << 16);
  size_t i = 0;
  uint64_t found = 0;
  for (auto _ : state) {
    const auto e = table->index().search(TX_TIMESTAMP_LATEST, keys[i].get());
    found += e.has_value();
    benchmark::DoNotOptimize(e);
    i = (i + 1) & (keys.size() - 1);
  }
  if (found != static_cast<uint64_t>(state.iterations()))
    state.SkipWithError("a key was not found");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_pk_index_search)->Arg(65536)->Arg(MAX_ROWS);

// A tree stand-in that never flushes: the benchmark discards its row sets.
struct bench_owner : row_set::owner {
  explicit bench_owner(uint64_t n) : w(get_workload(n)) {}
  const workload& w;
  const schema_descriptor& schema() const override { return w.schema; }
  const material_tuple_schema& row_material_schema() const override { return w.row_material; }
  const material_tuple_schema& key_material_schema() const override { return w.key_material; }
  std::unique_ptr<row_set::tree_block> block_tree() override { return nullptr; }
  std::shared_ptr<flushed_rows> write_memtable(row_set::tree_block&, const row_set&,
                                               const mem_table&) override {
    return nullptr;
  }
  void evict_memtable(std::shared_ptr<row_set>) override {}
  void eviction_started() override {}
  void eviction_finished() override {}
  void submit(std::function<void()>) override {}
};

std::shared_ptr<row_set> fill_row_set(bench_owner& owner, uint64_t n) {
  const workload& w = owner.w;
  auto rows = std::make_shared<row_set>(owner, bench_pool());
  for (uint64_t i = 0; i < n; ++i) {
    parsed_tuple row(w.row_tuple, w.row_material, w.tuple(i), false);
    auto updater = rows->get_memtable_updater();
    if (!updater.ensure_tuple_size(row.material_size())) std::abort();
    updater.insert(row, static_cast<tx_timestamp>(i + 1), uuid{1, 2});
  }
  return rows;
}

// One updater per row, as an upsert does.
void BM_row_set_insert(benchmark::State& state) {
  const uint64_t n = static_cast<uint64_t>(state.range(0));
  bench_owner owner(n);
  for (auto _ : state) {
    auto rows = fill_row_set(owner, n);
    state.PauseTiming();
    rows->discard();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}
BENCHMARK(BM_row_set_insert)->Arg(MAX_ROWS)->Unit(benchmark::kMillisecond);

// Point reads of whole rows (all five columns copied out).
void BM_row_set_search(benchmark::State& state) {
  const uint64_t n = static_cast<uint64_t>(state.range(0));
  bench_owner owner(n);
  auto rows = fill_row_set(owner, n);
  const auto keys = owner.w.lookups(n, 1 << 16);
  const picked_columns all = picked_columns::all(owner.w.schema);
  size_t i = 0;
  for (auto _ : state) {
    auto result = rows->search(TX_TIMESTAMP_LATEST, keys[i].get(), all);
    if (result.index() != 3) state.SkipWithError("a key was not found");
    benchmark::DoNotOptimize(result);
    i = (i + 1) & (keys.size() - 1);
  }
  rows->discard();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_row_set_search)->Arg(65536)->Arg(MAX_ROWS);

// A full ordered scan reading all columns, as a merge of one mem-table does.
void BM_row_set_scan(benchmark::State& state) {
  const uint64_t n = static_cast<uint64_t>(state.range(0));
  bench_owner owner(n);
  auto rows = fill_row_set(owner, n);
  const picked_columns all = picked_columns::all(owner.w.schema);
  row_values values;
  for (auto _ : state) {
    uint64_t count = 0;
    for (auto it = rows->get_iterator(owner.w.row_material); it.valid(); it.get_next_tuple(all)) {
      auto lock = it.read_tuple(all, values);
      benchmark::DoNotOptimize(values);
      ++count;
    }
    if (count != n) state.SkipWithError("scan missed rows");
  }
  rows->discard();
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}
BENCHMARK(BM_row_set_scan)->Arg(MAX_ROWS)->Unit(benchmark::kMillisecond);

}  // namespace
