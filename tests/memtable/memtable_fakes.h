#pragma once
// Test helpers for the mem-table layer: small schemas and row encoding, and fakes of what the
// merge tree and segments provide to a row set (owner, flushed rows, cursors).

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "memtable/mem_table.h"
#include "memtable/row_set.h"
#include "model/schema_descriptor.h"
#include "model/search_result.h"
#include "model/tuple.h"
#include "native/config.h"
#include "native/errors.h"
#include "tests/support/schemas.h"
#include "tests/support/testing.h"
#include "tests/support/tuples.h"

namespace ombrel::testing {

using cell = std::optional<std::variant<int64_t, std::string>>;

// (k INT64 key, v INT64, s STRING nullable)
inline schema_descriptor int_key_schema() {
  return make_schema({column("k", INT64), column("v", INT64), column("s", STRING, true)},
                     {0, NO_COLUMN, NO_COLUMN});
}

// (v INT64, name STRING key 0, n INT32 key 1): keys compared in place, not inline.
inline schema_descriptor composite_key_schema() {
  return make_schema({column("v", INT64), column("name", STRING), column("n", INT32)},
                     {NO_COLUMN, 0, 1});
}

// A binary tuple, kept alive together with its parse.
struct parsed_row {
  std::vector<std::byte> bytes;
  std::optional<parsed_tuple> parsed;
};

// A schema with the layouts a tree caches, and the encoding of test rows and keys.
struct test_table {
  schema_descriptor schema;
  tuple_schema row_tuple;
  tuple_schema key_tuple;
  material_tuple_schema row_material;
  material_tuple_schema key_material;

  explicit test_table(schema_descriptor s)
      : schema(std::move(s)),
        row_tuple(schema.get_tuple_schema()),
        key_tuple(schema.get_key_tuple_schema()),
        row_material(schema.get_material_schema()),
        key_material(schema.get_material_key_schema()) {}

  // Values in declaration order (a row) or in key order (a key).
  static std::vector<std::byte> encode(const tuple_schema& types, const std::vector<cell>& cells) {
    std::vector<ombrel_type> kinds;
    std::vector<material_value> values;
    for (size_t i = 0; i < cells.size(); ++i) {
      kinds.push_back(types[i].type);
      if (!cells[i]) {
        values.emplace_back();
      } else if (types[i].size == 0) {
        values.push_back(material(std::get<std::string>(*cells[i])));
      } else {
        values.push_back(material(std::get<int64_t>(*cells[i])));
        values.back()->resize(types[i].size);  // little-endian: the low bytes
      }
    }
    return encode_tuple(kinds, values);
  }

  std::unique_ptr<parsed_row> row(const std::vector<cell>& cells) const {
    auto r = std::make_unique<parsed_row>();
    r->bytes = encode(row_tuple, cells);
    r->parsed.emplace(row_tuple, row_material, bytes_view(r->bytes.size(), r->bytes.data()), false);
    return r;
  }
  // A removal: the key alone, parsed against the key layouts.
  std::unique_ptr<parsed_row> removal(const std::vector<cell>& key_cells) const {
    auto r = std::make_unique<parsed_row>();
    r->bytes = encode(key_tuple, key_cells);
    r->parsed.emplace(key_tuple, key_material, bytes_view(r->bytes.size(), r->bytes.data()), true);
    return r;
  }
  owned_material_tuple key(const std::vector<cell>& key_cells) const {
    const auto bytes = encode(key_tuple, key_cells);
    parsed_tuple p(key_tuple, key_material, bytes_view(bytes.size(), bytes.data()), true);
    return owned_material_tuple(p);
  }
};

inline int64_t int_of(const std::optional<bytes_view>& v) {
  int64_t x = 0;
  std::memcpy(&x, v->data, sizeof(x));
  return x;
}

inline std::string string_of(const std::optional<bytes_view>& v) {
  return std::string(v->as_string());
}

// Sets MEMTABLE_MAX_ENTRIES for one test.
struct max_entries_scope : config_scope<uint64_t> {
  explicit max_entries_scope(uint64_t n)
      : config_scope(config::get_config().memtable_max_entries, n) {}
};

// The rows of a mem-table copied out in its order, standing in for a segment.
class fake_flushed_rows : public flushed_rows {
 public:
  struct stored_row {
    tx_timestamp timestamp;
    bool tombstone;
    std::vector<std::optional<std::vector<std::byte>>> slots;  // material form per slot
    std::vector<const std::byte*> pointers;
  };

