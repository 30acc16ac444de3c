#include "tests/support/test_dir.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>

namespace ombrel::testing {

test_dir::test_dir() {
  static std::atomic<int> counter{0};
  const char* base = std::getenv("OMBREL_TEST_TMP");
  std::filesystem::path root =
      base ? base : std::filesystem::temp_directory_path() / "ombrel-tests";
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "test";
  path_ = root / (name + "-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
  std::filesystem::remove_all(path_);
  std::filesystem::create_directories(path_);
}

test_dir::~test_dir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace ombrel::testing
