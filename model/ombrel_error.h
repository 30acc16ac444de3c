#pragma once
// The exception of the big-number layer: a message, a numeric code, an optional nested cause and
// free-form attributes. Immutable after construction, so it may be handed across threads.

#include <any>
#include <cstdint>
#include <exception>
#include <map>
#include <string>

namespace ombrel {

class ombrel_error : public std::exception {
 public:
  // Code given to errors built from a message alone.
  static constexpr int32_t DEFAULT_CODE = 0x90001;

  explicit ombrel_error(std::string message);
  ombrel_error(std::string message, int32_t code);
  ~ombrel_error() override = default;

  const char* what() const noexcept override;
  int32_t code() const noexcept { return code_; }
  // Empty unless the error was raised while handling another one.
  const std::exception_ptr& cause() const noexcept { return cause_; }
  const std::map<std::string, std::any>& attributes() const noexcept { return attributes_; }

 private:
  std::string message_;
  int32_t code_;
  std::exception_ptr cause_;
  std::map<std::string, std::any> attributes_;
};

}  // namespace ombrel
