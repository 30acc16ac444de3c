#pragma once
// The process-wide log facility. Any thread formats a record and queues it; one logger thread
// hands the records, in order, to the sink: the host's logger object (native/java_log.h) or a
// file. Logging never fails or blocks the caller on the sink; with no logger running, records
// are dropped.

#include <fmt/format.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace ombrel::logging {

enum class level : int32_t { trace = 0, debug = 1, info = 2, warning = 3, error = 4 };

// Where the logger thread delivers records. All three calls run on the logger thread.
class sink {
 public:
  virtual ~sink() = default;
  // Before the first record; throwing leaves no logger running.
  virtual void open() = 0;
  // One record; must not throw.
  virtual void write(level lvl, const std::string& message) noexcept = 0;
  // After the last record, when open() succeeded.
  virtual void close() noexcept = 0;
};

// Starts a logger thread delivering to `target`, then waits until it runs. A second call while
// a logger runs changes nothing (and `target` is dropped). Throws errors::fatal_error "Failed to
// set up a logger thread" when the sink could not be opened.
void setup(level min_level, std::unique_ptr<sink> target);

// Starts the sink that appends "[LEVEL] message" records to a file.
void setup(level min_level, std::string file_name);

// Stops the running logger, if any, after every record queued before was delivered.
void shutdown();

namespace detail {

void log(level lvl, std::string message);

template <typename... Args>
void log(level lvl, fmt::format_string<Args...> format, Args&&... args) {
  std::string message;
  try {
    message = fmt::format(format, std::forward<Args>(args)...);
  } catch (...) {
    return;  // a failing format must never fail the caller
  }
  log(lvl, std::move(message));
}

}  // namespace detail
}  // namespace ombrel::logging
