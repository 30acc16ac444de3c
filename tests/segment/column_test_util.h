#pragma once
// Helpers shared by the column file and block compression tests: configuration switches that
// restore themselves, a per-run seed, and typed byte conversions.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "model/column_descriptor.h"
#include "native/config.h"
#include "segment/compression.h"
#include "tests/support/testing.h"

namespace ombrel::testing {

// Sets one configuration key for the scope and restores the old value after it.
class config_override {
 public:
  config_override(std::string_view key, std::string value) : key_(key) {
    config& cfg = config::get_config();
    if (key == config::oroch_compression_param_name) {
      old_ = cfg.enable_oroch_compression ? "true" : "false";
    } else if (key == config::lz4_compression_param_name) {
      old_ = cfg.enable_lz4_compression ? "true" : "false";
    } else {
      old_ = std::to_string(cfg.merge_tree_column_block_size_hint.load());
    }
    cfg.set_param(key_, value);
  }
  ~config_override() { config::get_config().set_param(key_, old_); }
  config_override(const config_override&) = delete;
  config_override& operator=(const config_override&) = delete;

 private:
  std::string key_;
  std::string old_;
};

inline uint64_t column_test_seed() {
  static const uint64_t seed = [] { return testing::test_seed(); }();
  return seed;
}

template <typename T>
std::vector<std::byte> to_bytes(const std::vector<T>& values) {
  std::vector<std::byte> bytes(values.size() * sizeof(T));
  if (!bytes.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}

template <typename T>
T load(const std::byte* p) {
  T value;
  std::memcpy(&value, p, sizeof(T));
  return value;
}

// A block as a column file stores it: its header and stored bytes.
struct stored_block {
  storage_block_header header;
  std::vector<std::byte> stored;
};

// Hand-made stored bytes under a matching hash.
inline stored_block forge(uint64_t method, uint64_t size, std::vector<std::byte> stored) {
  storage_block_header header{size, stored.size(), method, {}, {}};
  header.hash = calculate_hash(stored.data(), stored.size());
  return {header, std::move(stored)};
}

// `values` compressed as a block of a `type` column.
template <typename T>
stored_block compress_values(const std::vector<T>& values, ombrel_type type,
                             storage_block_meta meta = {}) {
  const std::vector<std::byte> bytes = to_bytes(values);
  auto [header, stored] = compress({bytes.size(), bytes.data()}, type, meta);
  std::vector<std::byte> copy(header.stored_size);
  if (!copy.empty()) std::memcpy(copy.data(), stored.get(), copy.size());
  return {header, std::move(copy)};
}

inline column_descriptor make_column(ombrel_type type, bool nullable, std::string name = "c") {
  return {std::move(name), column_info::of_type(type, nullable)};
}

}  // namespace ombrel::testing
