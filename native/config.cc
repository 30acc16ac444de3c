#include "native/config.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>
#include <thread>

#include "native/errors.h"
#include "native/log.h"

namespace ombrel {
namespace {

constexpr const char* INVALID_VALUE = "Invalid value passed as config parameter";

// Values arrive zero-terminated (environment or host strings): only the bytes before the first
// zero count, exactly as strtoull would read them.
std::string terminated(std::string_view value) {
  return std::string(value.substr(0, value.find('\0')));
}

uint64_t parse_ulong(std::string_view value) {
  try {
    return std::stoull(terminated(value), nullptr, 10);
  } catch (const std::exception& e) {
    throw errors::error(e.what());
  }
}

uint32_t parse_uint(std::string_view value) {
  const uint64_t result = parse_ulong(value);
  if (result > UINT32_MAX)
    throw errors::error("Invalid value passed as config parameter. Out of range");
  return static_cast<uint32_t>(result);
}

bool equals_ignoring_case(const std::string& text, std::string_view word) {
  if (text.size() != word.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != word[i]) return false;
  }
  return true;
}

bool parse_bool(std::string_view value) {
  const std::string text = terminated(value);
  if (equals_ignoring_case(text, "true")) return true;
  if (equals_ignoring_case(text, "false")) return false;
  const uint64_t number = parse_ulong(value);
  if (number == 1) return true;
  if (number == 0) return false;
  throw errors::error(INVALID_VALUE);
}

// Values that would break their consumer: a zero size divides by zero or spins forever, a fanout
// below 2 never lets levels grow, a block hint above its maximum makes blocks no reader accepts.
uint64_t within(uint64_t value, uint64_t minimum, uint64_t maximum = UINT64_MAX) {
  if (value < minimum || value > maximum) throw errors::error(INVALID_VALUE);
  return value;
}

struct bool_key {
  std::string_view name;
  std::atomic<bool> config::*field;
};

struct ulong_key {
  std::string_view name;
  std::atomic<uint64_t> config::*field;
  uint64_t minimum;
  uint64_t maximum = UINT64_MAX;
};

constexpr bool_key BOOL_KEYS[] = {
    {config::oroch_compression_param_name, &config::enable_oroch_compression},
    {config::lz4_compression_param_name, &config::enable_lz4_compression},
};

constexpr ulong_key ULONG_KEYS[] = {
    {config::memtable_max_entries_param_name, &config::memtable_max_entries, 0},
    {config::memtable_buffer_capacity_param_name, &config::memtable_buffer_capacity, 1},
    {config::memtable_buffer_pool_capacity_param_name, &config::memtable_buffer_pool_capacity, 0},
    {config::merge_tree_fanout_param_name, &config::merge_tree_fanout, 2},
    {config::merge_tree_first_level_size_param_name, &config::merge_tree_first_level_size, 1},
    {config::merge_tree_column_block_size_hint_param_name,
     &config::merge_tree_column_block_size_hint, 0, config::MAX_COLUMN_BLOCK_SIZE_HINT},
    {config::merge_tree_segment_key_index_granularity_param_name,
     &config::merge_tree_segment_key_index_granularity, 1},
    {config::segment_cache_capacity_param_name, &config::segment_cache_capacity, 0},
};

// A pool cuts its capacity into whole buffers: a buffer larger than the pool leaves none.
void check_capacities(uint64_t buffer_capacity, uint64_t pool_capacity) {
  if (buffer_capacity > pool_capacity) throw errors::error(INVALID_VALUE);
}

// Parses and stores one key. `check_pair` compares a new capacity with the current other one;
// without it the caller checks the pair itself.
void assign(config& c, std::string_view name, std::string_view value, bool check_pair) {
  for (const bool_key& key : BOOL_KEYS) {
    if (key.name == name) {
      const bool parsed = parse_bool(value);
      (c.*key.field).store(parsed);
      logging::detail::log(logging::level::debug, "Set parameter {} to {}", name, parsed);
      return;
    }
  }
  for (const ulong_key& key : ULONG_KEYS) {
    if (key.name == name) {
      const uint64_t parsed = within(parse_ulong(value), key.minimum, key.maximum);
      if (check_pair && key.field == &config::memtable_buffer_capacity) {
        check_capacities(parsed, c.memtable_buffer_pool_capacity.load());
      } else if (check_pair && key.field == &config::memtable_buffer_pool_capacity) {
        check_capacities(c.memtable_buffer_capacity.load(), parsed);
      }
      (c.*key.field).store(parsed);
      logging::detail::log(logging::level::debug, "Set parameter {} to {}", name, parsed);
      return;
    }
  }
  if (name == config::thread_pool_thread_count_param_name) {
    const uint32_t parsed = static_cast<uint32_t>(within(parse_uint(value), 1));
    c.thread_pool_thread_count.store(parsed);
    logging::detail::log(logging::level::debug, "Set parameter {} to {}", name, parsed);
    return;
  }
  throw errors::error("Unexpected name in config parameter:" + std::string(name));
}

}  // namespace

uint32_t config::default_thread_count(unsigned hardware_threads) {
  return std::max(1u, hardware_threads);
}

config::config()
    : thread_pool_thread_count(default_thread_count(std::thread::hardware_concurrency())) {
  // Every key, in declaration order, validated as for the host; the capacities are compared
  // only once both are read, so that the order of the variables does not matter.
  const std::string_view keys[] = {
      oroch_compression_param_name,
      lz4_compression_param_name,
      memtable_max_entries_param_name,
      memtable_buffer_capacity_param_name,
      memtable_buffer_pool_capacity_param_name,
      merge_tree_fanout_param_name,
      merge_tree_first_level_size_param_name,
      merge_tree_column_block_size_hint_param_name,
      merge_tree_segment_key_index_granularity_param_name,
      thread_pool_thread_count_param_name,
      segment_cache_capacity_param_name,
  };
  for (std::string_view key : keys) {
    const char* value = std::getenv(std::string(key).c_str());
    if (value != nullptr) assign(*this, key, value, false);
  }
  check_capacities(memtable_buffer_capacity.load(), memtable_buffer_pool_capacity.load());
}

config& config::get_config() {
  static config instance;
  return instance;
}

void config::set_param(std::string_view name, std::string_view value) {
  assign(*this, name, value, true);
}

}  // namespace ombrel
