#include "native/log.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <queue>
#include <thread>

#include "native/errors.h"

namespace ombrel::logging {
namespace {

enum status : int32_t { NO_LOGGER = 0, STARTING = 1, RUNNING = 2, STOPPING = 3 };

// Level value of the record that tells the logger thread to stop.
constexpr int32_t STOP_MARKER = 5;

struct log_record {
  int32_t lvl;
  std::string message;
};

// A FIFO with one consumer.
template <typename T>
class mt_queue {
 public:
  void push(T item) {
    {
      std::scoped_lock lock(mutex_);
      items_.push(std::move(item));
    }
    ready_.notify_one();
  }

  T pop() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return !items_.empty(); });
    T item = std::move(items_.front());
    items_.pop();
    return item;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::queue<T, std::deque<T>> items_;
};

std::atomic<int32_t> g_status{NO_LOGGER};
std::atomic<int32_t> g_level{static_cast<int32_t>(level::error)};
mt_queue<log_record> g_queue;

void set_status(int32_t value) {
  g_status.store(value);
  std::atomic_thread_fence(std::memory_order_seq_cst);
}

bool change_status(int32_t from, int32_t to) {
  const bool changed = g_status.compare_exchange_strong(from, to);
  std::atomic_thread_fence(std::memory_order_seq_cst);
  return changed;
}

// Waits while the status holds `value`. With a deadline, gives up once it has passed: at process
// exit the virtual machine may already have stopped the logger thread inside a host call.
void wait_while(int32_t value, std::chrono::steady_clock::time_point deadline =
                                   std::chrono::steady_clock::time_point::max()) {
  while (g_status.load() == value) {
    if (std::chrono::steady_clock::now() >= deadline) return;
    sched_yield();
  }
}

void stop_logger(std::chrono::steady_clock::time_point deadline) {
  if (change_status(RUNNING, STOPPING)) g_queue.push({STOP_MARKER, std::string()});
  wait_while(STOPPING, deadline);
}

// Owns the detached logger thread's handle; at process exit stops the logger before the queue
// goes away.
struct logger_holder {
  std::thread thread;
  ~logger_holder() { stop_logger(std::chrono::steady_clock::now() + std::chrono::seconds(2)); }
};

logger_holder g_logger;

constexpr const char* FILE_LEVEL_NAMES[] = {"TRACE", "DEBUG", "INFO", "WARNING", "ERROR"};

// An append-only file written through a 32 KiB buffer.
class buffered_file {
 public:
  explicit buffered_file(const std::string& name)
      : fd_(::open(name.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666)) {
    if (fd_ < 0) throw errors::system_error(name);
    buffer_.reserve(BUFFER_SIZE);
  }
  ~buffered_file() {
    flush();
    ::close(fd_);
  }
  buffered_file(const buffered_file&) = delete;
  buffered_file& operator=(const buffered_file&) = delete;

  void append(std::string_view text) {
    if (buffer_.size() + text.size() > BUFFER_SIZE) flush();
    if (text.size() >= BUFFER_SIZE) {
      write_all(text);
    } else {
      buffer_.append(text);
    }
  }

  void flush() {
    write_all(buffer_);
    buffer_.clear();
  }

 private:
  static constexpr size_t BUFFER_SIZE = 32768;

  void write_all(std::string_view text) {
    while (!text.empty()) {
      const ssize_t n = ::write(fd_, text.data(), text.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;  // nowhere to report a failing log file
      text.remove_prefix(static_cast<size_t>(n));
    }
  }

  int fd_;
  std::string buffer_;
};

class file_sink final : public sink {
 public:
  explicit file_sink(std::string file_name) : file_name_(std::move(file_name)) {}
  void open() override { out_.emplace(file_name_); }
  void write(level lvl, const std::string& message) noexcept override {
    try {
      out_->append(fmt::format("[{}] {}", FILE_LEVEL_NAMES[static_cast<int32_t>(lvl)], message));
    } catch (...) {
      // Out of memory while formatting: the record is lost.
    }
  }
  void close() noexcept override { out_.reset(); }

 private:
  std::string file_name_;
  std::optional<buffered_file> out_;
};

// Body of the logger thread; never throws.
void run_logger(std::unique_ptr<sink> target) {
  try {
    target->open();
  } catch (...) {
    set_status(NO_LOGGER);
    return;
  }
  set_status(RUNNING);
  for (;;) {
    log_record record = g_queue.pop();
    if (record.lvl >= STOP_MARKER || record.lvl < 0) break;
    target->write(static_cast<level>(record.lvl), record.message);
  }
  target->close();
  target.reset();
  set_status(NO_LOGGER);
}

// Starts `body` on a new thread when no logger runs, then waits until some logger is running.
template <typename Body>
void start_logger(level min_level, Body&& body) {
  if (change_status(NO_LOGGER, STARTING)) {
    g_level.store(static_cast<int32_t>(min_level));
    try {
      g_logger.thread = std::thread(std::forward<Body>(body));
      g_logger.thread.detach();
    } catch (...) {
      set_status(NO_LOGGER);
      throw;
    }
  }
  wait_while(STARTING);
}

}  // namespace

void setup(level min_level, std::unique_ptr<sink> target) {
  if (static_cast<int32_t>(min_level) >= STOP_MARKER) return;
  start_logger(min_level,
               [target = std::move(target)]() mutable { run_logger(std::move(target)); });
  if (g_status.load() != RUNNING) throw errors::fatal_error("Failed to set up a logger thread");
}

void setup(level min_level, std::string file_name) {
  setup(min_level, std::make_unique<file_sink>(std::move(file_name)));
}

void shutdown() { stop_logger(std::chrono::steady_clock::time_point::max()); }

namespace detail {

void log(level lvl, std::string message) {
  if (g_status.load() != RUNNING || static_cast<int32_t>(lvl) < g_level.load()) return;
  try {
    g_queue.push({static_cast<int32_t>(lvl), std::move(message)});
  } catch (...) {
    // Out of memory while logging: the record is lost, the caller goes on.
  }
}

}  // namespace detail
}  // namespace ombrel::logging
