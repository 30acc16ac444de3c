#pragma once
// The history a crash-test child writes into its tree: batches of upserts and removals with
// increasing timestamps, watermark moves and full compactions, drawn from a seed. The parent
// regenerates the same history from the same (seed, start timestamp, watermark), so the child
// keeps no record of what it did before it was killed. Not thread-safe; one per history.

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "model/binary_tuple_builder.h"
#include "model/common.h"

namespace ombrel::testing::crash {

// Keys 0..KEY_COUNT-1; a few hot ones collect many versions.
inline constexpr int64_t KEY_COUNT = 120;
inline constexpr int64_t HOT_KEY_COUNT = 12;
// The watermark trails the newest timestamp by at least this, so the parent always has recent
// versions to check, and by at most this plus WATERMARK_SPREAD, so checks stay bounded.
inline constexpr tx_timestamp WATERMARK_LAG = 40;
inline constexpr tx_timestamp WATERMARK_SPREAD = 200;

struct op {
  enum class kind { upsert, remove, watermark, compaction };
  kind what = kind::upsert;
  int64_t key = 0;
  // The row's timestamp for an upsert or a removal; the new watermark for a watermark move.
  tx_timestamp timestamp = 0;
  uuid tx;
};

inline uint64_t mix(uint64_t x) {
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

// The row an upsert of `key` at `timestamp` writes: (key, name), the name null for some pairs
// and of varying length, always the same for the same pair.
inline std::vector<std::byte> row_of(int64_t key, tx_timestamp timestamp) {
  const uint64_t h = mix(static_cast<uint64_t>(key) * 1000003u ^ mix(timestamp));
  std::string name;
  const bool null = h % 11 == 0;
  if (!null) {
    name = "k" + std::to_string(key) + "@" + std::to_string(timestamp) + ":";
    for (uint64_t i = 0, n = (h >> 8) % 60; i < n; ++i) {
      name.push_back(static_cast<char>('a' + ((h >> 16) + i) % 26));
    }
  }
  const bytes_view value(name.size(), reinterpret_cast<const std::byte*>(name.data()));
  binary_tuple_builder b(2);
  b.start();
  b.claim_int64(key);
  null ? b.claim_null() : b.claim_varlen(value);
  b.layout();
  b.append_int64(key);
  null ? b.append_null() : b.append_varlen(value);
  return b.buffer();
}

class history {
 public:
  // Rows get timestamps above `start`; watermark moves start from `watermark`.
  history(uint64_t seed, tx_timestamp start, tx_timestamp watermark)
      : rng_(seed), seed_(seed), timestamp_(start - 1), watermark_(watermark) {}

  op next() {
    if (pending_.empty()) refill();
    op o = pending_.back();
    pending_.pop_back();
    return o;
  }

 private:
  void refill() {
    const uint64_t r = rng_() % 1000;
    if (r < 6) {
      pending_.push_back({op::kind::compaction, 0, 0, {}});
      return;
    }
    if (r < 40) {
      const tx_timestamp lag = WATERMARK_LAG + static_cast<tx_timestamp>(rng_() % WATERMARK_SPREAD);
      if (timestamp_ - lag > watermark_) {
        watermark_ = timestamp_ - lag;
        pending_.push_back({op::kind::watermark, 0, watermark_, {}});
        return;
      }
    }
    // One batch at one timestamp: distinct keys, each with its own transaction id.
    timestamp_ += 1 + static_cast<tx_timestamp>(rng_() % 3);
    const int rows = 1 + static_cast<int>(rng_() % 8);
    std::vector<int64_t> keys;
    while (static_cast<int>(keys.size()) < rows) {
      const int64_t range = rng_() % 2 == 0 ? HOT_KEY_COUNT : KEY_COUNT;
      const int64_t key = static_cast<int64_t>(rng_() % static_cast<uint64_t>(range));
      if (std::find(keys.begin(), keys.end(), key) == keys.end()) keys.push_back(key);
    }
    // pending_ is consumed from the back.
    for (auto key = keys.rbegin(); key != keys.rend(); ++key) {
      const auto what = rng_() % 5 == 0 ? op::kind::remove : op::kind::upsert;
      pending_.push_back({what, *key, timestamp_, {}});
    }
    for (auto it = pending_.rbegin(); it != pending_.rend(); ++it) {
      it->tx = uuid{static_cast<int64_t>(seed_), ++rows_};
    }
  }

  std::mt19937_64 rng_;
  uint64_t seed_;
  tx_timestamp timestamp_;
  tx_timestamp watermark_;
  int64_t rows_ = 0;
  std::vector<op> pending_;
};

}  // namespace ombrel::testing::crash
