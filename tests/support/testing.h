#pragma once
// What the test suites share: exception messages, seeds of randomized tests, and configuration
// values changed for one scope.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

namespace ombrel::testing {

// The message of the exception `f` throws, "<no exception>" when it returns.
std::string message_of(const std::function<void()>& f);
// The message of the exception of type E that `f` throws, "<no exception>" when it returns;
// an exception of another type passes through and fails the test.
template <typename E>
std::string message_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "<no exception>";
}
// The message of the exception nested in the one `f` throws.
std::string nested_message_of(const std::function<void()>& f);

// Bytes written as numbers, and bytes as lower-case hexadecimal text.
std::vector<std::byte> bytes_from(std::initializer_list<int> values);
std::string hex(std::span<const std::byte> bytes);

// The whole contents of a file, empty when it cannot be read.
std::string file_text(const std::filesystem::path& path);

// The seed of a randomized test: OMBREL_TEST_SEED when set, else a fresh one. Printed, so
// that a failure can be repeated.
uint64_t test_seed();

// Sets a configuration value (config::get_config().<name>) for one scope.
template <typename T>
class config_scope {
 public:
  config_scope(std::atomic<T>& value, T scoped) : value_(value), saved_(value.exchange(scoped)) {}
  ~config_scope() { value_.store(saved_); }
  config_scope(const config_scope&) = delete;
  config_scope& operator=(const config_scope&) = delete;

 private:
  std::atomic<T>& value_;
  T saved_;
};

}  // namespace ombrel::testing
