#include "memtable/row_set.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "memtable/mem_table_lru.h"
#include "native/config.h"
#include "native/errors.h"
#include "native/log.h"

namespace ombrel {
namespace {

[[noreturn]] void throw_flush_failure(const std::exception_ptr& cause) {
  try {
    std::rethrow_exception(cause);
  } catch (...) {
    std::throw_with_nested(errors::fatal_error("memtable flush failed"));
  }
}

}  // namespace

// A flush handed to the owner's executor; reports a task that is dropped without running.
struct row_set::pending_flush {
  std::shared_ptr<row_set> rows;
  std::unique_ptr<tree_block> block;
  bool ran = false;

  ~pending_flush() {
    if (ran) return;
    try {
      throw errors::fatal_error("mem-table flush task was dropped without running");
    } catch (...) {
      rows->end_failed_flush(std::current_exception(), false);
    }
  }
};

row_set::row_set(owner& tree, mem_table_buffer_pool& pool) : owner_(tree), pool_(pool) {}

row_set::~row_set() = default;

mem_table_buffer* row_set::create_buffer(size_t size) { return pool_.get_buffer(this, size); }

void row_set::maybe_start_flush(uint64_t entry_count) {
  {
    std::scoped_lock lock(mutex_);
    if (flush_ != flush_state::open || entry_count < auto_flush_from_) return;
  }
  std::unique_ptr<tree_block> block = owner_.block_tree();
  if (!block) return;  // the tree is busy; a later insert tries again
  if (!start_flush()) return;
  auto task = std::make_shared<pending_flush>();
  task->rows = shared_from_this();
  task->block = std::move(block);
  try {
    owner_.submit([task] {
      task->ran = true;
      task->rows->run_async_flush(*task->block);
    });
  } catch (...) {
    // The row is in; only the flush could not be handed over. pending_flush reports it.
    logging::detail::log(logging::level::error, "Failed to start a mem-table flush: {}",
                         errors::describe(std::current_exception()));
  }
}

bool row_set::start_flush() {
  std::scoped_lock lock(mutex_);
  if (flush_ != flush_state::open) return false;
  set_flush(flush_state::requested);
  return true;
}

void row_set::run_async_flush(tree_block& block) {
  try {
    finish_flush(block);
  } catch (...) {
    // Nobody reads the task's result: the failure is reported here and kept for wait_flush.
    logging::detail::log(logging::level::error, "Asynchronous mem-table flush failed: {}",
                         errors::describe(std::current_exception()));
  }
}

void row_set::finish_flush(tree_block& block) {
  const auto self = shared_from_this();
  const mem_table* table;
  {
    std::unique_lock lock(mutex_);
    const auto me = std::this_thread::get_id();
    // A batch in progress on another thread is finished first.
    cond_.wait(lock, [&] { return writers_ == 0 || writer_thread_ == me; });
    if (flush_ == flush_state::flushed) return;
    set_flush(flush_state::writing);
    ++readers_;
    table = memtable_ ? &memtable_->table : nullptr;
    cond_.notify_all();  // waiting writers give up: no more rows go in
  }
  std::shared_ptr<flushed_rows> written;
  try {
    if (table != nullptr && table->entry_count() > 0)
      written = owner_.write_memtable(block, *this, *table);
  } catch (...) {
    end_failed_flush(std::current_exception(), true);
    throw;
  }
  std::unique_lock lock(mutex_);
  --readers_;
  fallback_ = std::move(written);
  set_flush(flush_state::flushed);
  flush_error_ = nullptr;
  ++flush_attempts_;
  cond_.notify_all();
  release_memtable(lock);
}

void row_set::release_memtable(std::unique_lock<std::mutex>& lock) {
  // With readers left, the last of them releases it (leave_read): waiting here could close a
  // cycle with a writer that pins this mem-table while evicting another.
  if (readers_ != 0) return;
  std::unique_ptr<mem_table_cache_entry> released = std::move(memtable_);
  lock.unlock();
  // Outside the mutex: unlinking takes the cache mutex, the buffers go back to the pool.
  released.reset();
}

void row_set::end_failed_flush(std::exception_ptr cause, bool reading) {
  std::scoped_lock lock(mutex_);
  if (reading) --readers_;
  set_flush(flush_state::open);
  flush_error_ = std::move(cause);
  ++flush_attempts_;
  // Inserts retry the flush after another eighth of the entry limit, not on every row.
  const uint64_t limit = config::get_config().memtable_max_entries.load(std::memory_order_relaxed);
  auto_flush_from_ = entries_.load(std::memory_order_acquire) + std::max<uint64_t>(1, limit / 8);
  cond_.notify_all();
}

void row_set::wait_flush() {
  std::unique_lock lock(mutex_);
  if (flush_ == flush_state::flushed) return;
  if (flush_ == flush_state::open) {
    if (flush_error_) throw_flush_failure(flush_error_);
    return;
  }
  const uint64_t attempt = flush_attempts_;
  cond_.wait(lock, [&] { return flush_ == flush_state::flushed || flush_attempts_ != attempt; });
  if (flush_ != flush_state::flushed) throw_flush_failure(flush_error_);
}

void row_set::discard() {
  const auto self = shared_from_this();
  std::unique_lock lock(mutex_);
  const auto me = std::this_thread::get_id();
  cond_.wait(lock, [&] {
    return flush_ != flush_state::writing && (writers_ == 0 || writer_thread_ == me);
  });
  if (flush_ == flush_state::flushed) return;
  set_flush(flush_state::flushed);
  fallback_ = nullptr;
  ++flush_attempts_;
  cond_.notify_all();
  release_memtable(lock);
}

// ---- Reader side ----

row_set::read_state row_set::enter_read() {
  std::unique_lock lock(mutex_);
  const auto me = std::this_thread::get_id();
  cond_.wait(lock, [&] {
    return flush_ == flush_state::flushed ||
           (writers_ == 0 ? writers_waiting_ == 0 : writer_thread_ == me);
  });
  read_state state;
  if (flush_ == flush_state::flushed) {
    state.flushed = true;
    state.fallback = fallback_;
  } else if (memtable_) {
    state.table = &memtable_->table;
    ++readers_;
  }
  return state;
}

void row_set::leave_read() {
  std::unique_lock lock(mutex_);
  if (--readers_ != 0) return;
  cond_.notify_all();
  if (flush_ == flush_state::flushed) release_memtable(lock);
}

std::optional<bytes_view> row_set::slot_value(const material_tuple_schema& schema,
                                              const material_tuple& row, uint32_t slot) {
  const std::byte* p = row[slot];
  if (p == nullptr) return std::nullopt;
  const uint32_t size = schema[slot].size;
  if (size != 0) return bytes_view(size, p);
  uint32_t length;
  std::memcpy(&length, p, sizeof(length));
  return bytes_view(length, p + sizeof(length));
}

void row_set::read_values(const material_tuple_schema& schema, const material_tuple& row,
                          const picked_columns& picker, row_values& out) {
  out.resize(picker.slots.size());
  for (size_t i = 0; i < picker.slots.size(); ++i)
    out[i] = slot_value(schema, row, picker.slots[i]);
}

search_result row_set::search(tx_timestamp timestamp, const material_tuple& key,
                              const picked_columns& picker) {
  read_guard guard(*this);
  const read_state& state = guard.state();
  if (state.flushed) {
    if (!state.fallback) return std::monostate{};
    return state.fallback->search(timestamp, key, picker);
  }
  if (state.table == nullptr) return std::monostate{};
  if (key.size() < state.table->material_schema().key_count) {
    throw errors::fatal_error("logic error: search key has too few columns");
  }
  const auto found = state.table->index().search(timestamp, key);
  if (!found) return std::monostate{};
  if (found->tombstone) return tombstone_t{};
  thread_local row_values values;
  read_values(state.table->material_schema(), found->tuple, picker, values);
  return flat_tuple::copy(values);
}

// ---- State queries ----

bool row_set::is_empty() const {
  if (entries_.load(std::memory_order_acquire) == 0) return true;
  std::scoped_lock lock(mutex_);
  return flush_ == flush_state::flushed && !fallback_;
}

bool row_set::is_flush_started() const { return flush_started_.load(std::memory_order_acquire); }

void row_set::set_flush(flush_state state) {
  flush_ = state;
  flush_started_.store(state != flush_state::open, std::memory_order_release);
}

bool row_set::is_flushed() const {
  std::scoped_lock lock(mutex_);
  return flush_ == flush_state::flushed;
}

std::exception_ptr row_set::flush_error() const {
  std::scoped_lock lock(mutex_);
  return flush_error_;
}

std::shared_ptr<flushed_rows> row_set::fallback() const {
  std::scoped_lock lock(mutex_);
  return fallback_;
}

tx_timestamp row_set::last_timestamp() const {
  std::scoped_lock lock(mutex_);
  return last_timestamp_;
}

uuid row_set::last_txid() const {
  std::scoped_lock lock(mutex_);
  return last_txid_;
}

// ---- Handles ----

row_set::read_lock& row_set::read_lock::operator=(read_lock&& other) noexcept {
  if (this != &other) {
    release();
    rows_ = std::exchange(other.rows_, nullptr);
  }
  return *this;
}

void row_set::read_lock::release() {
  if (rows_ != nullptr) std::exchange(rows_, nullptr)->leave_read();
}

}  // namespace ombrel
