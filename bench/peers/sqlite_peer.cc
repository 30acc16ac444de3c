// The workload's phases on SQLite through its C API: a WITHOUT ROWID table, journal off and
// synchronous off, a 1 GiB page cache, prepared statements, one transaction per batch. One
// database file (and connection) per partition; c4 is one INTEGER of nanoseconds since the epoch.
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/peers/peers.h"

namespace {

using namespace ombrel::bench;

struct statement_closer {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using statement = std::unique_ptr<sqlite3_stmt, statement_closer>;

// One database file with its connection and prepared statements; used by one thread at a time.
class database {
 public:
  explicit database(std::filesystem::path path) : path_(std::move(path)) { open(); }
  ~database() { close(); }

  void exec(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
      const std::string text = message != nullptr ? message : sqlite3_errmsg(db_);
      sqlite3_free(message);
      throw std::runtime_error(std::string(sql) + ": " + text);
    }
  }
  statement prepare(const char* sql) {
    sqlite3_stmt* s = nullptr;
    check(sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr), sql);
    return statement(s);
  }
  void check(int rc, const char* what) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
      throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db_));
    }
  }
  void step_done(sqlite3_stmt* s, const char* what) {
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    if (rc != SQLITE_DONE) throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db_));
  }

  void write(std::span<const workload_row* const> rows) {
    step_done(begin_.get(), "begin");
    sqlite3_stmt* s = insert_.get();
    for (const workload_row* r : rows) {
      sqlite3_bind_int64(s, 1, r->k);
      sqlite3_bind_int(s, 2, r->c1);
      sqlite3_bind_double(s, 3, r->c2);
      sqlite3_bind_text(s, 4, r->c3, 16, SQLITE_STATIC);
      sqlite3_bind_int64(s, 5, timestamp_nanos(r->c4_seconds, r->c4_nanos));
      step_done(s, "insert");
    }
    step_done(commit_.get(), "commit");
  }

  // synchronous off never syncs: the file is synced here so that the data is on disk like the
  // other engines'.
  void sync() {
    const int fd = ::open(path_.c_str(), O_RDONLY);
    if (fd < 0 || ::fsync(fd) != 0) {
      if (fd >= 0) ::close(fd);
      throw std::runtime_error("cannot sync " + path_.string());
    }
    ::close(fd);
  }

  void make_durable_and_compacted() {
    close();
    sync();
    open();
    exec("VACUUM");
    sync();
  }

  bool read(int64_t k, workload_row& out) {
    sqlite3_stmt* s = select_.get();
    sqlite3_bind_int64(s, 1, k);
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) {
      out.k = k;
      decode(s, 0, out);
    }
    sqlite3_reset(s);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) check(rc, "select");
    return rc == SQLITE_ROW;
  }

  // c1, c2, c3, c4 from column `at` on.
  static void decode(sqlite3_stmt* s, int at, workload_row& r) {
    r.c1 = sqlite3_column_int(s, at);
    r.c2 = sqlite3_column_double(s, at + 1);
    const void* text = sqlite3_column_text(s, at + 2);
    if (text == nullptr || sqlite3_column_bytes(s, at + 2) != 16) {
      throw std::runtime_error("c3 is not 16 bytes");
    }
    std::memcpy(r.c3, text, 16);
    split_timestamp_nanos(sqlite3_column_int64(s, at + 3), r.c4_seconds, r.c4_nanos);
  }

  // Runs a query, calling `row` for each result row.
  template <typename Row>
  void query(const char* sql, Row&& row) {
    statement s = prepare(sql);
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) row(s.get());
    check(rc, sql);
  }

 private:
  void open() {
    check(
        sqlite3_open_v2(path_.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr),
        "open");
    exec(
        "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; PRAGMA cache_size=-1048576;"
        "CREATE TABLE IF NOT EXISTS t(k INTEGER PRIMARY KEY, c1 INTEGER NOT NULL, "
        "c2 REAL NOT NULL, c3 TEXT NOT NULL, c4 INTEGER NOT NULL) WITHOUT ROWID");
    begin_ = prepare("BEGIN");
    commit_ = prepare("COMMIT");
    insert_ = prepare("INSERT INTO t(k, c1, c2, c3, c4) VALUES (?, ?, ?, ?, ?)");
    select_ = prepare("SELECT c1, c2, c3, c4 FROM t WHERE k = ?");
  }
  void close() {
    begin_.reset();
    commit_.reset();
    insert_.reset();
    select_.reset();
    if (db_ != nullptr) sqlite3_close(db_);
    db_ = nullptr;
  }

  std::filesystem::path path_;
  sqlite3* db_ = nullptr;
  statement begin_, commit_, insert_, select_;
};

