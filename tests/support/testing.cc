#include "tests/support/testing.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <random>
#include <sstream>

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

std::vector<std::byte> bytes_from(std::initializer_list<int> values) {
  std::vector<std::byte> out;
  for (int v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

std::string hex(std::span<const std::byte> bytes) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string out;
  for (std::byte b : bytes) {
    out += DIGITS[std::to_integer<unsigned>(b) >> 4];
    out += DIGITS[std::to_integer<unsigned>(b) & 15];
  }
  return out;
}

std::string file_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
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
