#pragma once
// Checks shared by the merge tree tests: a tidy tree directory, and a change failed at each of
// its system calls in turn.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/support/fault_file_system.h"
#include "tree/merge_tree.h"

namespace ombrel::testing::tree_rows {

// The directory holds one layout file (none before the first flush) and exactly the segments
// the state names.
inline void expect_tidy(merge_tree& tree) {
  std::set<std::string> named;
  for (const level& l : tree.get_state()->levels) {
    for (const auto& s : l) named.insert(s->directory().filename().string());
  }
  std::set<std::string> present;
  int layouts = 0;
  for (const auto& e : std::filesystem::directory_iterator(tree.directory())) {
    if (e.is_directory()) present.insert(e.path().filename().string());
    layouts += merge_tree::is_layout_file(e.path());
  }
  EXPECT_EQ(present, named);
  EXPECT_EQ(layouts, tree.get_state()->levels.empty() ? 0 : 1);
}

// The kinds of system call a change of the tree's files makes.
inline const std::vector<fs_op> CHANGE_OPS = {fs_op::open,   fs_op::write, fs_op::fsync,
                                              fs_op::rename, fs_op::mkdir, fs_op::link,
                                              fs_op::unlink, fs_op::list};

// Fails, in turn, each of the first `dense` calls of every kind counted in `calls`, then every
// seventh, and the last four (a commit's: the layout and schema files synced and renamed): `run`
// returns whether the failure reached the caller. Every kind of call but removals and listings
// (whose failures are only logged) must fail the change at least once.
inline void fail_each_call(const std::map<fs_op, uint64_t>& calls, uint64_t dense,
                           const std::function<bool(fs_op, uint64_t)>& run) {
  for (const auto& [op, count] : calls) {
    int failures = 0;
    // The stride stops short of the last four, so that a commit's calls always fail once.
    for (uint64_t n = 0; n < count;
         n = n < dense || n + 4 >= count ? n + 1 : std::min(n + 7, count - 4)) {
      SCOPED_TRACE("op " + std::to_string(static_cast<int>(op)) + " call " + std::to_string(n));
      failures += run(op, n);
      if (::testing::Test::HasFatalFailure()) return;
    }
    if (count > 0 && op != fs_op::unlink && op != fs_op::list) {
      EXPECT_GT(failures, 0);
    }
  }
}

}  // namespace ombrel::testing::tree_rows
