#include "tree/thread_pool.h"

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
  static thread_pool pool(config::get_config().thread_pool_thread_count);
  return pool;
}

}  // namespace detail
}  // namespace ombrel
