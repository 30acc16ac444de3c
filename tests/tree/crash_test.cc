// Crash test of the durable merge tree: a child process (tests/tree/crash_child.cc) writes a
// seeded history into one tree and is killed at a random moment; the tree reopened here must
// hold exactly that history cut at its recovered tag, read for read and byte for byte. Cycles
// repeat on the same tree, each child continuing where the recovered tree ends.
// OMBREL_CRASH_CYCLES sets the number of cycles (scripts/crash-test runs long ones);
// OMBREL_TEST_SEED replays the children's histories and the kill delays of a printed seed.

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "model/binary_tuple_parser.h"
#include "native/config.h"
#include "segment/seqno_helper.h"
#include "tests/support/test_dir.h"
#include "tests/support/testing.h"
#include "tests/tree/crash_history.h"
#include "tests/tree/tree_test_util.h"
#include "tree/merge_tree.h"

extern char** environ;

namespace ombrel {
namespace {

using namespace testing::crash;
using testing::tree_rows::key;
using testing::tree_rows::table_schema;
using testing::tree_rows::view;

// Small mem-tables and levels, so that every few dozen rows flush and merges run all the time.
// The children get them through their environment; this process uses them too, so that its
// recoveries compact levels as the children's do. Level sizes are read once per process.
constexpr std::pair<const char*, const char*> SMALL_TREE[] = {
    {"MEMTABLE_MAX_ENTRIES", "32"},
    {"MERGE_TREE_FIRST_LEVEL_SIZE", "64"},
    {"MERGE_TREE_FANOUT", "2"},
};

const bool small_tree = [] {
  for (const auto& [name, value] : SMALL_TREE) config::get_config().set_param(name, value);
  return true;
}();

// More than a child gets through before its kill: the parent replays at most this many.
constexpr uint64_t CHILD_MAX_OPS = 20'000'000;
constexpr auto CHILD_EXIT_TIMEOUT = std::chrono::seconds(30);
constexpr int MIN_KILL_DELAY_MS = 20;
constexpr int MAX_KILL_DELAY_MS = 300;

int cycle_count() {
  if (const char* n = std::getenv("OMBREL_CRASH_CYCLES")) return std::stoi(n);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return 20;  // each cycle costs several times more under a sanitizer
#else
  return 100;
#endif
}

// A started tree_crash_child; one still running when this goes is killed and reaped.
class child_process {
 public:
  explicit child_process(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      const bool overridden =
          std::any_of(std::begin(SMALL_TREE), std::end(SMALL_TREE),
                      [&](const auto& p) { return entry.starts_with(std::string(p.first) + "="); });
      if (!overridden) env.push_back(entry);
    }
    for (const auto& [name, value] : SMALL_TREE) env.push_back(std::string(name) + "=" + value);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    // posix_spawn, not fork: this process runs the engine's threads.
    const int err = ::posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), envp.data());
    if (err != 0) {
      pid_ = -1;
      throw std::runtime_error(fmt::format("posix_spawn {}: {}", args[0], std::strerror(err)));
    }
  }
  ~child_process() {
    if (pid_ > 0) kill_and_wait();
  }
  child_process(const child_process&) = delete;
  child_process& operator=(const child_process&) = delete;

  // SIGKILLs the child and reaps it; the wait status, or nullopt when the child did not end
  // within CHILD_EXIT_TIMEOUT.
  std::optional<int> kill_and_wait() {
    ::kill(pid_, SIGKILL);
    const auto deadline = std::chrono::steady_clock::now() + CHILD_EXIT_TIMEOUT;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_ || (r < 0 && errno != EINTR)) {
        pid_ = -1;
        if (r < 0) return std::nullopt;
        return status;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return std::nullopt;
  }

 private:
  pid_t pid_ = -1;
};

std::string describe_status(int status) {
  if (WIFSIGNALED(status)) return fmt::format("killed by signal {}", WTERMSIG(status));
  if (WIFEXITED(status)) return fmt::format("exited with status {}", WEXITSTATUS(status));
  return fmt::format("ended with wait status {}", status);
}

// A row as "(key, name)" for messages.
std::string describe(const std::vector<std::byte>& row) {
  if (row.empty()) return "no row";
  try {
    binary_tuple_parser p(2, view(row));
    const int64_t id = binary_tuple_parser::get_int64(p.get_next());
    const bytes_view name = p.get_next();
    const std::string shown =
        name.is_null() ? "null"
                       : "'" + std::string(binary_tuple_parser::get_varlen(name).as_string()) + "'";
    return fmt::format("({}, {}) of {} bytes", id, shown, row.size());
  } catch (const std::exception& e) {
    return fmt::format("{} bytes that do not parse: {}", row.size(), e.what());
  }
}

