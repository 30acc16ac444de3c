#pragma once
// The side-by-side benchmark's harness for peer engines (RocksDB, SQLite): the workload's phases
// run against one `peer`, with medians and checks printed as tab-separated lines that
// bench/report.py turns into the report. The encoders the peers store rows with live here too,
// so that tests can check them against the workload's check values.
//
// Output lines (one record each, fields separated by tabs):
//   info    engine key value
//   result  engine phase metric value unit      (median of the runs)
//   check   engine name value                   (compared across engines by the report)
//   fail    engine phase message                (a phase that failed or could not run)

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bench/workload.h"

namespace ombrel::bench {

// RocksDB keys: k as 8 bytes big-endian, which orders the workload's non-negative keys.
constexpr size_t KEY_SIZE = 8;
void encode_key(int64_t k, char* out);
int64_t decode_key(const char* in);

// RocksDB values, packed little-endian without padding: c1 (4), c2 (8), c3 (16),
// c4 seconds (8), c4 nanos (4).
constexpr size_t PACKED_VALUE_SIZE = 40;
void pack_value(const workload_row& r, char* out);
// Fills every field of `r` but k; false when the value does not have the packed size.
bool unpack_value(std::string_view value, workload_row& r);

// SQLite timestamps: nanoseconds since the epoch in one INTEGER, which orders like (seconds,
// nanos). Throws std::range_error when the timestamp does not fit in 64 bits.
int64_t timestamp_nanos(int64_t seconds, int32_t nanos);
void split_timestamp_nanos(int64_t value, int64_t& seconds, int32_t& nanos);

// FNV-1a 64 over the workload's 48-byte records, fed one row at a time; over the rows in key
// order it equals fingerprint().
class row_digest {
 public:
  void add(const workload_row& r);
  uint64_t value() const { return h_; }

 private:
  uint64_t h_ = 0xCBF29CE484222325ull;
};

// count(*), sum(c1), sum(k), sum(c2), max(c3), max(c4) over every row.
struct ungrouped_result {
  uint64_t count = 0;
  int64_t sum_c1 = 0;
  int64_t sum_k = 0;
  double sum_c2 = 0;
  std::string max_c3;
  int64_t max_c4_seconds = 0;
  int32_t max_c4_nanos = 0;
  // Doubles with 10 significant digits: engines may add them in different orders.
  std::string to_string() const;
};

// One group of GROUP BY c1: count(*), sum(k), avg(c2), min(c3), max(c4).
struct group_result {
  int32_t c1 = 0;
  uint64_t count = 0;
  int64_t sum_k = 0;
  double avg_c2 = 0;
  std::string min_c3;
  int64_t max_c4_seconds = 0;
  int32_t max_c4_nanos = 0;
  std::string to_string() const;
};

// Folds rows into the two aggregate queries: the query layer of peers without one, and the
// expected answers.
class ungrouped_fold {
 public:
  void add(const workload_row& r);
  const ungrouped_result& result() const { return result_; }

 private:
  ungrouped_result result_;
};

class group_fold {
 public:
  void add(const workload_row& r);
  // The groups in c1 order.
  std::vector<group_result> result() const;

 private:
  struct state {
    uint64_t count = 0;
    int64_t sum_k = 0;
    double sum_c2 = 0;
    workload_row min_c3_row{};
    workload_row max_c4_row{};
  };
  // Hashed like a query engine's grouping: the harness does not know c1's range.
  std::unordered_map<int32_t, state> groups_;
};

using row_sink = std::function<void(const workload_row&)>;

// One open database of a peer with its partitions. Owned by the harness; each partition is
// written by one thread at a time, reads and scans come from the harness's thread.
class store {
 public:
  virtual ~store() = default;
  // Writes the rows into `partition` as one unit (a write batch, a transaction).
  virtual void write(int partition, std::span<const workload_row* const> rows) = 0;
  // Closes, reopens and fully compacts the store, everything synced to disk.
  virtual void make_durable_and_compacted() = 0;
  // The row of key k in partition 0, all columns decoded; false when there is none.
  virtual bool read(int64_t k, workload_row& out) = 0;
  // Every row of partition 0 in key order, all columns decoded.
  virtual void scan(const row_sink& sink) = 0;
  virtual ungrouped_result ungrouped() = 0;
  // The groups in c1 order.
  virtual std::vector<group_result> group_by_c1() = 0;
};

class peer {
 public:
  virtual ~peer() = default;
  virtual std::string name() const = 0;
  virtual std::string version() const = 0;
  virtual std::string configuration() const = 0;
  // A fresh store with `partitions` partitions in the existing empty directory `dir`.
  virtual std::unique_ptr<store> create(const std::filesystem::path& dir, int partitions) = 0;
};

struct run_options {
  uint64_t rows = 2000000;
  uint64_t lookups = 1000000;
  int runs = 3;
  std::filesystem::path dir = std::filesystem::temp_directory_path();
};

// --rows N --lookups N --runs N --dir PATH; throws std::invalid_argument on anything else.
run_options parse_options(int argc, char** argv);

// Runs every phase `runs` times on fresh stores under a new directory in o.dir and prints
// medians, checks and failures on standard output. Returns 0, or 1 when a phase failed.
int run_phases(peer& p, const run_options& o);

// Bytes of every file under `dir`.
uint64_t bytes_under(const std::filesystem::path& dir);

}  // namespace ombrel::bench
