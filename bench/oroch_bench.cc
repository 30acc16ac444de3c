// Throughput of the oroch integer codec on blocks of 8192 values: decoding (bytes of decoded
// output per second) and select + encode (bytes of input per second), plus the stored size per
// value of typical columns.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bench/workload.h"
#include "segment/oroch.h"

namespace {

using namespace ombrel;

constexpr size_t BLOCK = 8192;

enum class shape {
  offset_packed,  // large base + uniform 12-bit offsets
  bitpfr,         // uniform 8-bit values with 1% 20-bit outliers
  zigzag_packed,  // uniform in [-2000, 2000]
  uniform_1000,   // uniform in [0, 1000)
  timestamps,     // increasing, random steps 0..1000
};

template <typename T>
std::vector<T> make_block(shape s) {
  bench::splitmix64 rng(42);
  const auto below = [&](uint64_t bound) { return static_cast<T>(rng.next() % bound); };
  const T base =
      sizeof(T) == 8 ? static_cast<T>(1'700'000'000'000'000'000L) : static_cast<T>(1'000'000'000);
  std::vector<T> v(BLOCK);
  T now = base;
  for (auto& x : v) {
    switch (s) {
      case shape::offset_packed:
        x = static_cast<T>(base + below(4096));
        break;
      case shape::bitpfr:
        x = rng.next() % 100 == 0 ? below(1 << 20) : below(256);
        break;
      case shape::zigzag_packed:
        x = static_cast<T>(below(4001) - 2000);
        break;
      case shape::uniform_1000:
        x = below(1000);
        break;
      case shape::timestamps:
        x = now = static_cast<T>(now + below(1001));
        break;
    }
  }
  return v;
}

const char* encoding_name(oroch::encoding e) {
  static const char* const names[] = {"constant",      "plain",         "zigzag_varint",
                                      "offset_varint", "zigzag_packed", "offset_packed",
                                      "bitpfr"};
  return names[static_cast<int>(e)];
}

template <typename T>
std::vector<std::byte> encode(const std::vector<T>& v, oroch::encoding_metadata<T>& meta) {
  oroch::integer_codec<T>::select(meta, v.data(), v.data() + v.size());
  std::vector<std::byte> out(oroch::encoded_size(meta));
  oroch::encode_block(meta, v.data(), v.data() + v.size(), out.data());
  return out;
}

template <typename T>
void describe(benchmark::State& state, const oroch::encoding_metadata<T>& meta) {
  state.SetLabel(std::string(encoding_name(meta.value.enc)) +
                 " w=" + std::to_string(meta.value.bit_width));
  state.counters["stored_bytes_per_value"] = static_cast<double>(oroch::encoded_size(meta)) / BLOCK;
}

template <typename T>
void BM_decode(benchmark::State& state, shape s) {
  const std::vector<T> values = make_block<T>(s);
  oroch::encoding_metadata<T> meta;
  const std::vector<std::byte> stored = encode(values, meta);
  std::vector<T> out(BLOCK);
  for (auto _ : state) {
    oroch::decode_block(stored.data(), stored.size(), out.data(), out.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  if (out != values) state.SkipWithError("decoded values differ");
  state.SetBytesProcessed(state.iterations() * BLOCK * sizeof(T));
  describe(state, meta);
}

template <typename T>
void BM_select_encode(benchmark::State& state, shape s) {
  const std::vector<T> values = make_block<T>(s);
  oroch::encoding_metadata<T> meta;
  std::vector<std::byte> out(BLOCK * sizeof(T) + 64);
  for (auto _ : state) {
    oroch::integer_codec<T>::select(meta, values.data(), values.data() + values.size());
    oroch::encode_block(meta, values.data(), values.data() + values.size(), out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * BLOCK * sizeof(T));
  describe(state, meta);
}

// The registration macros take plain function names.
void BM_decode_int32(benchmark::State& state, shape s) { BM_decode<int>(state, s); }
void BM_decode_int64(benchmark::State& state, shape s) { BM_decode<long>(state, s); }
void BM_select_encode_int32(benchmark::State& state, shape s) { BM_select_encode<int>(state, s); }
void BM_select_encode_int64(benchmark::State& state, shape s) { BM_select_encode<long>(state, s); }

BENCHMARK_CAPTURE(BM_decode_int32, offset_packed, shape::offset_packed);
BENCHMARK_CAPTURE(BM_decode_int64, offset_packed, shape::offset_packed);
BENCHMARK_CAPTURE(BM_decode_int32, bitpfr, shape::bitpfr);
BENCHMARK_CAPTURE(BM_decode_int64, bitpfr, shape::bitpfr);
BENCHMARK_CAPTURE(BM_decode_int32, zigzag_packed, shape::zigzag_packed);
BENCHMARK_CAPTURE(BM_decode_int64, zigzag_packed, shape::zigzag_packed);
BENCHMARK_CAPTURE(BM_decode_int32, uniform_1000, shape::uniform_1000);
BENCHMARK_CAPTURE(BM_decode_int64, timestamps, shape::timestamps);

BENCHMARK_CAPTURE(BM_select_encode_int32, offset_packed, shape::offset_packed);
BENCHMARK_CAPTURE(BM_select_encode_int64, offset_packed, shape::offset_packed);
BENCHMARK_CAPTURE(BM_select_encode_int32, bitpfr, shape::bitpfr);
BENCHMARK_CAPTURE(BM_select_encode_int64, bitpfr, shape::bitpfr);
BENCHMARK_CAPTURE(BM_select_encode_int32, zigzag_packed, shape::zigzag_packed);
BENCHMARK_CAPTURE(BM_select_encode_int64, zigzag_packed, shape::zigzag_packed);
BENCHMARK_CAPTURE(BM_select_encode_int32, uniform_1000, shape::uniform_1000);
BENCHMARK_CAPTURE(BM_select_encode_int64, timestamps, shape::timestamps);

}  // namespace
