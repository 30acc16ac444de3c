#include "memtable/row_set.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "native/config.h"
#include "native/errors.h"
#include "native/log.h"

namespace ombrel {
namespace {

// Links of the global least-recently-used list of mem-tables (a ring through a sentinel).
struct cache_link {
  cache_link* prev = nullptr;
  cache_link* next = nullptr;
};

struct row_set_cache {
  std::mutex mutex;
  cache_link head{&head, &head};  // head.next is the least recently used
  uint64_t memtables = 0;         // live mem-tables, listed or not
};

row_set_cache& cache() {
  static row_set_cache instance;
  return instance;
}

// Counts a mem-table as live from before it is built until after its buffers are returned.
struct cache_member : cache_link {
  cache_member() {
    std::scoped_lock lock(cache().mutex);
    ++cache().memtables;
  }
  ~cache_member() {
    std::scoped_lock lock(cache().mutex);
    --cache().memtables;
  }
};

// REQUIRES: the cache mutex held.
void unlink(cache_link& link) {
  if (link.prev == nullptr) return;
  link.prev->next = link.next;
  link.next->prev = link.prev;
  link.prev = link.next = nullptr;
}

[[noreturn]] void throw_flush_failure(const std::exception_ptr& cause) {
  try {
    std::rethrow_exception(cause);
  } catch (...) {
    std::throw_with_nested(errors::fatal_error("memtable flush failed"));
  }
}

}  // namespace

struct row_set::mem_table_cache_entry : cache_member {
  std::shared_ptr<row_set> owner;  // keeps the row set alive while its mem-table exists
  mem_table table;

  mem_table_cache_entry(std::shared_ptr<row_set> rows, const schema_descriptor& schema,
                        mem_table_buffer_pool& pool)
      : owner(std::move(rows)), table(schema, pool) {}

  ~mem_table_cache_entry() {
    std::scoped_lock lock(cache().mutex);
    unlink(*this);
  }

  // Moves the entry to the most recently used end. Only one call in TOUCH_INTERVAL takes the
  // global mutex: writers of different trees would otherwise contend on every row, and the
  // order only needs to be roughly right. An unlinked entry is relinked at its next call.
  void touch() {
    // Never below 0: an eviction may reset the count to 0 at any moment, and a decrement past
    // it would wrap around and keep the unlinked entry off the list for good.
    uint32_t left = touch_countdown.load(std::memory_order_relaxed);
    while (left > 0) {
      if (touch_countdown.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) return;
    }
    row_set_cache& c = cache();
    std::scoped_lock lock(c.mutex);
    unlink(*this);
    prev = c.head.prev;
    next = &c.head;
    c.head.prev->next = this;
    c.head.prev = this;
    touch_countdown.store(TOUCH_INTERVAL, std::memory_order_relaxed);
  }

  static constexpr uint32_t TOUCH_INTERVAL = 64;
  std::atomic<uint32_t> touch_countdown{0};
};

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

// ---- Writer side ----

row_set::memtable_updater row_set::get_memtable_updater() {
  std::scoped_lock lock(mutex_);
  if (flush_started_ || flush_finished_) return {};
  return memtable_updater(shared_from_this());
}

bool row_set::acquire_writer(memtable_updater& updater) {
  if (updater.writing_) return true;
  std::unique_lock lock(mutex_);
  const auto me = std::this_thread::get_id();
  ++writers_waiting_;
  cond_.wait(lock, [&] {
    return flush_finished_ || flush_reading_ ||
           (readers_ == 0 && (writers_ == 0 || writer_thread_ == me));
  });
  --writers_waiting_;
  if (flush_finished_ || flush_reading_) {
    cond_.notify_all();  // readers queued behind this writer may go on
    return false;
  }
  ++writers_;
  writer_thread_ = me;
  updater.writing_ = true;
  return true;
}

void row_set::release_writer(memtable_updater& updater) {
  if (!updater.writing_) return;
  updater.writing_ = false;
  std::scoped_lock lock(mutex_);
  if (--writers_ == 0) writer_thread_ = {};
  cond_.notify_all();
}

bool row_set::ensure_tuple_size(memtable_updater& updater, size_t size) {
  mem_table_cache_entry* entry;
  // While it holds the writer state, no flush can release the mem-table; otherwise a reader
  // count pins it while buffers are fetched (which may take an eviction).
  const bool pinned = !updater.writing_;
  // The mem-table is built outside the mutex: its cache entry registers under the cache mutex.
  std::unique_ptr<mem_table_cache_entry> fresh;
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      if (flush_finished_ || flush_reading_) {
        lock.unlock();
        release_writer(updater);
        return false;
      }
      if (!memtable_ && fresh) memtable_ = std::move(fresh);
      if (memtable_) {
        entry = memtable_.get();
        if (pinned && !entry->table.needs_buffer(size) && readers_ == 0 && writers_ == 0 &&
            writers_waiting_ == 0) {
          // The common case: room in the current buffer and nobody to wait for.
          ++writers_;
          writer_thread_ = std::this_thread::get_id();
          updater.writing_ = true;
          lock.unlock();
          entry->touch();
          return true;
        }
        if (pinned) ++readers_;
        break;
      }
    }
    fresh = std::make_unique<mem_table_cache_entry>(shared_from_this(), owner_.schema(), pool_);
  }
  // A writer that holds the writer state while it waits for memory must not be waited for
  // by an eviction (evict() skips it), or two such writers could wait for each other.
  auto fetching = [&](bool on) {
    if (pinned) return;
    std::scoped_lock lock(mutex_);
    writer_fetching_ = on;
  };
  bool room;
  try {
    entry->touch();
    if (entry->table.needs_buffer(size)) {
      fetching(true);
      room = entry->table.ensure(size, *this);
      fetching(false);
    } else {
      room = true;
    }
  } catch (...) {
    fetching(false);
    if (pinned) leave_read();
    release_writer(updater);
    throw;
  }
  if (pinned) leave_read();
  if (!room) {
    // The batch cannot go on here; its caller flushes or moves on, and must not keep readers
    // (or a flush that waits for this writer) out meanwhile.
    release_writer(updater);
    return false;
  }
  return acquire_writer(updater);
}

