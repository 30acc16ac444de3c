// Row conversions on the write and read paths, and key comparison, for the workload row
// (k INT64 key, c1 INT32, c2 DOUBLE, c3 STRING of 16 bytes, c4 TIMESTAMP).
#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <cstring>
#include <vector>

#include "bench/tree_bench.h"
#include "bench/workload.h"
#include "model/column_values.h"
#include "model/schema_descriptor.h"
#include "model/tuple.h"

namespace {

using namespace ombrel;

constexpr size_t ROWS = 4096;

void BM_binary_to_material(benchmark::State& state) {
  const schema_descriptor s = bench::workload_schema();
  const tuple_schema ts = s.get_tuple_schema();
  const material_tuple_schema ms = s.get_material_schema();
  const auto rows = bench::encode_rows(bench::make_rows(ROWS));
  alignas(16) std::byte area[256];
  const std::byte* slots[5];
  size_t i = 0;
  for (auto _ : state) {
    const auto& row = rows[i++ % ROWS];
    parsed_tuple p(ts, ms, bytes_view(row.size(), row.data()), false);
    material_tuple_builder b{area, slots};
    p.make_material_tuple(b);
    benchmark::DoNotOptimize(b.position);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_binary_to_material);

void BM_material_to_binary(benchmark::State& state) {
  const schema_descriptor s = bench::workload_schema();
  const tuple_schema ts = s.get_tuple_schema();
  const material_tuple_schema ms = s.get_material_schema();
  const auto rows = bench::encode_rows(bench::make_rows(ROWS));
  std::vector<owned_material_tuple> materials;
  for (const auto& row : rows) {
    materials.emplace_back(parsed_tuple(ts, ms, bytes_view(row.size(), row.data()), false));
  }
  auto value = [&](const material_tuple& m, size_t slot) {
    const auto& e = ms[slot];
    if (e.size != 0) return bytes_view(e.size, m[slot]);
    uint32_t n;
    std::memcpy(&n, m[slot], 4);
    return bytes_view(n, m[slot] + 4);
  };
  tuple_builder b(5);
  size_t i = 0;
  for (auto _ : state) {
    const material_tuple m = materials[i++ % ROWS].get();
    b.start();
    for (size_t slot = 0; slot < 5; ++slot) b.claim(ms[slot].type, value(m, slot));
    b.layout();
    for (size_t slot = 0; slot < 5; ++slot) b.append(ms[slot].type, value(m, slot));
    benchmark::DoNotOptimize(b.data().data);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_material_to_binary);

template <ombrel_type KEY>
void BM_key_compare(benchmark::State& state) {
  schema_descriptor s = bench::workload_schema();
  s.columns[0] = column_descriptor("k", column_info::of_type(KEY, false));
  const material_tuple_schema ms = s.get_material_schema();
  const tuple_schema ts = s.get_tuple_schema();
  auto rows = bench::make_rows(ROWS);
  std::vector<owned_material_tuple> keys;
  for (const auto& r : rows) {
    binary_tuple_builder b(5);
    b.start();
    const bytes_view text(r.c3, 16);
    if (KEY == INT64)
      b.claim_int64(r.k);
    else
      b.claim_varlen(text);
    b.claim_int32(r.c1);
    b.claim_double(r.c2);
    b.claim_varlen(text);
    b.claim_null();
    b.layout();
    if (KEY == INT64)
      b.append_int64(r.k);
    else
      b.append_varlen(text);
    b.append_int32(r.c1);
    b.append_double(r.c2);
    b.append_varlen(text);
    b.append_null();
    keys.emplace_back(parsed_tuple(ts, ms, b.data(), false));
  }
  size_t i = 0;
  int sink = 0;
  for (auto _ : state) {
    sink += compare(ms, keys[i % ROWS].get(), keys[(i * 7 + 1) % ROWS].get());
    ++i;
  }
  benchmark::DoNotOptimize(sink);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_key_compare<INT64>)->Name("BM_key_compare_int64");
BENCHMARK(BM_key_compare<STRING>)->Name("BM_key_compare_string16");

// Runs of decoded workload columns written as cursor page rows (length, then tuple), keys
// shifted to the middle of the 2,000,000 keys as a full scan mostly meets them.
void BM_page_rows(benchmark::State& state) {
  const tuple_schema ts = bench::workload_schema().get_tuple_schema();
  const auto rows = bench::make_rows(ROWS);
  std::vector<int64_t> k;
  std::vector<int32_t> c1;
  std::vector<double> c2;
  std::vector<char> c3;
  std::vector<uint64_t> c3_ends;
  std::vector<std::byte> c4(ROWS * 12);
  for (size_t i = 0; i < ROWS; ++i) {
    const auto& r = rows[i];
    k.push_back(r.k + 1000000);
    c1.push_back(r.c1);
    c2.push_back(r.c2);
    c3.insert(c3.end(), r.c3, r.c3 + 16);
    c3_ends.push_back(c3.size());
    std::memcpy(&c4[i * 12], &r.c4_seconds, 8);
    std::memcpy(&c4[i * 12 + 8], &r.c4_nanos, 4);
  }
  const column_values columns[5] = {
      {reinterpret_cast<const std::byte*>(k.data()), nullptr, 8, nullptr},
      {reinterpret_cast<const std::byte*>(c1.data()), nullptr, 4, nullptr},
      {reinterpret_cast<const std::byte*>(c2.data()), nullptr, 8, nullptr},
      {reinterpret_cast<const std::byte*>(c3.data()), c3_ends.data(), 0, nullptr},
      {c4.data(), nullptr, 12, nullptr}};
  tuple_row_writer writer(ts);
  std::vector<std::byte> page(ROWS * 128);
  uint64_t digest = bench::DIGEST_START;
  for (auto _ : state) {
    uint32_t widest = 0;
    if (*writer.page_room(columns, 0, ROWS) > page.size()) state.SkipWithError("room");
    writer.write_page_rows(columns, 0, ROWS, page.data(), widest);
    benchmark::DoNotOptimize(page.data());
  }
  digest = bench::page_digest(digest, page.data(), ROWS);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * ROWS));
  state.SetLabel(fmt::format("page {:016x}", digest));
}
BENCHMARK(BM_page_rows);

}  // namespace
