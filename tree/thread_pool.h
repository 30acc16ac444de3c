#pragma once
// The process-wide pool of worker threads for asynchronous work (mem-table flushes, read-ahead).
// Built on first use with THREAD_POOL_THREAD_COUNT threads; lives until process exit, when the
// queued work is finished and the workers are joined. Thread-safe.

#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

namespace ombrel {

class thread_pool {
 public:
  explicit thread_pool(unsigned threads);
  ~thread_pool();
  thread_pool(const thread_pool&) = delete;
  thread_pool& operator=(const thread_pool&) = delete;

  // Queues `task`; its result or exception arrives through the future.
  template <typename T>
  std::future<T> submit(std::packaged_task<T()>&& task) {
    std::future<T> result = task.get_future();
    push(std::make_unique<work<T>>(std::move(task)));
    return result;
  }

  size_t size() const { return threads_.size(); }

 private:
  struct work_itf {
    virtual void operator()() = 0;
    virtual ~work_itf() = default;
  };

  template <typename T>
  struct work : work_itf {
    explicit work(std::packaged_task<T()>&& t) : task(std::move(t)) {}
    void operator()() override { task(); }
    std::packaged_task<T()> task;
  };

  void push(std::unique_ptr<work_itf> item);
  void do_work();

  bool stop_ = false;
  std::mutex mutex_;
  std::condition_variable condition_;
  std::queue<std::unique_ptr<work_itf>> queue_;
  std::vector<std::thread> threads_;
};

namespace detail {
// The process-wide pool.
thread_pool& get_async_pool();
}  // namespace detail

}  // namespace ombrel
