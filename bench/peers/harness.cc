#include "bench/peers/harness.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <map>
#include <stdexcept>
#include <thread>

namespace ombrel::bench {

void encode_key(int64_t k, char* out) {
  const auto v = static_cast<uint64_t>(k);
  for (size_t i = 0; i < KEY_SIZE; ++i) out[i] = static_cast<char>(v >> (8 * (KEY_SIZE - 1 - i)));
}

int64_t decode_key(const char* in) {
  uint64_t v = 0;
  for (size_t i = 0; i < KEY_SIZE; ++i) v = (v << 8) | static_cast<unsigned char>(in[i]);
  return static_cast<int64_t>(v);
}

// The workload runs on little-endian machines; memcpy keeps the packing free of alignment.
void pack_value(const workload_row& r, char* out) {
  std::memcpy(out, &r.c1, 4);
  std::memcpy(out + 4, &r.c2, 8);
  std::memcpy(out + 12, r.c3, 16);
  std::memcpy(out + 28, &r.c4_seconds, 8);
  std::memcpy(out + 36, &r.c4_nanos, 4);
}

bool unpack_value(std::string_view value, workload_row& r) {
  if (value.size() != PACKED_VALUE_SIZE) return false;
  const char* in = value.data();
  std::memcpy(&r.c1, in, 4);
  std::memcpy(&r.c2, in + 4, 8);
  std::memcpy(r.c3, in + 12, 16);
  std::memcpy(&r.c4_seconds, in + 28, 8);
  std::memcpy(&r.c4_nanos, in + 36, 4);
  return true;
}

int64_t timestamp_nanos(int64_t seconds, int32_t nanos) {
  constexpr int64_t BILLION = 1000000000;
  if (nanos < 0 || nanos >= BILLION ||
      seconds > (std::numeric_limits<int64_t>::max() - nanos) / BILLION ||
      seconds < std::numeric_limits<int64_t>::min() / BILLION + 1) {
    throw std::range_error("timestamp " + std::to_string(seconds) + "." + std::to_string(nanos) +
                           " does not fit in 64-bit nanoseconds");
  }
  return seconds * BILLION + nanos;
}

void split_timestamp_nanos(int64_t value, int64_t& seconds, int32_t& nanos) {
  constexpr int64_t BILLION = 1000000000;
  seconds = value / BILLION;
  int64_t rest = value % BILLION;
  if (rest < 0) {
    rest += BILLION;
    --seconds;
  }
  nanos = static_cast<int32_t>(rest);
}

void row_digest::add(const workload_row& r) {
  auto mix = [this](const void* p, size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < n; ++i) {
      h_ ^= b[i];
      h_ *= 0x100000001B3ull;
    }
  };
  mix(&r.k, 8);
  mix(&r.c1, 4);
  mix(&r.c2, 8);
  mix(r.c3, 16);
  mix(&r.c4_seconds, 8);
  mix(&r.c4_nanos, 4);
}

namespace {

std::string format_double(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%.10g", v);
  return text;
}

std::string format_timestamp(int64_t seconds, int32_t nanos) {
  char text[64];
  std::snprintf(text, sizeof text, "%" PRId64 ".%09" PRId32, seconds, nanos);
  return text;
}

bool c4_less(const workload_row& a, const workload_row& b) {
  return a.c4_seconds != b.c4_seconds ? a.c4_seconds < b.c4_seconds : a.c4_nanos < b.c4_nanos;
}

}  // namespace

std::string ungrouped_result::to_string() const {
  return "count=" + std::to_string(count) + " sum(c1)=" + std::to_string(sum_c1) +
         " sum(k)=" + std::to_string(sum_k) + " sum(c2)=" + format_double(sum_c2) +
         " max(c3)=" + max_c3 + " max(c4)=" + format_timestamp(max_c4_seconds, max_c4_nanos);
}

std::string group_result::to_string() const {
  return "c1=" + std::to_string(c1) + " count=" + std::to_string(count) +
         " sum(k)=" + std::to_string(sum_k) + " avg(c2)=" + format_double(avg_c2) +
         " min(c3)=" + min_c3 + " max(c4)=" + format_timestamp(max_c4_seconds, max_c4_nanos);
}