void row_set::insert(memtable_updater& updater, const parsed_tuple& row, tx_timestamp timestamp,
                     uuid txid) {
  // The writer state keeps readers and the flush out, so memtable_ is stable here.
  if (!acquire_writer(updater) || !memtable_) {
    throw errors::fatal_error("logic error: not enough space in a mem-table buffer");
  }
  mem_table& table = memtable_->table;
  table.insert(row, timestamp);
  last_timestamp_ = timestamp;
  last_txid_ = txid;
  const uint64_t count = table.entry_count();
  entries_.store(count, std::memory_order_release);
  if (count >= config::get_config().memtable_max_entries.load(std::memory_order_relaxed)) {
    maybe_start_flush(count);
  }
}

void row_set::maybe_start_flush(uint64_t entry_count) {
  {
    std::scoped_lock lock(mutex_);
    if (flush_started_ || flush_finished_ || entry_count < auto_flush_from_) return;
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
  if (flush_started_ || flush_finished_) return false;
  flush_started_ = true;
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
    if (flush_finished_) return;
    flush_reading_ = true;
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
  flush_finished_ = true;
  flush_reading_ = false;
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
  if (reading) {
    --readers_;
    flush_reading_ = false;
  }
  flush_started_ = false;
  flush_error_ = std::move(cause);
  ++flush_attempts_;
  // Inserts retry the flush after another eighth of the entry limit, not on every row.
  const uint64_t limit = config::get_config().memtable_max_entries.load(std::memory_order_relaxed);
  auto_flush_from_ = entries_.load(std::memory_order_acquire) + std::max<uint64_t>(1, limit / 8);
  cond_.notify_all();
}

void row_set::wait_flush() {
  std::unique_lock lock(mutex_);
  if (flush_finished_) return;
  if (!flush_started_) {
    if (flush_error_) throw_flush_failure(flush_error_);
    return;
  }
  const uint64_t attempt = flush_attempts_;
  cond_.wait(lock, [&] { return flush_finished_ || flush_attempts_ != attempt; });
  if (!flush_finished_) throw_flush_failure(flush_error_);
}

void row_set::discard() {
  const auto self = shared_from_this();
  std::unique_lock lock(mutex_);
  const auto me = std::this_thread::get_id();
  cond_.wait(lock, [&] { return !flush_reading_ && (writers_ == 0 || writer_thread_ == me); });
  if (flush_finished_) return;
  flush_started_ = true;
  flush_finished_ = true;
  fallback_ = nullptr;
  ++flush_attempts_;
  cond_.notify_all();
  release_memtable(lock);
}

// ---- Eviction ----

bool row_set::evict(row_set* requester) {
  row_set_cache& c = cache();
  std::shared_ptr<row_set> victim;
  {
    std::scoped_lock lock(c.mutex);
    if (c.head.next == &c.head) {
      // Mem-tables off the list (being flushed, or skipped as requesters) still free their
      // memory soon: the request fails softly, as if only its own mem-table were left.
      if (c.memtables > 0) return false;
      throw errors::fatal_error("Failed to find any mem-tables to evict");
    }
    auto* entry = static_cast<mem_table_cache_entry*>(c.head.next);
    unlink(*entry);
    entry->touch_countdown.store(0, std::memory_order_relaxed);
    victim = entry->owner;
    victim->owner_.eviction_started();
  }
  // The owner (a tree that may be closing on another thread) waits for this before it goes.
  struct eviction_scope {
    owner& tree;
    ~eviction_scope() { tree.eviction_finished(); }
  } scope{victim->owner_};
  // A row set never evicts itself; it is linked again by its next ensure_tuple_size.
  if (victim.get() == requester) return false;
  // Puts the victim back at the most recently used end while it still holds its mem-table.
  auto relink = [&victim](std::unique_lock<std::mutex>& lock) {
    mem_table_cache_entry* entry = victim->memtable_.get();
    if (entry == nullptr || victim->flush_finished_) return;
    ++victim->readers_;  // pins the entry while the cache mutex is taken
    lock.unlock();
    entry->touch();  // unlinked, its countdown is 0: this links it
    victim->leave_read();
  };
  {
    // Its writer waits for memory itself while the flush would wait for that writer. It stays
    // evictable.
    std::unique_lock lock(victim->mutex_);
    if (victim->writers_ > 0 && victim->writer_fetching_ &&
        victim->writer_thread_ != std::this_thread::get_id()) {
      relink(lock);
      return false;
    }
  }
  try {
    victim->owner_.evict_memtable(victim);
  } catch (...) {
    // Its rows are still in memory: it must stay evictable for a later attempt.
    std::unique_lock lock(victim->mutex_);
    relink(lock);
    std::throw_with_nested(errors::fatal_error("memtable flush failed"));
  }
  return true;
}

size_t row_set::cached_memtables() {
  row_set_cache& c = cache();
  std::scoped_lock lock(c.mutex);
  size_t n = 0;
  for (auto* l = c.head.next; l != &c.head; l = l->next) ++n;
  return n;
}

// ---- Reader side ----

row_set::read_state row_set::enter_read() {
  std::unique_lock lock(mutex_);
  const auto me = std::this_thread::get_id();
  cond_.wait(lock, [&] {
    return flush_finished_ || (writers_ == 0 ? writers_waiting_ == 0 : writer_thread_ == me);
  });
  read_state state;
  if (flush_finished_) {
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
  if (flush_finished_) release_memtable(lock);
}

namespace {

// The value of one material slot as handed to callers: fixed-size values in material form,
// length-prefixed ones as their payload.
std::optional<bytes_view> value_of(const material_tuple_schema& schema, const material_tuple& row,
                                   uint32_t slot) {
  const std::byte* p = row[slot];
  if (p == nullptr) return std::nullopt;
  const uint32_t size = schema[slot].size;
  if (size != 0) return bytes_view(size, p);
  uint32_t length;
  std::memcpy(&length, p, sizeof(length));
  return bytes_view(length, p + sizeof(length));
}

}  // namespace

void row_set::read_values(const material_tuple_schema& schema, const material_tuple& row,
                          const picked_columns& picker, row_values& out) {
  out.resize(picker.slots.size());
  for (size_t i = 0; i < picker.slots.size(); ++i) out[i] = value_of(schema, row, picker.slots[i]);
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
  return flush_finished_ && !fallback_;
}

bool row_set::is_flush_started() const {
  std::scoped_lock lock(mutex_);
  return flush_started_;
}

bool row_set::is_flushed() const {
  std::scoped_lock lock(mutex_);
  return flush_finished_;
}

std::exception_ptr row_set::flush_error() const {
  std::scoped_lock lock(mutex_);
  return flush_error_;
}

std::shared_ptr<row_set::flushed_rows> row_set::fallback() const {
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

row_set::memtable_updater::memtable_updater(memtable_updater&& other) noexcept
    : rows_(std::move(other.rows_)), writing_(std::exchange(other.writing_, false)) {}

row_set::memtable_updater& row_set::memtable_updater::operator=(memtable_updater&& other) noexcept {
  if (this != &other) {
    reset();
    rows_ = std::move(other.rows_);
    writing_ = std::exchange(other.writing_, false);
  }
  return *this;
}

row_set::memtable_updater::~memtable_updater() { reset(); }

void row_set::memtable_updater::reset() {
  if (rows_) rows_->release_writer(*this);
  rows_.reset();
}

bool row_set::memtable_updater::ensure_tuple_size(size_t size) {
  return rows_->ensure_tuple_size(*this, size);
}

void row_set::memtable_updater::insert(const parsed_tuple& row, tx_timestamp timestamp, uuid txid) {
  rows_->insert(*this, row, timestamp, txid);
}

void row_set::memtable_updater::flush(tree_block& block) {
  rows_->release_writer(*this);
  if (rows_->start_flush()) {
    rows_->finish_flush(block);
  } else {
    rows_->wait_flush();
  }
}

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
