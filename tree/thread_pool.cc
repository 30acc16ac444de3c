#include "tree/thread_pool.h"

#include <algorithm>

#include "memtable/mem_table_buffer_pool.h"
#include "native/config.h"
#include "segment/segment_cache.h"

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

namespace {

// Built before the pool, so destroyed after it: the pool's destructor runs the queued work
// (flushes, read-ahead) at exit, and that work uses these.
struct pool_dependencies {
  pool_dependencies() {
    config::get_config();
    segment_cache::instance();
    mem_table_buffer_pool::get_instance();
  }
};

struct async_pool : pool_dependencies {
  thread_pool pool{std::max(1u, config::get_config().thread_pool_thread_count.load())};
};

}  // namespace

thread_pool& get_async_pool() {
  static async_pool instance;
  return instance.pool;
}

}  // namespace detail
}  // namespace ombrel