  explicit fake_flushed_rows(const mem_table& table) : schema_(table.material_schema()) {
    table.for_each([&](const versioned_row& e) {
      stored_row r{e.timestamp, e.tombstone, {}, {}};
      for (uint32_t s = 0; s < e.tuple.size(); ++s) {
        const std::byte* p = e.tuple[s];
        if (p == nullptr) {
          r.slots.emplace_back();
          continue;
        }
        size_t n = schema_[s].size;
        if (n == 0) {
          uint32_t length;
          std::memcpy(&length, p, 4);
          n = 4 + length;
        }
        r.slots.emplace_back(std::vector<std::byte>(p, p + n));
      }
      rows_.push_back(std::move(r));
    });
    for (auto& r : rows_) {
      for (auto& s : r.slots) r.pointers.push_back(s ? s->data() : nullptr);
    }
  }

  const std::vector<stored_row>& rows() const { return rows_; }

  std::optional<bytes_view> value(const stored_row& r, uint32_t slot) const {
    if (!r.slots[slot]) return std::nullopt;
    const auto& b = *r.slots[slot];
    if (schema_[slot].size != 0) return bytes_view(b.size(), b.data());
    return bytes_view(b.size() - 4, b.data() + 4);
  }

  int compare_key(const stored_row& r, const material_tuple& key) const {
    for (uint32_t s = 0; s < schema_.key_count; ++s) {
      if (int c = compare_value(schema_[s], r.pointers[s], key[s])) return c;
    }
    return 0;
  }

  // First row of `key` at or below `timestamp`; rows_.size() when none, with `seen` telling
  // whether the key occurs at all.
  size_t find(tx_timestamp timestamp, const material_tuple& key, bool& seen) const {
    seen = false;
    for (size_t i = 0; i < rows_.size(); ++i) {
      if (compare_key(rows_[i], key) != 0) continue;
      seen = true;
      if (rows_[i].timestamp <= timestamp) return i;
    }
    return rows_.size();
  }

  search_result search(tx_timestamp timestamp, const material_tuple& key,
                       const picked_columns& picker) const override {
    ++searches;
    bool seen;
    const size_t i = find(timestamp, key, seen);
    if (i == rows_.size()) return seen ? search_result(upcoming_t{}) : std::monostate{};
    if (rows_[i].tombstone) return tombstone_t{};
    row_values values;
    for (uint32_t slot : picker.slots) values.push_back(value(rows_[i], slot));
    return flat_tuple::copy(values);
  }

  class cursor : public row_cursor {
   public:
    cursor(const fake_flushed_rows& rows, size_t i) : rows_(rows), i_(i) {}
    bool next() override { return ++i_ < rows_.rows_.size(); }
    tx_timestamp timestamp() const override { return rows_.rows_[i_].timestamp; }
    bool is_tombstone() const override { return rows_.rows_[i_].tombstone; }
    void read_key(row_values& out) const override {
      out.clear();
      for (uint32_t s = 0; s < rows_.schema_.key_count; ++s) {
        out.push_back(rows_.value(rows_.rows_[i_], s));
      }
    }
    void read(const picked_columns& picker, row_values& out) override {
      out.clear();
      for (uint32_t slot : picker.slots) out.push_back(rows_.value(rows_.rows_[i_], slot));
    }

   private:
    const fake_flushed_rows& rows_;
    size_t i_;
  };

  std::unique_ptr<row_cursor> first() const override {
    if (rows_.empty()) return nullptr;
    return std::make_unique<cursor>(*this, 0);
  }
  std::unique_ptr<row_cursor> position(tx_timestamp timestamp, const material_tuple& key,
                                       const picked_columns&) const override {
    bool seen;
    const size_t i = find(timestamp, key, seen);
    if (i == rows_.size()) return nullptr;
    return std::make_unique<cursor>(*this, i);
  }

  mutable std::atomic<int> searches{0};

 private:
  material_tuple_schema schema_;
  std::vector<stored_row> rows_;
};

// A merge tree stand-in: hands out row sets, writes mem-tables to fake_flushed_rows, and runs
// asynchronous flushes inline, on threads, or when the test says so.
class fake_tree : public row_set::owner {
 public:
  enum class executor { inline_run, thread, manual, drop };

