// Column file speed and size: loading a cached column (read, hash check, decode) and the
// stored bytes per value of typical columns under the chosen methods and under LZ4 alone.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "bench/column_scratch.h"
#include "bench/workload.h"
#include "model/column_descriptor.h"
#include "native/config.h"
#include "segment/column_file.h"
#include "segment/column_reader.h"

namespace ombrel::bench {
namespace {

// Values of one column, fixed-size ones in their little-endian form.
using column_values = std::vector<std::string>;

template <typename T>
std::string fixed(T v) {
  return std::string(reinterpret_cast<const char*>(&v), sizeof(T));
}

column_values int64_keys(uint64_t n) {
  column_values values;
  for (const workload_row& row : make_rows(n)) values.push_back(fixed(row.k));
  return values;
}

column_values int64_random(uint64_t n) {
  splitmix64 rng(11);
  column_values values;
  for (uint64_t i = 0; i < n; ++i) values.push_back(fixed(rng.next()));
  return values;
}

column_values int64_small(uint64_t n) {  // workload c1 widened: narrow random values
  column_values values;
  for (const workload_row& row : make_rows(n)) values.push_back(fixed<int64_t>(row.c1));
  return values;
}

column_values int32_uniform_1000(uint64_t n) {
  splitmix64 rng(3);
  column_values values;
  for (uint64_t i = 0; i < n; ++i) values.push_back(fixed(static_cast<int32_t>(rng.next() % 1000)));
  return values;
}

column_values rising_timestamps(uint64_t n) {
  splitmix64 rng(5);
  column_values values;
  int64_t t = 1'700'000'000'000'000;
  for (uint64_t i = 0; i < n; ++i) {
    t += static_cast<int64_t>(rng.next() % 1001);
    values.push_back(fixed(t));
  }
  return values;
}

column_values low_cardinality_strings(uint64_t n) {
  static const char* const words[] = {"pending",   "shipped",  "delivered", "returned",
                                      "cancelled", "on hold",  "refunded",  "lost in transit",
                                      "backorder", "packaging"};
  splitmix64 rng(7);
  column_values values;
  for (uint64_t i = 0; i < n; ++i) values.emplace_back(words[rng.next() % std::size(words)]);
  return values;
}

column_values make_values(int64_t kind, uint64_t n) {
  switch (kind) {
    case 0:
      return int64_keys(n);
    case 1:
      return int64_small(n);
    case 2:
      return rising_timestamps(n);
    default:
      return int64_random(n);
  }
}

const char* const INT64_KINDS[] = {"keys", "narrow", "timestamps", "random"};

// Arg: 0 workload keys, 1 narrow values, 2 rising timestamps, 3 random 64-bit values.
void BM_ReadFileAndDecompressInt64(benchmark::State& state) {
  constexpr uint64_t rows = 1'000'000;
  const column_descriptor d{"read_int64", column_info::of_type(INT64, false)};
  const uint64_t size = write_column_values(d, make_values(state.range(0), rows));
  const column_file cf(column_scratch(), d);
  { column_reader(cf).read_file_and_decompress(); }  // into the page cache
  for (auto _ : state) {
    column_reader reader(cf);
    reader.read_file_and_decompress();
    benchmark::DoNotOptimize(reader.data());
  }
  state.SetLabel(INT64_KINDS[state.range(0)]);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * rows * 8));
  state.counters["file_bytes_per_value"] = static_cast<double>(size) / rows;
}
BENCHMARK(BM_ReadFileAndDecompressInt64)
    ->DenseRange(0, 3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Writing 1,000,000 values; arg 0: the chosen methods, arg 1: LZ4 alone (the integer codec
// switched off).
template <column_values (*make)(uint64_t), ombrel_type type>
void BM_StoredSize(benchmark::State& state) {
  constexpr uint64_t rows = 1'000'000;
  const column_values values = make(rows);
  config& cfg = config::get_config();
  const bool oroch = cfg.enable_oroch_compression;
  cfg.enable_oroch_compression = state.range(0) == 0;
  const column_descriptor d{"size", column_info::of_type(type, false)};
  uint64_t size = 0;
  for (auto _ : state) size = write_column_values(d, values);
  cfg.enable_oroch_compression = oroch;
  state.SetLabel(state.range(0) == 0 ? "chosen" : "lz4 only");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * rows));
  // The whole file, and the stored blocks alone (without the 56-byte header per block).
  state.counters["file_bytes_per_value"] = static_cast<double>(size) / rows;
  state.counters["block_bytes_per_value"] =
      static_cast<double>(column_reader(column_file(column_scratch(), d)).data_size()) / rows;
}
BENCHMARK(BM_StoredSize<int32_uniform_1000, INT32>)
    ->Name("BM_StoredSize/int32_uniform_0_1000")
    ->DenseRange(0, 1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoredSize<rising_timestamps, INT64>)
    ->Name("BM_StoredSize/timestamps_gaps_0_1000")
    ->DenseRange(0, 1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoredSize<low_cardinality_strings, STRING>)
    ->Name("BM_StoredSize/string_10_distinct")
    ->DenseRange(0, 1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ombrel::bench
