#include "bench/workload.h"

#include <cstring>
#include <utility>

namespace ombrel::bench {

std::vector<workload_row> make_rows(uint64_t n) {
  static constexpr char ALPHA[] = "abcdefghijklmnopqrstuvwxyz012345";
  std::vector<workload_row> rows(n);
  splitmix64 gen(1);
  int64_t seconds = 1600000000;
  for (uint64_t i = 0; i < n; ++i) {
    workload_row& r = rows[i];
    r.k = static_cast<int64_t>(i);
    r.c1 = static_cast<int32_t>(gen.next() % 1000);
    r.c2 = static_cast<double>(gen.next() >> 11) * 0x1.0p-53;
    const uint64_t r3 = gen.next();
    const uint64_t r4 = gen.next();
    for (int j = 0; j < 12; ++j) r.c3[j] = ALPHA[(r3 >> (5 * j)) & 31];
    for (int j = 12; j < 16; ++j) r.c3[j] = ALPHA[(r4 >> (5 * (j - 12))) & 31];
    seconds += static_cast<int64_t>(gen.next() % 1001);
    r.c4_seconds = seconds;
    r.c4_nanos = static_cast<int32_t>(gen.next() % 1000000000);
  }
  return rows;
}

std::vector<uint64_t> make_permutation(uint64_t n) {
  std::vector<uint64_t> perm(n);
  for (uint64_t i = 0; i < n; ++i) perm[i] = i;
  splitmix64 gen(2);
  for (uint64_t i = n; i-- > 1;) std::swap(perm[i], perm[gen.next() % (i + 1)]);
  return perm;
}

std::vector<int64_t> make_lookups(uint64_t n, uint64_t count) {
  std::vector<int64_t> keys(count);
  splitmix64 gen(3);
  for (auto& k : keys) k = static_cast<int64_t>(gen.next() % n);
  return keys;
}

schema_descriptor workload_schema() {
  schema_descriptor s;
  s.columns.emplace_back("k", column_info::of_type(INT64, false));
  s.columns.emplace_back("c1", column_info::of_type(INT32, false));
  s.columns.emplace_back("c2", column_info::of_type(DOUBLE, false));
  s.columns.emplace_back("c3", column_info::of_type(STRING, false));
  s.columns.emplace_back("c4", column_info::of_type(TIMESTAMP, false));
  s.initialize_positions({0, NO_COLUMN, NO_COLUMN, NO_COLUMN, NO_COLUMN});
  return s;
}

void build_row(binary_tuple_builder& b, const workload_row& r) {
  const bytes_view text(r.c3, sizeof(r.c3));
  const ombrel_timestamp ts{r.c4_seconds, r.c4_nanos};
  b.start();
  b.claim_int64(r.k);
  b.claim_int32(r.c1);
  b.claim_double(r.c2);
  b.claim_varlen(text);
  b.claim_timestamp(ts);
  b.layout();
  b.append_int64(r.k);
  b.append_int32(r.c1);
  b.append_double(r.c2);
  b.append_varlen(text);
  b.append_timestamp(ts);
}

std::vector<std::vector<std::byte>> encode_rows(const std::vector<workload_row>& rows) {
  std::vector<std::vector<std::byte>> out;
  out.reserve(rows.size());
  binary_tuple_builder b(5);
  for (const workload_row& r : rows) {
    build_row(b, r);
    out.push_back(b.buffer());
  }
  return out;
}

uint64_t fingerprint(const std::vector<workload_row>& rows) {
  uint64_t h = 0xCBF29CE484222325ull;
  auto mix = [&h](const void* p, size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < n; ++i) {
      h ^= b[i];
      h *= 0x100000001B3ull;
    }
  };
  for (const workload_row& r : rows) {
    mix(&r.k, 8);
    mix(&r.c1, 4);
    mix(&r.c2, 8);
    mix(r.c3, 16);
    mix(&r.c4_seconds, 8);
    mix(&r.c4_nanos, 4);
  }
  return h;
}

}  // namespace ombrel::bench
