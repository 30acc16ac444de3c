#include "native/log.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
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
  ~logger_holder() {
    stop_logger(std::chrono::steady_clock::now() + std::chrono::seconds(2));
  }
};

logger_holder g_logger;

constexpr const char* METHOD_NAMES[] = {"trace", "debug", "info", "warn", "error"};
constexpr const char* FILE_LEVEL_NAMES[] = {"TRACE", "DEBUG", "INFO", "WARNING", "ERROR"};
constexpr const char* LOGGER_SIGNATURE = "(Ljava/lang/String;[Ljava/lang/Object;)V";

// Body of the host-logger thread; never throws.
void java_logger(JavaVM* vm, jobject logger) {
  JNIEnv* env = nullptr;
  if (vm->AttachCurrentThreadAsDaemon(reinterpret_cast<void**>(&env), nullptr) != JNI_OK) {
    set_status(NO_LOGGER);
    return;
  }
  jweak weak = nullptr;
  try {
    weak = env->NewWeakGlobalRef(logger);
    jclass cls = weak ? env->GetObjectClass(weak) : nullptr;
    if (cls == nullptr) {
      throw errors::fatal_error("Failed to use an ombrel logger. It seems it was garbage collected.");
    }
    jmethodID methods[5];
    for (int i = 0; i < 5; ++i) {
      methods[i] = env->GetMethodID(cls, METHOD_NAMES[i], LOGGER_SIGNATURE);
      if (methods[i] == nullptr) {
        env->ExceptionClear();
        env->DeleteLocalRef(cls);
        throw errors::fatal_error(
            fmt::format("Failed to get method id for ombrel logger {} method", METHOD_NAMES[i]));
      }
    }
    env->DeleteLocalRef(cls);
    set_status(RUNNING);
    for (;;) {
      log_record record = g_queue.pop();
      if (record.lvl >= STOP_MARKER || record.lvl < 0) break;
      jobject target = env->NewLocalRef(weak);
      if (target == nullptr) continue;
      jstring text = env->NewStringUTF(record.message.c_str());
      if (text != nullptr) {
        env->CallVoidMethod(target, methods[record.lvl], text, nullptr);
        env->DeleteLocalRef(text);
      }
      // A host logger that throws must not leave an exception pending on this thread.
      if (env->ExceptionCheck()) env->ExceptionClear();
      env->DeleteLocalRef(target);
    }
  } catch (...) {
    if (env->ExceptionCheck()) env->ExceptionClear();
  }
  if (weak != nullptr) env->DeleteWeakGlobalRef(weak);
  vm->DetachCurrentThread();
  set_status(NO_LOGGER);
}

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

// Body of the file thread; never throws.
void file_logger(std::string file_name) {
  try {
    buffered_file out(file_name);
    set_status(RUNNING);
    for (;;) {
      log_record record = g_queue.pop();
      if (record.lvl >= STOP_MARKER || record.lvl < 0) break;
      out.append(fmt::format("[{}] {}", FILE_LEVEL_NAMES[record.lvl], record.message));
    }
  } catch (...) {
  }
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

void setup(level min_level, JNIEnv* env, jobject logger) {
  if (static_cast<int32_t>(min_level) >= STOP_MARKER) return;
  JavaVM* vm = nullptr;
  if (env->GetJavaVM(&vm) != JNI_OK || vm == nullptr) {
    throw errors::fatal_error("Failed to obtain a JavaVM interface");
  }
  jobject global = env->NewGlobalRef(logger);
  if (global == nullptr) throw errors::fatal_error("Failed to make a global logger reference");
  struct global_ref {
    JNIEnv* env;
    jobject ref;
    ~global_ref() { env->DeleteGlobalRef(ref); }
  } owner{env, global};
  start_logger(min_level, [vm, global] { java_logger(vm, global); });
  if (g_status.load() != RUNNING) throw errors::fatal_error("Failed to set up a logger thread");
}

void setup(level min_level, std::string file_name) {
  if (static_cast<int32_t>(min_level) >= STOP_MARKER) return;
  start_logger(min_level, [name = std::move(file_name)]() mutable { file_logger(std::move(name)); });
  if (g_status.load() != RUNNING) throw errors::fatal_error("Failed to set up a logger thread");
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