class sqlite_store : public store {
 public:
  sqlite_store(const std::filesystem::path& dir, int partitions) {
    for (int p = 0; p < partitions; ++p) {
      partitions_.push_back(std::make_unique<database>(dir / ("p" + std::to_string(p) + ".db")));
    }
  }

  void write(int partition, std::span<const workload_row* const> rows) override {
    partitions_.at(partition)->write(rows);
  }
  void make_durable_and_compacted() override {
    for (auto& d : partitions_) d->make_durable_and_compacted();
  }
  bool read(int64_t k, workload_row& out) override { return partitions_[0]->read(k, out); }

  void scan(const row_sink& sink) override {
    workload_row r{};
    partitions_[0]->query("SELECT k, c1, c2, c3, c4 FROM t ORDER BY k", [&](sqlite3_stmt* s) {
      r.k = sqlite3_column_int64(s, 0);
      database::decode(s, 1, r);
      sink(r);
    });
  }

  ungrouped_result ungrouped() override {
    ungrouped_result u;
    partitions_[0]->query(
        "SELECT count(*), sum(c1), sum(k), sum(c2), max(c3), max(c4) FROM t", [&](sqlite3_stmt* s) {
          u.count = static_cast<uint64_t>(sqlite3_column_int64(s, 0));
          u.sum_c1 = sqlite3_column_int64(s, 1);
          u.sum_k = sqlite3_column_int64(s, 2);
          u.sum_c2 = sqlite3_column_double(s, 3);
          u.max_c3.assign(reinterpret_cast<const char*>(sqlite3_column_text(s, 4)),
                          sqlite3_column_bytes(s, 4));
          split_timestamp_nanos(sqlite3_column_int64(s, 5), u.max_c4_seconds, u.max_c4_nanos);
        });
    return u;
  }

  std::vector<group_result> group_by_c1() override {
    std::vector<group_result> groups;
    partitions_[0]->query(
        "SELECT c1, count(*), sum(k), avg(c2), min(c3), max(c4) FROM t GROUP BY c1 ORDER BY c1",
        [&](sqlite3_stmt* s) {
          group_result& g = groups.emplace_back();
          g.c1 = sqlite3_column_int(s, 0);
          g.count = static_cast<uint64_t>(sqlite3_column_int64(s, 1));
          g.sum_k = sqlite3_column_int64(s, 2);
          g.avg_c2 = sqlite3_column_double(s, 3);
          g.min_c3.assign(reinterpret_cast<const char*>(sqlite3_column_text(s, 4)),
                          sqlite3_column_bytes(s, 4));
          split_timestamp_nanos(sqlite3_column_int64(s, 5), g.max_c4_seconds, g.max_c4_nanos);
        });
    return groups;
  }

 private:
  std::vector<std::unique_ptr<database>> partitions_;
};

class sqlite_peer : public peer {
 public:
  std::string name() const override { return "SQLite"; }
  std::string version() const override { return sqlite3_libversion(); }
  std::string configuration() const override {
    return "C API; WITHOUT ROWID table (k INTEGER PRIMARY KEY, c1 INTEGER, c2 REAL, c3 TEXT, "
           "c4 INTEGER nanoseconds); journal_mode=OFF; synchronous=OFF; cache_size=1 GiB; "
           "prepared statements; one transaction per batch; one database file and connection per "
           "partition; durable = close, fsync, reopen, VACUUM, fsync; aggregates in SQL";
  }
  std::unique_ptr<store> create(const std::filesystem::path& dir, int partitions) override {
    return std::make_unique<sqlite_store>(dir, partitions);
  }
};

}  // namespace

namespace ombrel::bench {

std::unique_ptr<peer> make_sqlite_peer() { return std::make_unique<sqlite_peer>(); }

}  // namespace ombrel::bench
