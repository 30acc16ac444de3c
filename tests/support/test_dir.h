#pragma once
// A fresh, empty directory for one test, removed again when the test ends.

#include <filesystem>
#include <string>

namespace ombrel::testing {

class test_dir {
 public:
  test_dir();
  ~test_dir();
  test_dir(const test_dir&) = delete;
  test_dir& operator=(const test_dir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

}  // namespace ombrel::testing