  fake_tree(schema_descriptor schema, mem_table_buffer_pool& pool,
            executor mode = executor::inline_run)
      : table_(std::move(schema)), pool_(pool), mode_(mode) {}

  ~fake_tree() override {
    for (auto& t : threads_) t.join();
    // Any mem-table left would keep its row set alive and stay in the global list.
    for (auto& rows : sets_) rows->discard();
  }

  const test_table& table() const { return table_; }

  std::shared_ptr<row_set> new_row_set() {
    sets_.push_back(std::make_shared<row_set>(*this, pool_));
    return sets_.back();
  }

  // Inserts one row through a fresh updater, as an upsert does.
  void upsert(const std::shared_ptr<row_set>& rows, const std::vector<cell>& cells,
              tx_timestamp ts) {
    auto r = table_.row(cells);
    auto u = rows->get_memtable_updater();
    ASSERT_TRUE(u);
    ASSERT_TRUE(u.ensure_tuple_size(r->parsed->material_size()));
    u.insert(*r->parsed, ts, uuid{ts, -ts});
  }

  class block : public row_set::tree_block {
   public:
    explicit block(fake_tree& tree) : tree_(tree) {}
    ~block() override {
      // Notified under the mutex: a waiter that wakes and destroys the tree cannot leave this
      // call touching a destroyed condition variable.
      std::scoped_lock lock(tree_.mutex_);
      tree_.blocked_ = false;
      tree_.unblocked_.notify_all();
    }

   private:
    fake_tree& tree_;
  };

  // Waits a minute at most: a block never given back fails the test instead of hanging it.
  std::unique_ptr<block> block_tree_wait() {
    std::unique_lock lock(mutex_);
    if (!unblocked_.wait_for(lock, std::chrono::minutes(1), [&] { return !blocked_; })) {
      ADD_FAILURE() << "the fake tree stayed blocked for a minute";
      throw errors::fatal_error("fake tree blocked for good");
    }
    blocked_ = true;
    return std::make_unique<block>(*this);
  }

  // Runs the flushes queued in manual mode.
  void run_pending() {
    std::vector<std::function<void()>> tasks;
    {
      std::scoped_lock lock(mutex_);
      tasks.swap(pending_);
    }
    for (auto& t : tasks) t();
  }
  void join() {
    for (auto& t : threads_) t.join();
    threads_.clear();
  }

  const schema_descriptor& schema() const override { return table_.schema; }
  const material_tuple_schema& row_material_schema() const override { return table_.row_material; }
  const material_tuple_schema& key_material_schema() const override { return table_.key_material; }

  std::unique_ptr<row_set::tree_block> block_tree() override {
    std::scoped_lock lock(mutex_);
    if (blocked_) return nullptr;
    blocked_ = true;
    return std::make_unique<block>(*this);
  }

  std::shared_ptr<flushed_rows> write_memtable(row_set::tree_block&, const row_set&,
                                               const mem_table& table) override {
    if (fail_writes > 0) {
      --fail_writes;
      throw errors::error("disk full");
    }
    ++writes;
    auto written = std::make_shared<fake_flushed_rows>(table);
    last_written = written;
    return written;
  }

  void evict_memtable(std::shared_ptr<row_set> rows) override {
    ++evictions;
    if (fail_evictions) throw errors::error("cannot write segment");
    auto b = block_tree_wait();
    auto u = rows->get_memtable_updater();
    if (u) u.flush(*b);
  }

  void eviction_started() override {}
  void eviction_finished() override {}

  void submit(std::function<void()> task) override {
    switch (mode_) {
      case executor::inline_run:
        task();
        return;
      case executor::thread:
        threads_.emplace_back(std::move(task));
        return;
      case executor::manual: {
        std::scoped_lock lock(mutex_);
        pending_.push_back(std::move(task));
        return;
      }
      case executor::drop:
        return;
    }
  }

  std::atomic<int> fail_writes{0};
  std::atomic<bool> fail_evictions{false};
  std::atomic<int> writes{0};
  std::atomic<int> evictions{0};
  std::shared_ptr<fake_flushed_rows> last_written;

 private:
  test_table table_;
  mem_table_buffer_pool& pool_;
  executor mode_;
  std::vector<std::shared_ptr<row_set>> sets_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable unblocked_;
  bool blocked_ = false;
  std::vector<std::function<void()>> pending_;
};

}  // namespace ombrel::testing