// Every version the durable part of the histories wrote, per key: the reference the reopened
// tree must answer like. A removal is a version with an empty row.
class model {
 public:
  using versions = std::map<tx_timestamp, std::vector<std::byte>>;

  // The row visible at `timestamp`; empty when there is none.
  std::vector<std::byte> at(int64_t k, tx_timestamp timestamp) const {
    const auto found = keys_.find(k);
    if (found == keys_.end()) return {};
    const auto after = found->second.upper_bound(timestamp);
    if (after == found->second.begin()) return {};
    return std::prev(after)->second;
  }

  // Applies a row operation as the tree does; false when it writes nothing (a removal of a
  // key without a live row).
  bool apply(const op& o) {
    if (o.what == op::kind::upsert) {
      keys_[o.key][o.timestamp] = row_of(o.key, o.timestamp);
      return true;
    }
    if (at(o.key, TX_TIMESTAMP_LATEST).empty()) return false;
    keys_[o.key][o.timestamp] = {};
    return true;
  }

  // Drops what no read at or above `watermark` sees, as the tree's merges may.
  void forget_below(tx_timestamp watermark) {
    for (auto& [k, v] : keys_) {
      auto newest_below = v.upper_bound(watermark);
      if (newest_below == v.begin()) continue;
      --newest_below;
      v.erase(v.begin(), newest_below->second.empty() ? std::next(newest_below) : newest_below);
    }
  }

  const versions& of(int64_t k) const {
    static const versions none;
    const auto found = keys_.find(k);
    return found == keys_.end() ? none : found->second;
  }

 private:
  std::map<int64_t, versions> keys_;
};

// The first read at or above `watermark` in which the tree differs from the model, empty when
// there is none. Per key it reads wherever the answer may change: at every version, just
// before it, at the watermark and at the latest. `reads` counts the reads.
std::string first_difference(merge_tree& tree, const model& m, tx_timestamp watermark,
                             uint64_t& reads) {
  for (int64_t k = 0; k < KEY_COUNT; ++k) {
    std::set<tx_timestamp> points{watermark, TX_TIMESTAMP_LATEST};
    for (const auto& [t, row] : m.of(k)) points.insert({t, t - 1});
    const std::vector<std::byte> id = key(k);
    for (tx_timestamp t : points) {
      if (t < watermark) continue;
      ++reads;
      const std::vector<std::byte> got = tree.read(t, view(id));
      const std::vector<std::byte> expected = m.at(k, t);
      if (got != expected) {
        return fmt::format("key {} read at {}: expected {}, the tree has {}", k, t,
                           describe(expected), describe(got));
      }
    }
  }
  return {};
}

std::set<std::string> list_directory(const std::filesystem::path& directory) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(directory)) {
    names.insert(e.path().filename().string());
  }
  return names;
}

// What a recovered tree's directory holds beyond its schema, one layout file and the segments
// its state names, or lacks of them; empty when nothing. A tree that never committed has no
// layout, and keeps what a kill during its first flush left (segment directories, the temporary
// layout): without a layout the engine cannot tell them from the remains of a lost one.
std::string untidiness(merge_tree& tree) {
  const std::shared_ptr<tree_state> state = tree.get_state();
  std::set<std::string> expected{merge_tree::SCHEMA_FILENAME};
  for (const level& l : state->levels) {
    for (const auto& s : l) expected.insert(s->directory().filename().string());
  }
  std::set<std::string> present;
  int layouts = 0;
  for (const std::string& name : list_directory(tree.directory())) {
    if (merge_tree::is_layout_file(name)) {
      ++layouts;
    } else {
      present.insert(name);
    }
  }
  const bool never_committed =
      layouts == 0 && state->levels.empty() && tree.get_last_persisted_row_tag() == row_tag{};
  std::string out;
  if (layouts != 1 && !never_committed) out += fmt::format("{} layout files; ", layouts);
  for (const std::string& name : present) {
    // Segments of a first flush that never committed are kept (nothing explains them); an
    // unfinished layout never survives the reopen.
    const bool leftover = never_committed && parse_seqno(name).has_value() &&
                          std::filesystem::is_directory(tree.directory() / name);
    if (!expected.contains(name) && !leftover) out += fmt::format("unexpected {}; ", name);
  }
  for (const std::string& name : expected) {
    if (!present.contains(name)) out += fmt::format("missing {}; ", name);
  }
  return out;
}

// The watermark the last child made durable, `previous` when none has written one.
tx_timestamp read_watermark(const std::filesystem::path& path, tx_timestamp previous) {
  std::ifstream in(path);
  std::string text;
  if (!(in >> text)) return previous;
  return std::stoll(text);
}

std::unique_ptr<merge_tree> reopen(const std::filesystem::path& directory) {
  try {
    return std::make_unique<merge_tree>(directory);
  } catch (const std::exception& e) {
    ADD_FAILURE() << "the tree does not reopen: " << e.what();
    return nullptr;
  }
}

