// Times writing and reading one workload row (INT64, INT32, DOUBLE, 16-byte STRING, TIMESTAMP)
// in the binary tuple format; each iteration handles one row, so the time is ns per row.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bench/workload.h"
#include "model/binary_tuple_builder.h"
#include "model/binary_tuple_parser.h"

namespace {

using ombrel::binary_tuple_builder;
using ombrel::binary_tuple_parser;
using ombrel::bytes_view;
using ombrel::ombrel_timestamp;

constexpr uint64_t ROW_COUNT = 4096;  // a power of two, cycled through
constexpr int32_t COLUMN_COUNT = 5;

const std::vector<ombrel::bench::workload_row>& rows() {
  static const auto r = ombrel::bench::make_rows(ROW_COUNT);
  return r;
}

// Parses every element and decodes it; returns a checksum so nothing is optimised away.
int64_t parse_row(bytes_view tuple) {
  binary_tuple_parser p(COLUMN_COUNT, tuple);
  int64_t sum = binary_tuple_parser::get_int64(p.get_next());
  sum += binary_tuple_parser::get_int32(p.get_next());
  sum += static_cast<int64_t>(binary_tuple_parser::get_double(p.get_next()) * 1000);
  sum += static_cast<int64_t>(binary_tuple_parser::get_varlen(p.get_next()).size());
  const ombrel_timestamp ts = binary_tuple_parser::get_timestamp(p.get_next());
  return sum + ts.seconds + ts.nanos;
}

void BM_build_row(benchmark::State& state) {
  const auto& r = rows();
  binary_tuple_builder b(COLUMN_COUNT);
  uint64_t i = 0;
  for (auto _ : state) {
    ombrel::bench::build_row(b, r[i++ & (ROW_COUNT - 1)]);
    benchmark::DoNotOptimize(b.buffer().data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_build_row);

void BM_parse_row(benchmark::State& state) {
  // Every row prebuilt into one contiguous area.
  std::vector<std::byte> area;
  std::vector<std::pair<size_t, size_t>> spans;
  binary_tuple_builder b(COLUMN_COUNT);
  for (const auto& r : rows()) {
    ombrel::bench::build_row(b, r);
    spans.emplace_back(area.size(), b.buffer().size());
    area.insert(area.end(), b.buffer().begin(), b.buffer().end());
  }
  uint64_t i = 0;
  for (auto _ : state) {
    const auto [offset, size] = spans[i++ & (ROW_COUNT - 1)];
    benchmark::DoNotOptimize(parse_row({size, area.data() + offset}));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_parse_row);

void BM_build_and_parse_row(benchmark::State& state) {
  const auto& r = rows();
  binary_tuple_builder b(COLUMN_COUNT);
  uint64_t i = 0;
  for (auto _ : state) {
    ombrel::bench::build_row(b, r[i++ & (ROW_COUNT - 1)]);
    benchmark::DoNotOptimize(parse_row(b.data()));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_build_and_parse_row);

}  // namespace
