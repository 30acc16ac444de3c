#include "native/log.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "native/errors.h"
#include "tests/support/test_dir.h"
#include "tests/support/testing.h"

namespace ombrel {
namespace {

using testing::file_text;

TEST(LogTest, FileSinkWritesRecordsBackToBackAndASecondSetupChangesNothing) {
  testing::test_dir dir;
  logging::setup(logging::level::debug, (dir / "a.txt").string());
  logging::setup(logging::level::trace, (dir / "b.txt").string());
  logging::detail::log(logging::level::trace, "dropped {}", 1);
  logging::detail::log(logging::level::debug, "first {}", 1);
  logging::detail::log(logging::level::warning, "second");
  logging::detail::log(logging::level::error, "third {} {}", "x", 2.5);
  logging::shutdown();
  logging::shutdown();
  logging::detail::log(logging::level::error, "after shutdown");
  EXPECT_EQ(file_text(dir / "a.txt"), "[DEBUG] first 1[WARNING] second[ERROR] third x 2.5");
  EXPECT_FALSE(std::filesystem::exists(dir / "b.txt"));
}

TEST(LogTest, UnopenableFileFailsSetup) {
  testing::test_dir dir;
  EXPECT_EQ(testing::message_of<errors::fatal_error>([&] {
              logging::setup(logging::level::debug, (dir / "missing" / "log.txt").string());
            }),
            "Failed to set up a logger thread");
  logging::shutdown();
}

TEST(LogTest, ConcurrentLoggersLoseNoRecord) {
  testing::test_dir dir;
  logging::setup(logging::level::info, (dir / "log.txt").string());
  constexpr int THREADS = 8;
  constexpr int RECORDS = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < RECORDS; ++i) logging::detail::log(logging::level::info, "<{}:{}>", t, i);
    });
  }
  for (auto& t : threads) t.join();
  logging::shutdown();
  const std::string text = file_text(dir / "log.txt");
  std::vector<int> next(THREADS, 0);
  size_t pos = 0;
  int total = 0;
  while ((pos = text.find("[INFO] <", pos)) != std::string::npos) {
    int t = 0, i = 0;
    ASSERT_EQ(std::sscanf(text.c_str() + pos, "[INFO] <%d:%d>", &t, &i), 2);
    ASSERT_EQ(i, next[t]) << "records of one thread out of order";
    ++next[t];
    ++total;
    ++pos;
  }
  EXPECT_EQ(total, THREADS * RECORDS);
}

}  // namespace
}  // namespace ombrel