void ungrouped_fold::add(const workload_row& r) {
  ungrouped_result& u = result_;
  const std::string_view c3(r.c3, 16);
  if (u.count == 0 || c3 > u.max_c3) u.max_c3.assign(c3);
  if (u.count == 0 || r.c4_seconds > u.max_c4_seconds ||
      (r.c4_seconds == u.max_c4_seconds && r.c4_nanos > u.max_c4_nanos)) {
    u.max_c4_seconds = r.c4_seconds;
    u.max_c4_nanos = r.c4_nanos;
  }
  ++u.count;
  u.sum_c1 += r.c1;
  u.sum_k += r.k;
  u.sum_c2 += r.c2;
}

void group_fold::add(const workload_row& r) {
  auto [it, added] = groups_.try_emplace(r.c1);
  state& g = it->second;
  if (added || std::memcmp(r.c3, g.min_c3_row.c3, 16) < 0) g.min_c3_row = r;
  if (added || c4_less(g.max_c4_row, r)) g.max_c4_row = r;
  ++g.count;
  g.sum_k += r.k;
  g.sum_c2 += r.c2;
}

std::vector<group_result> group_fold::result() const {
  std::vector<group_result> out;
  out.reserve(groups_.size());
  for (const auto& [c1, g] : groups_) {
    group_result& r = out.emplace_back();
    r.c1 = c1;
    r.count = g.count;
    r.sum_k = g.sum_k;
    r.avg_c2 = g.sum_c2 / static_cast<double>(g.count);
    r.min_c3.assign(g.min_c3_row.c3, 16);
    r.max_c4_seconds = g.max_c4_row.c4_seconds;
    r.max_c4_nanos = g.max_c4_row.c4_nanos;
  }
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.c1 < b.c1; });
  return out;
}

uint64_t bytes_under(const std::filesystem::path& dir) {
  uint64_t total = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file()) total += entry.file_size();
  }
  return total;
}

run_options parse_options(int argc, char** argv) {
  run_options o;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (i + 1 >= argc) throw std::invalid_argument("missing value after " + std::string(arg));
    const std::string value = argv[++i];
    if (arg == "--rows") {
      o.rows = std::stoull(value);
    } else if (arg == "--lookups") {
      o.lookups = std::stoull(value);
    } else if (arg == "--runs") {
      o.runs = std::stoi(value);
    } else if (arg == "--dir") {
      o.dir = value;
    } else {
      throw std::invalid_argument("unknown option " + std::string(arg));
    }
  }
  if (o.rows == 0 || o.runs < 1) throw std::invalid_argument("rows and runs must be positive");
  return o;
}

namespace {

constexpr size_t BATCH = 1000;
using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

// Samples per (phase, metric), the first failure per phase, and the checks of the first run.
class recorder {
 public:
  explicit recorder(std::string engine) : engine_(std::move(engine)) {}

  // Runs `body` unless `phase` or one of `needs` failed already; a throw fails the phase.
  template <typename Body>
  bool attempt(const std::string& phase, std::initializer_list<std::string> needs, Body&& body) {
    if (failed_.count(phase) != 0) return false;
    for (const std::string& need : needs) {
      if (failed_.count(need) != 0) {
        failed_[phase] = "not run: " + need + " failed";
        return false;
      }
    }
    try {
      body();
      return true;
    } catch (const std::exception& e) {
      failed_[phase] = e.what();
    }
    return false;
  }
  void sample(const std::string& phase, const std::string& metric, const std::string& unit,
              double value) {
    samples_[{phase, metric}].second.push_back(value);
    samples_[{phase, metric}].first = unit;
  }
  void check(const std::string& name, const std::string& value) { checks_.emplace(name, value); }

  int print(const std::vector<std::string>& phases) {
    for (const std::string& phase : phases) {
      if (auto f = failed_.find(phase); f != failed_.end()) {
        std::printf("fail\t%s\t%s\t%s\n", engine_.c_str(), phase.c_str(), f->second.c_str());
        continue;
      }
      for (auto& [key, unit_values] : samples_) {
        if (key.first != phase) continue;
        std::vector<double>& v = unit_values.second;
        std::sort(v.begin(), v.end());
        std::printf("result\t%s\t%s\t%s\t%.6g\t%s\n", engine_.c_str(), phase.c_str(),
                    key.second.c_str(), v[v.size() / 2], unit_values.first.c_str());
      }
    }
    for (const auto& [name, value] : checks_) {
      std::printf("check\t%s\t%s\t%s\n", engine_.c_str(), name.c_str(), value.c_str());
    }
    std::fflush(stdout);
    return failed_.empty() ? 0 : 1;
  }

