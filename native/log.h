#pragma once
// The process-wide log facility. Any thread formats a record and queues it; one logger thread
// hands the records, in order, to the sink: the host's logger object (through JNI) or a file.
// Logging never fails or blocks the caller on the sink; with no logger running, records are
// dropped.

#include <jni.h>

#include <cstdint>
#include <string>
#include <utility>

#include <fmt/format.h>

namespace ombrel::logging {

enum class level : int32_t { trace = 0, debug = 1, info = 2, warning = 3, error = 4 };

// Starts the sink that calls the host logger's "trace", "debug", "info", "warn" and "error"
// methods. A second call while a logger runs changes nothing.
void setup(level min_level, JNIEnv* env, jobject logger);

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
