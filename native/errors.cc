#include "native/errors.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <cerrno>
#include <cstdlib>
#include <iomanip>
#include <memory>

namespace ombrel {
namespace {

// Returns the demangled form of `symbol`, or nothing when it is not a mangled name.
bool demangle(const char* symbol, std::string& out) {
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> text(
      abi::__cxa_demangle(symbol, nullptr, nullptr, &status), &std::free);
  if (status != 0 || text == nullptr) return false;
  out = text.get();
  return true;
}

}  // namespace

std::vector<frame> stacktrace(int skip, int depth) {
  std::vector<frame> result;
  if (depth <= 0) return result;
  std::vector<void*> addresses(static_cast<size_t>(depth));
  const int n = backtrace(addresses.data(), depth);
  if (n <= skip || n <= 0) return result;
  std::unique_ptr<char*, decltype(&std::free)> symbols(backtrace_symbols(addresses.data(), n),
                                                       &std::free);
  result.reserve(static_cast<size_t>(n));
  for (int i = skip < 0 ? 0 : skip; i < n; ++i) {
    frame f;
    f.address = reinterpret_cast<uint64_t>(addresses[i]);
    Dl_info info{};
    if (dladdr(addresses[i], &info) != 0 && info.dli_sname != nullptr) {
      if (!demangle(info.dli_sname, f.name)) f.name = info.dli_sname;
      f.offset = static_cast<int64_t>(f.address - reinterpret_cast<uint64_t>(info.dli_saddr));
    } else {
      const char* raw = symbols ? symbols.get()[i] : "";
      if (!demangle(raw, f.name)) f.name = raw;
      f.offset = 0;
    }
    result.push_back(std::move(f));
  }
  return result;
}

std::ostream& operator<<(std::ostream& out, const std::vector<frame>& trace) {
  for (const frame& f : trace) {
    out << "[" << std::setw(12) << reinterpret_cast<const void*>(f.address) << " + " << std::setw(8)
        << std::dec << f.offset << "] " << f.name << "\n";
  }
  return out;
}

namespace errors {

error::error(const char* message) : message_(message) { capture_trace(); }

error::error(std::string message) : message_(std::move(message)) { capture_trace(); }

// Skips this function and the constructor that called it.
void error::capture_trace() { trace_ = stacktrace(2, 64); }

// errno is read before anything else can change it.
system_error::system_error() : system_error(errno, nullptr) {}

system_error::system_error(const char* message) : system_error(errno, message) {}

system_error::system_error(const std::string& message) : system_error(errno, message.c_str()) {}

system_error::system_error(int err, const char* message)
    : error(message ? std::string(message) + ": " + std::generic_category().message(err)
                    : std::generic_category().message(err),
            no_trace{}),
      code_(err, std::generic_category()) {
  capture_trace();
}

std::string describe(const std::exception& e) {
  std::string text = e.what();
  try {
    std::rethrow_if_nested(e);
  } catch (...) {
    text += ": " + describe(std::current_exception());
  }
  return text;
}

std::string describe(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& x) {
    return describe(x);
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace errors
}  // namespace ombrel