 private:
  std::string engine_;
  std::map<std::pair<std::string, std::string>, std::pair<std::string, std::vector<double>>>
      samples_;
  std::map<std::string, std::string> failed_;
  std::map<std::string, std::string> checks_;
};

void write_all(store& s, int partition, const std::vector<const workload_row*>& order) {
  for (size_t at = 0; at < order.size(); at += BATCH) {
    const size_t n = std::min(BATCH, order.size() - at);
    s.write(partition, std::span<const workload_row* const>(order.data() + at, n));
  }
}

std::string hex(uint64_t v) {
  char text[20];
  std::snprintf(text, sizeof text, "%016" PRIx64, v);
  return text;
}

void expect(const std::string& what, const std::string& got, const std::string& want) {
  if (got != want) throw std::runtime_error(what + " is " + got + ", expected " + want);
}

}  // namespace

int run_phases(peer& p, const run_options& o) {
  const std::string engine = p.name();
  std::printf("info\t%s\tversion\t%s\n", engine.c_str(), p.version().c_str());
  std::printf("info\t%s\tconfiguration\t%s\n", engine.c_str(), p.configuration().c_str());
  std::printf("info\t%s\trows\t%" PRIu64 "\n", engine.c_str(), o.rows);
  std::printf("info\t%s\tlookups\t%" PRIu64 "\n", engine.c_str(), o.lookups);
  std::printf("info\t%s\truns\t%d\n", engine.c_str(), o.runs);
  std::fflush(stdout);

  const std::vector<workload_row> rows = make_rows(o.rows);
  std::vector<const workload_row*> ordered(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) ordered[i] = &rows[i];
  std::vector<const workload_row*> shuffled(rows.size());
  const std::vector<uint64_t> perm = make_permutation(o.rows);
  for (size_t i = 0; i < rows.size(); ++i) shuffled[i] = &rows[perm[i]];
  const std::vector<int64_t> lookups = make_lookups(o.rows, o.lookups);

  // The answers every engine must give, folded from the generated rows.
  ungrouped_fold expected_ungrouped;
  group_fold expected_groups;
  int64_t expected_reads = 0;
  for (const workload_row& r : rows) {
    expected_ungrouped.add(r);
    expected_groups.add(r);
  }
  for (int64_t k : lookups) expected_reads += rows[k].c1 + rows[k].c4_nanos;
  const std::string expected_digest = hex(fingerprint(rows));
  const std::vector<group_result> groups_want = expected_groups.result();

  recorder rec(engine);
  const std::vector<std::string> phases = {"ingest_key",     "durable_key", "ingest_random",
                                           "durable_random", "point_read",  "scan",
                                           "ungrouped",      "group_by",    "ingest_two_threads"};
  const double n = static_cast<double>(o.rows);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%s-%d", engine.c_str(), static_cast<int>(getpid()));
  const std::filesystem::path base = o.dir / stamp;

  for (int run = 0; run < o.runs; ++run) {
    for (const bool random : {false, true}) {
      const std::string order = random ? "random" : "key";
      const std::filesystem::path dir = base / (order + std::to_string(run));
      std::filesystem::create_directories(dir);
      std::unique_ptr<store> s;
      rec.attempt("ingest_" + order, {}, [&] {
        s = p.create(dir, 1);
        const auto start = clock_type::now();
        write_all(*s, 0, random ? shuffled : ordered);
        rec.sample("ingest_" + order, "rate", "rows/s", n / seconds_since(start));
      });
      rec.attempt("durable_" + order, {"ingest_" + order}, [&] {
        const auto start = clock_type::now();
        s->make_durable_and_compacted();
        rec.sample("durable_" + order, "time", "s", seconds_since(start));
        rec.sample("durable_" + order, "size", "bytes/row",
                   static_cast<double>(bytes_under(dir)) / n);
      });
      if (random) {
        // Reads and queries run on the store ingested in random order, durable and compacted.
        rec.attempt("point_read", {"durable_random"}, [&] {
          workload_row out{};
          int64_t sum = 0;
          const auto start = clock_type::now();
          for (int64_t k : lookups) {
            if (!s->read(k, out))
              throw std::runtime_error("key " + std::to_string(k) + " not found");
            sum += out.c1 + out.c4_nanos;
          }
          const double elapsed = seconds_since(start);
          expect("sum of c1 + c4.nanos over the reads", std::to_string(sum),
                 std::to_string(expected_reads));
          rec.sample("point_read", "rate", "ops/s", static_cast<double>(lookups.size()) / elapsed);
          rec.sample("point_read", "mean", "us",
                     elapsed * 1e6 / static_cast<double>(lookups.size()));
          rec.check("reads", std::to_string(sum));
        });
        rec.attempt("scan", {"durable_random"}, [&] {
          uint64_t count = 0;
          int64_t sum_c1 = 0;
          const auto start = clock_type::now();
          s->scan([&](const workload_row& r) {
            ++count;
            sum_c1 += r.c1;
          });
          const double elapsed = seconds_since(start);
          expect("rows scanned", std::to_string(count), std::to_string(o.rows));
          expect("sum of c1", std::to_string(sum_c1),
                 std::to_string(expected_ungrouped.result().sum_c1));
          rec.sample("scan", "time", "s", elapsed);
          rec.sample("scan", "rate", "rows/s", n / elapsed);
          rec.check("scan sum(c1)", std::to_string(sum_c1));
          if (run == 0) {
            // The digest needs its own pass: its byte loop would dominate a timed scan.
            row_digest digest;
            int64_t previous = -1;
            s->scan([&](const workload_row& r) {
              if (r.k <= previous) throw std::runtime_error("scan not in key order");
              previous = r.k;
              digest.add(r);
            });
            expect("digest", hex(digest.value()), expected_digest);
            rec.check("digest", hex(digest.value()));
          }
        });
        rec.attempt("ungrouped", {"durable_random"}, [&] {
          const auto start = clock_type::now();
          const ungrouped_result u = s->ungrouped();
          const double elapsed = seconds_since(start);
          expect("ungrouped aggregates", u.to_string(), expected_ungrouped.result().to_string());
          rec.sample("ungrouped", "time", "s", elapsed);
          rec.sample("ungrouped", "rate", "rows/s", n / elapsed);
          rec.check("ungrouped", u.to_string());
        });
        rec.attempt("group_by", {"durable_random"}, [&] {
          const auto start = clock_type::now();
          const std::vector<group_result> groups = s->group_by_c1();
          const double elapsed = seconds_since(start);
          expect("group count", std::to_string(groups.size()), std::to_string(groups_want.size()));
          for (size_t i = 0; i < groups.size(); ++i) {
            expect("group", groups[i].to_string(), groups_want[i].to_string());
          }
          rec.sample("group_by", "time", "s", elapsed);
          rec.sample("group_by", "rate", "rows/s", n / elapsed);
          rec.check("groups", std::to_string(groups.size()));
          if (!groups.empty())
            rec.check("group c1=" + std::to_string(groups[0].c1), groups[0].to_string());
        });
      }
      s.reset();
      std::filesystem::remove_all(dir);
    }

    const std::filesystem::path dir = base / ("two" + std::to_string(run));
    std::filesystem::create_directories(dir);
    rec.attempt("ingest_two_threads", {}, [&] {
      std::unique_ptr<store> s = p.create(dir, 2);
      std::exception_ptr errors[2];
      const auto start = clock_type::now();
      {
        std::jthread writers[2];
        for (int t = 0; t < 2; ++t) {
          writers[t] = std::jthread([&, t] {
            try {
              write_all(*s, t, ordered);
            } catch (...) {
              errors[t] = std::current_exception();
            }
          });
        }
      }
      const double elapsed = seconds_since(start);
      for (auto& e : errors) {
        if (e) std::rethrow_exception(e);
      }
      rec.sample("ingest_two_threads", "rate", "rows/s", 2 * n / elapsed);
    });
    std::filesystem::remove_all(dir);
  }
  std::filesystem::remove_all(base);
  return rec.print(phases);
}

}  // namespace ombrel::bench
