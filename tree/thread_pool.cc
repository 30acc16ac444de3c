#include "tree/thread_pool.h"

#include <algorithm>

#include "native/config.h"

namespace ombrel {

thread_pool::thread_pool(unsigned threads) {
  threads_.reserve(threads);
  for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { do_work(); });
}

thread_pool::~thread_pool() {
  {
    std::scoped_lock lock(mutex_);
    stop_ = true;
  }
  condition_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void thread_pool::push(std::unique_ptr<work_itf> item) {
  {
    std::scoped_lock lock(mutex_);
    queue_.push(std::move(item));
  }
  condition_.notify_one();
}

void thread_pool::do_work() {
  for (;;) {
    std::unique_ptr<work_itf> item;
    {
      std::unique_lock lock(mutex_);
      condition_.wait(lock, [this] { return stop_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping, and nothing is left to do
      item = std::move(queue_.front());
      queue_.pop();
    }
    (*item)();
  }
}

namespace detail {

thread_pool& get_async_pool() {
  // Never destroyed: at process exit a worker may still be flushing, and joining it from a
  // static destructor could hang the host's exit or run it against destroyed singletons.
  static thread_pool& pool =
      *new thread_pool(std::max(1u, config::get_config().thread_pool_thread_count.load()));
  return pool;
}

}  // namespace detail
}  // namespace ombrel
