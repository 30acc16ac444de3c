// The writer side of a row set: the writer state, inserts and the automatic flush they start.

#include <memory>
#include <mutex>
#include <thread>

#include "memtable/mem_table_lru.h"
#include "memtable/row_set.h"
#include "native/config.h"
#include "native/errors.h"
#include "native/log.h"

namespace ombrel {

row_set::memtable_updater row_set::get_memtable_updater() {
  std::scoped_lock lock(mutex_);
  if (flush_ != flush_state::open) return {};
  return memtable_updater(shared_from_this());
}

bool row_set::acquire_writer(memtable_updater& updater) {
  if (updater.writing_) return true;
  std::unique_lock lock(mutex_);
  const auto me = std::this_thread::get_id();
  ++writers_waiting_;
  cond_.wait(lock, [&] {
    return flush_ >= flush_state::writing ||
           (readers_ == 0 && (writers_ == 0 || writer_thread_ == me));
  });
  --writers_waiting_;
  if (flush_ >= flush_state::writing) {
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
  if (updater.writing_) {
    // The writer state keeps the flush, and so the release of the mem-table, out: the next
    // row of a batch that fits the current buffer needs no lock.
    mem_table_cache_entry* held = memtable_.get();
    if (held != nullptr && !held->table.needs_buffer(size)) {
      held->touch();
      return true;
    }
  }
  mem_table_cache_entry* entry;
  // While it holds the writer state, no flush can release the mem-table; otherwise a reader
  // count pins it while buffers are fetched (which may take an eviction).
  const bool pinned = !updater.writing_;
  // The mem-table is built outside the mutex: its cache entry registers under the cache mutex.
  std::unique_ptr<mem_table_cache_entry> fresh;
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      if (flush_ >= flush_state::writing) {
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

}  // namespace ombrel
