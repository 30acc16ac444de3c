// Throughput of the checksums: CRC-32C (both implementations) for layout files and
// MurmurHash3 x64 128 for column blocks.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <random>
#include <vector>

#include "model/crc32c.h"
#include "model/hash.h"

namespace {

const std::vector<std::byte>& buffer() {
  static const std::vector<std::byte> data = [] {
    std::vector<std::byte> d(1 << 20);
    std::mt19937_64 random(42);
    for (auto& b : d) b = static_cast<std::byte>(random());
    return d;
  }();
  return data;
}

template <typename F>
void run(benchmark::State& state, F f) {
  const auto n = static_cast<size_t>(state.range(0));
  const std::byte* data = buffer().data();
  for (auto _ : state) benchmark::DoNotOptimize(f(data, n));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_crc32c_hardware(benchmark::State& state) {
  if (!ombrel::detail::crc32c_hardware_available()) {
    state.SkipWithError("no SSE4.2");
    return;
  }
  run(state, [](const std::byte* p, size_t n) { return ombrel::detail::crc32c_hardware(p, n); });
}

void BM_crc32c_portable(benchmark::State& state) {
  run(state, [](const std::byte* p, size_t n) { return ombrel::detail::crc32c_portable(p, n); });
}

void BM_murmur3_x64_128(benchmark::State& state) {
  run(state, [](const std::byte* p, size_t n) { return ombrel::calculate_hash(p, n); });
}

BENCHMARK(BM_crc32c_hardware)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_crc32c_portable)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_murmur3_x64_128)->Arg(64 << 10)->Arg(1 << 20);

}  // namespace