TEST(MergeTreeCrashTest, KilledWriterLosesNothingAtOrBelowTheRecoveredTag) {
  const uint64_t seed = testing::test_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  testing::test_dir dir;
  const std::filesystem::path tree_dir = dir / "t";
  const std::filesystem::path watermark_path = dir / "watermark";
  { merge_tree created(table_schema(), tree_dir); }

  model m;
  row_tag tag;
  tx_timestamp watermark = 0;
  const int cycles = cycle_count();
  for (int c = 0; c < cycles; ++c) {
    const uint64_t child_seed = rng();
    const tx_timestamp start = std::max(tag.timestamp, watermark) + 1;
    const int delay_ms =
        MIN_KILL_DELAY_MS + static_cast<int>(rng() % (MAX_KILL_DELAY_MS - MIN_KILL_DELAY_MS + 1));
    const std::string cycle = fmt::format(
        "cycle {}: child seed {} from timestamp {} with watermark {}, killed after {} ms", c,
        child_seed, start, watermark, delay_ms);
    SCOPED_TRACE(cycle);

    std::optional<int> status;
    {
      child_process child({OMBREL_CRASH_CHILD, tree_dir.string(), watermark_path.string(),
                           std::to_string(child_seed), std::to_string(start),
                           std::to_string(watermark), std::to_string(CHILD_MAX_OPS)});
      std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
      status = child.kill_and_wait();
    }
    ASSERT_TRUE(status.has_value()) << "the child did not end within the timeout";
    const bool killed = WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL;
    const bool finished = WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
    ASSERT_TRUE(killed || finished) << "the child " << describe_status(*status);

    const tx_timestamp next_watermark = read_watermark(watermark_path, watermark);
    ASSERT_GE(next_watermark, watermark) << "the watermark file went backwards";
    std::unique_ptr<merge_tree> tree = reopen(tree_dir);
    ASSERT_TRUE(tree);
    const row_tag reopened = tree->get_last_persisted_row_tag();
    ASSERT_GE(reopened.timestamp, tag.timestamp) << "the recovered tag went backwards";

    // The child's rows up to the one the tag names are durable; the rest died with it.
    uint64_t replayed = 0;
    if (!(reopened == tag)) {
      ASSERT_GT(reopened.timestamp, tag.timestamp)
          << "the recovered tag changed its transaction but not its timestamp";
      history h(child_seed, start, watermark);
      bool found = false;
      for (; replayed < CHILD_MAX_OPS && !found; ++replayed) {
        const op o = h.next();
        if (o.what != op::kind::upsert && o.what != op::kind::remove) continue;
        if (o.timestamp > reopened.timestamp) break;
        found = m.apply(o) && o.timestamp == reopened.timestamp && o.tx == reopened.tx;
      }
      ASSERT_TRUE(found) << "the recovered tag (" << reopened.timestamp << ", " << reopened.tx.first
                         << ":" << reopened.tx.second << ") names no row the child wrote";
    }
    tag = reopened;
    watermark = next_watermark;
    m.forget_below(watermark);

    uint64_t reads = 0;
    const std::string difference = first_difference(*tree, m, watermark, reads);
    ASSERT_TRUE(difference.empty()) << difference;
    const std::string untidy = untidiness(*tree);
    EXPECT_TRUE(untidy.empty()) << "after recovery: " << untidy;
    const std::set<std::string> before_close = list_directory(tree_dir);
    tree.reset();
    EXPECT_EQ(list_directory(tree_dir), before_close) << "a close without new rows changed files";
    std::cout << cycle << ": " << (killed ? "killed" : "finished") << ", recovered tag "
              << tag.timestamp << " after " << replayed << " operations, watermark " << watermark
              << ", " << reads << " reads agree" << std::endl;
  }

  // A full compaction at the watermark keeps what the kills left, and so does its recovery.
  std::unique_ptr<merge_tree> tree = reopen(tree_dir);
  ASSERT_TRUE(tree);
  tree->set_low_watermark(watermark);
  tree->make_full_compaction();
  uint64_t reads = 0;
  std::string difference = first_difference(*tree, m, watermark, reads);
  ASSERT_TRUE(difference.empty()) << "after the final full compaction: " << difference;
  tree.reset();  // closed before it is opened again
  tree = reopen(tree_dir);
  ASSERT_TRUE(tree);
  difference = first_difference(*tree, m, watermark, reads);
  EXPECT_TRUE(difference.empty()) << "after the final recovery: " << difference;
  const std::string untidy = untidiness(*tree);
  EXPECT_TRUE(untidy.empty()) << "after the final recovery: " << untidy;
}

}  // namespace
}  // namespace ombrel
