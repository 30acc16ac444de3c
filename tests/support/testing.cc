#include "tests/support/testing.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <random>

namespace ombrel::testing {

std::string message_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no exception>";
}

std::string nested_message_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    try {
      std::rethrow_if_nested(e);
    } catch (const std::exception& inner) {
      return inner.what();
    }
    return "<nothing nested>";
  }
  return "<no exception>";
}

uint64_t test_seed() {
  const char* fixed = std::getenv("OMBREL_TEST_SEED");
  const uint64_t seed =
      fixed != nullptr ? std::strtoull(fixed, nullptr, 10) : std::random_device{}();
  std::printf("seed %llu (OMBREL_TEST_SEED=%llu repeats it)\n",
              static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed));
  std::fflush(stdout);
  return seed;
}

}  // namespace ombrel::testing
