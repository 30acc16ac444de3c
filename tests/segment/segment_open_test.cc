#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "segment/column_picker.h"
#include "segment/primary_index.h"
#include "segment/segment.h"
#include "segment_test_util.h"
#include "tests/support/test_dir.h"

extern char** environ;

namespace ombrel {
namespace {

using testing::composite_table;
using testing::seeded_column;
using testing::seeded_schema;
using testing::seeded_table;
using testing::test_dir;
using testing::test_mem_table;

namespace fs = std::filesystem;

// A second run of this test in a fresh process does one phase, named here, in the directory
// named by OMBREL_OPEN_TEST_DIR, under its own MERGE_TREE_SEGMENT_KEY_INDEX_GRANULARITY.
constexpr const char* PHASE_VARIABLE = "OMBREL_OPEN_TEST_PHASE";
constexpr const char* DIR_VARIABLE = "OMBREL_OPEN_TEST_DIR";

// Keys (i / 4, i % 4) for i < keys, with 1 to 3 versions at timestamps 10, 20, 30; every
// seventh key's newest version is a removal.
void fill(test_mem_table& m, int64_t keys) {
  for (int64_t i = 0; i < keys; ++i) {
    const int64_t versions = 1 + i % 3;
    for (int64_t v = 0; v < versions; ++v) {
      const tx_timestamp ts = 10 * (v + 1);
      if (i % 7 == 3 && v + 1 == versions) {
        m.remove({i / 4, i % 4}, ts);
      } else {
        m.upsert({i * 10 + v, i / 4, i % 4}, ts);
      }
    }
  }
}

// Every search, bound and position of the keys around the segment's, one line each.
std::string answers_of(const fs::path& directory, const seeded_table& table, int64_t keys) {
  const auto s = std::make_shared<segment>(directory);
  const column_picker all(table.schema);
  column_reader_pack pack;
  pack.prepare_in_picker_order(*s, all, 1 + table.schema.key_count());
  std::string out;
  for (int64_t i = -1; i <= keys; ++i) {
    const owned_material_tuple key = table.key({i / 4, i % 4});
    const auto found = s->position(25, key.get(), pack);
    out += std::to_string(i) + ": " +
           testing::describe(s->search(TX_TIMESTAMP_LATEST, key.get(), all)) + " | " +
           testing::describe(s->search(15, key.get(), all)) + " | " +
           std::to_string(s->lower_bound(key.get())) + " " +
           std::to_string(s->upper_bound(key.get())) + " " +
           (std::holds_alternative<uint64_t>(found) ? std::to_string(std::get<uint64_t>(found))
                                                    : "-" + std::to_string(found.index())) +
           "\n";
  }
  return out;
}

constexpr int64_t SEGMENT_KEYS[] = {1, 3, 12, 300, 1000};

void write_phase(const fs::path& dir) {
  const seeded_table table = composite_table();
  for (const int64_t keys : SEGMENT_KEYS) {
    const fs::path path = dir / std::to_string(keys);
    test_mem_table m(table);
    fill(m, keys);
    { const segment written(path, table.schema, m.get()); }
    const std::string answers = answers_of(path, table, keys);
    testing::write_file(dir / (std::to_string(keys) + ".answers"),
                        std::vector<std::byte>(
                            reinterpret_cast<const std::byte*>(answers.data()),
                            reinterpret_cast<const std::byte*>(answers.data()) + answers.size()));
  }
}

void read_phase(const fs::path& dir) {
  const seeded_table table = composite_table();
  for (const int64_t keys : SEGMENT_KEYS) {
    const auto before = testing::read_file(dir / (std::to_string(keys) + ".answers"));
    EXPECT_EQ(answers_of(dir / std::to_string(keys), table, keys),
              std::string(reinterpret_cast<const char*>(before.data()), before.size()))
        << keys << " keys";
  }
}

// Runs this test again in a fresh process with `phase`, and returns its exit status.
int run_phase(const char* phase, const fs::path& dir, uint64_t granularity) {
  std::vector<std::string> variables = {
      std::string(PHASE_VARIABLE) + "=" + phase, std::string(DIR_VARIABLE) + "=" + dir.string(),
      "MERGE_TREE_SEGMENT_KEY_INDEX_GRANULARITY=" + std::to_string(granularity)};
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "MERGE_TREE_SEGMENT_KEY_INDEX_GRANULARITY=", 41) != 0 &&
        std::strncmp(*e, "OMBREL_OPEN_TEST_", 17) != 0) {
      variables.emplace_back(*e);
    }
  }
  std::vector<char*> envp;
  for (std::string& v : variables) envp.push_back(v.data());
  envp.push_back(nullptr);
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string self = "/proc/self/exe";
  std::string filter =
      std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
  char* argv[] = {self.data(), filter.data(), nullptr};
  pid_t child;
  if (posix_spawn(&child, self.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return -1;
  int status = 0;
  if (waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The granularity is read once per process: segments written under one must answer the same
// when a later process, configured with another, opens them.
TEST(SegmentOpenTest, RestartWithAnotherGranularityAnswersAsBefore) {
  if (const char* phase = std::getenv(PHASE_VARIABLE)) {
    const fs::path dir = std::getenv(DIR_VARIABLE);
    ASSERT_EQ(primary_index::configured_granularity(),
              std::strtoull(std::getenv("MERGE_TREE_SEGMENT_KEY_INDEX_GRANULARITY"), nullptr, 10));
    if (std::string(phase) == "write") {
      write_phase(dir);
    } else {
      read_phase(dir);
    }
    return;
  }
  for (const auto& [written, read] : {std::pair{7, 512}, std::pair{512, 7}}) {
    SCOPED_TRACE(std::to_string(written) + " then " + std::to_string(read));
    test_dir dir;
    ASSERT_EQ(run_phase("write", dir.path(), written), 0);
    EXPECT_EQ(run_phase("read", dir.path(), read), 0);
  }
}

}  // namespace
}  // namespace ombrel
