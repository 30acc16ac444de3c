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

#include "native/config.h"
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

}  // namespace ombrel::testing
