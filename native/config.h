#pragma once
// The process-wide tuning values. Built on first use from defaults and environment variables of
// the same names; the host changes single values through set_param. Fields are atomics so that a
// late set_param never races with readers; consumers marked "once" copy a value at first use.

#include <atomic>
#include <cstdint>
#include <string_view>

namespace ombrel {

struct config {
  std::atomic<bool> enable_oroch_compression{true};
  std::atomic<bool> enable_lz4_compression{true};
  std::atomic<uint64_t> memtable_max_entries{262144};
  std::atomic<uint64_t> memtable_buffer_capacity{1048576};
  std::atomic<uint64_t> memtable_buffer_pool_capacity{2147483648ull};
  std::atomic<uint64_t> merge_tree_fanout{4};
  std::atomic<uint64_t> merge_tree_first_level_size{262144};
  std::atomic<uint64_t> merge_tree_column_block_size_hint{8192};
  std::atomic<uint64_t> merge_tree_segment_key_index_granularity{512};
  // Bytes of decoded segment columns kept for point reads; 0 disables the cache.
  std::atomic<uint64_t> segment_cache_capacity{268435456};
  std::atomic<uint32_t> thread_pool_thread_count;

  static constexpr std::string_view oroch_compression_param_name = "ENABLE_OROCH_COMPRESSION";
  static constexpr std::string_view lz4_compression_param_name = "ENABLE_LZ4_COMPRESSION";
  static constexpr std::string_view memtable_max_entries_param_name = "MEMTABLE_MAX_ENTRIES";
  static constexpr std::string_view memtable_buffer_capacity_param_name =
      "MEMTABLE_BUFFER_CAPACITY";
  static constexpr std::string_view memtable_buffer_pool_capacity_param_name =
      "MEMTABLE_BUFFER_POOL_CAPACITY";
  static constexpr std::string_view merge_tree_fanout_param_name = "MERGE_TREE_FANOUT";
  static constexpr std::string_view merge_tree_first_level_size_param_name =
      "MERGE_TREE_FIRST_LEVEL_SIZE";
  static constexpr std::string_view merge_tree_column_block_size_hint_param_name =
      "MERGE_TREE_COLUMN_BLOCK_SIZE_HINT";
  static constexpr std::string_view merge_tree_segment_key_index_granularity_param_name =
      "MERGE_TREE_SEGMENT_KEY_INDEX_GRANULARITY";
  static constexpr std::string_view thread_pool_thread_count_param_name =
      "THREAD_POOL_THREAD_COUNT";
  static constexpr std::string_view segment_cache_capacity_param_name = "SEGMENT_CACHE_CAPACITY";

  // The largest MERGE_TREE_COLUMN_BLOCK_SIZE_HINT accepted. Readers bound every block by it
  // rather than by the current hint, so files written under any accepted hint stay readable
  // while a few stored bytes still cannot claim an unbounded block.
  static constexpr uint64_t MAX_COLUMN_BLOCK_SIZE_HINT = 65536;

  // Defaults, then every key's environment variable when it is set. A bad environment value
  // makes construction fail, so the next get_config() tries again. The two mem-table
  // capacities are checked against each other once both are read.
  config();
  config(const config&) = delete;
  config& operator=(const config&) = delete;

  // The single instance, built on first call.
  static config& get_config();

  // THREAD_POOL_THREAD_COUNT's default: the hardware threads, at least 1 where they are
  // unknown (reported as 0).
  static uint32_t default_thread_count(unsigned hardware_threads);

  // Sets one field by its key. Unknown keys and values that cannot be parsed or cannot work
  // (MERGE_TREE_COLUMN_BLOCK_SIZE_HINT above MAX_COLUMN_BLOCK_SIZE_HINT among them) fail with
  // errors::error and leave the field unchanged. MEMTABLE_BUFFER_CAPACITY may not
  // exceed MEMTABLE_BUFFER_POOL_CAPACITY: the pool would hold no buffer at all.
  void set_param(std::string_view name, std::string_view value);
};

}  // namespace ombrel
