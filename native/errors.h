#pragma once
// The engine's exception family. Every exception of our own making derives from errors::error,
// carries a message and the stack trace of the thread that constructed it. Immutable after
// construction, so safe to hand across threads (for example through futures).

#include <fmt/ostream.h>

#include <cstdint>
#include <exception>
#include <ostream>
#include <string>
#include <system_error>
#include <vector>

namespace ombrel {

// One entry of a captured stack.
struct frame {
  uint64_t address = 0;
  std::string name;
  int64_t offset = 0;  // address minus the symbol start; 0 when the start is unknown
};

// Captures up to `depth` return addresses of the calling thread, dropping the `skip` innermost.
std::vector<frame> stacktrace(int skip, int depth);

// One line per frame, innermost first: "[     0x1234 +       56] name\n".
std::ostream& operator<<(std::ostream& out, const std::vector<frame>& trace);

namespace errors {

// Bad input or an unsupported operation.
class error : public std::exception {
 public:
  explicit error(const char* message);
  explicit error(std::string message);
  ~error() override = default;

  const char* what() const noexcept override { return message_.c_str(); }
  const std::vector<frame>& trace() const noexcept { return trace_; }

 protected:
  struct no_trace {};
  error(std::string message, no_trace) : message_(std::move(message)) {}
  void capture_trace();

 private:
  std::string message_;
  std::vector<frame> trace_;
};

// A broken invariant or an exhausted resource.
class fatal_error : public error {
 public:
  using error::error;
};

// A failed system call: the message is the given text, ": ", then the system's text for errno.
class system_error : public error {
 public:
  system_error();
  explicit system_error(const char* message);
  explicit system_error(const std::string& message);

  const std::error_code& code() const noexcept { return code_; }

 private:
  system_error(int err, const char* message);
  std::error_code code_;
};

// The message of `e` followed by those of the causes nested in it, joined by ": ".
std::string describe(const std::exception& e);
std::string describe(const std::exception_ptr& e);

}  // namespace errors
}  // namespace ombrel

// Traces print through fmt as "{}" arguments in their text form.
template <>
struct fmt::formatter<std::vector<ombrel::frame>> : fmt::ostream_formatter {};
