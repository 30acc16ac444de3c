#include "native/config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "native/errors.h"
#include "tests/support/testing.h"

namespace ombrel {
namespace {

std::string refusal(config& c, std::string_view name, std::string_view value) {
  return testing::message_of<errors::error>([&] { c.set_param(name, value); });
}

// Every value of the configuration.
std::vector<uint64_t> values(const config& c) {
  return {c.enable_oroch_compression,
          c.enable_lz4_compression,
          c.memtable_max_entries,
          c.memtable_buffer_capacity,
          c.memtable_buffer_pool_capacity,
          c.merge_tree_fanout,
          c.merge_tree_first_level_size,
          c.merge_tree_column_block_size_hint,
          c.merge_tree_segment_key_index_granularity,
          c.segment_cache_capacity,
          c.thread_pool_thread_count};
}

TEST(ConfigTest, KeysHaveTheirNamesAndDefaults) {
  // The names are those set_param and the environment take below.
  config& c = config::get_config();
  EXPECT_EQ(&c, &config::get_config());
  EXPECT_EQ(values(c),
            (std::vector<uint64_t>{1, 1, 262144, 1048576, 2147483648, 4, 262144, 8192, 512,
                                   268435456, std::max(1u, std::thread::hardware_concurrency())}));
  EXPECT_EQ(config::default_thread_count(0), 1u) << "hardware threads unknown";
  EXPECT_EQ(config::default_thread_count(6), 6u);
}

TEST(ConfigTest, SetParamParsesLikeStrtoull) {
  config& c = config::get_config();
  c.set_param("MERGE_TREE_FANOUT", "8");
  EXPECT_EQ(c.merge_tree_fanout, 8u);
  c.set_param("MEMTABLE_MAX_ENTRIES", "-1");
  EXPECT_EQ(c.memtable_max_entries, 18446744073709551615ull);
  c.set_param("THREAD_POOL_THREAD_COUNT", "12abc");
  EXPECT_EQ(c.thread_pool_thread_count, 12u);
  c.set_param("MEMTABLE_MAX_ENTRIES", std::string_view("77\0"
                                                       "99",
                                                       5));
  EXPECT_EQ(c.memtable_max_entries, 77u);
  c.set_param("SEGMENT_CACHE_CAPACITY", "0");  // no cache
  EXPECT_EQ(c.segment_cache_capacity, 0u);
  struct {
    const char* text;
    bool value;
  } bools[] = {{"FALSE", false}, {"True", true}, {"0", false}, {" 0", false}, {"1", true}};
  for (const auto& b : bools) {
    c.set_param("ENABLE_LZ4_COMPRESSION", b.text);
    EXPECT_EQ(c.enable_lz4_compression, b.value) << b.text;
  }
  c.set_param("MERGE_TREE_FANOUT", "4");
  c.set_param("MEMTABLE_MAX_ENTRIES", "262144");
  c.set_param("THREAD_POOL_THREAD_COUNT", std::to_string(std::thread::hardware_concurrency()));
  c.set_param("SEGMENT_CACHE_CAPACITY", "268435456");
}

TEST(ConfigTest, RefusalsKeepThePreviousValue) {
  config& c = config::get_config();
  struct {
    const char* name;
    const char* value;
    const char* message;
  } cases[] = {
      {"merge_tree_fanout", "8", "Unexpected name in config parameter:merge_tree_fanout"},
      {"MERGE_TREE_FANOUTX", "8", "Unexpected name in config parameter:MERGE_TREE_FANOUTX"},
      {"ENABLE_LZ4_COMPRESSION", "2", "Invalid value passed as config parameter"},
      {"ENABLE_LZ4_COMPRESSION", "yes", "stoull"},
      {"MERGE_TREE_FANOUT", "", "stoull"},
      {"MERGE_TREE_FANOUT", "99999999999999999999", "stoull"},
      {"MERGE_TREE_FANOUT", "1", "Invalid value passed as config parameter"},
      {"MERGE_TREE_FANOUT", "0", "Invalid value passed as config parameter"},
      {"MEMTABLE_BUFFER_CAPACITY", "0", "Invalid value passed as config parameter"},
      // Above the pool capacity (2^31 by default): not even one buffer would fit.
      {"MEMTABLE_BUFFER_CAPACITY", "-1", "Invalid value passed as config parameter"},
      {"MEMTABLE_BUFFER_CAPACITY", "2147483649", "Invalid value passed as config parameter"},
      {"MEMTABLE_BUFFER_POOL_CAPACITY", "1048575", "Invalid value passed as config parameter"},
      {"MEMTABLE_BUFFER_POOL_CAPACITY", "0", "Invalid value passed as config parameter"},
      {"MERGE_TREE_FIRST_LEVEL_SIZE", "0", "Invalid value passed as config parameter"},
      {"MERGE_TREE_SEGMENT_KEY_INDEX_GRANULARITY", "0", "Invalid value passed as config parameter"},
      // Larger blocks than readers accept.
      {"MERGE_TREE_COLUMN_BLOCK_SIZE_HINT", "65537", "Invalid value passed as config parameter"},
      {"THREAD_POOL_THREAD_COUNT", "0", "Invalid value passed as config parameter"},
      {"THREAD_POOL_THREAD_COUNT", "4294967296",
       "Invalid value passed as config parameter. Out of range"},
      {"SEGMENT_CACHE_CAPACITY", "lots", "stoull"},
      {"SEGMENT_CACHE_CAPACITY", "99999999999999999999", "stoull"},
  };
  for (const auto& t : cases) {
    const std::vector<uint64_t> before = values(c);
    EXPECT_EQ(refusal(c, t.name, t.value), t.message) << t.name << "=" << t.value;
    EXPECT_EQ(values(c), before) << t.name << "=" << t.value;
  }
  // Zero stays allowed where it works (no entries limit, no compression hint).
  c.set_param("MERGE_TREE_COLUMN_BLOCK_SIZE_HINT", "0");
  c.set_param("MERGE_TREE_COLUMN_BLOCK_SIZE_HINT", "65536");
  c.set_param("MERGE_TREE_COLUMN_BLOCK_SIZE_HINT", "8192");
}

// Each runs in a fresh process, where the configuration is built for the first time.
TEST(ConfigDeathTest, EnvironmentOverridesDefaultsAtFirstUseAndABadValueFailsItUntilFixed) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setenv("MERGE_TREE_FANOUT", "1", 1);
        setenv("ENABLE_OROCH_COMPRESSION", "false", 1);
        setenv("SEGMENT_CACHE_CAPACITY", "0", 1);
        int code = 1;
        try {
          config::get_config();
        } catch (const errors::error& e) {
          if (std::string(e.what()) == "Invalid value passed as config parameter") code = 2;
        }
        setenv("MERGE_TREE_FANOUT", "6", 1);
        const config& c = config::get_config();
        if (code == 2 && c.merge_tree_fanout == 6 && !c.enable_oroch_compression &&
            c.segment_cache_capacity == 0)
          code = 0;
        std::exit(code);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(ConfigDeathTest, EnvironmentCapacitiesAreCheckedTogether) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Both above the defaults: valid together whatever order they are read in.
  EXPECT_EXIT(
      {
        setenv("MEMTABLE_BUFFER_CAPACITY", "4294967296", 1);
        setenv("MEMTABLE_BUFFER_POOL_CAPACITY", "8589934592", 1);
        config& c = config::get_config();
        std::exit(c.memtable_buffer_capacity == 4294967296u ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        setenv("MEMTABLE_BUFFER_CAPACITY", "-1", 1);
        int code = 1;
        try {
          config::get_config();
        } catch (const errors::error& e) {
          if (std::string(e.what()) == "Invalid value passed as config parameter") code = 0;
        }
        std::exit(code);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace ombrel
