#include "tools/examine/examine.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "model/big_decimal.h"
#include "model/big_integer.h"
#include "model/binary_tuple_builder.h"
#include "storage/storage.h"
#include "tests/support/test_dir.h"
#include "tests/support/testing.h"
#include "tests/tree/tree_test_util.h"
#include "tools/examine/value_text.h"
#include "tree/layout_file.h"
#include "tree/merge_tree.h"

namespace ombrel {
namespace {

namespace fs = std::filesystem;
using inspect::text_form;

// ---- the storage under inspection ----

// One value of a row: how to put it in a binary tuple, and its expected text.
struct cell {
  std::function<void(binary_tuple_builder&)> claim, append;
  std::string csv, json;
};

// Text that JSON quotes and CSV prints bare.
cell bare(std::function<void(binary_tuple_builder&)> claim,
          std::function<void(binary_tuple_builder&)> append, const std::string& text) {
  return {std::move(claim), std::move(append), text, '"' + text + '"'};
}
#define CELL(CLAIM, APPEND, V, CSV, JSON)                                                        \
  cell {                                                                                         \
    [=](binary_tuple_builder& b) { b.CLAIM(V); }, [=](binary_tuple_builder& b) { b.APPEND(V); }, \
        CSV, JSON                                                                                \
  }
#define TEXT_CELL(CLAIM, APPEND, V, TEXT)            \
  bare([=](binary_tuple_builder& b) { b.CLAIM(V); }, \
       [=](binary_tuple_builder& b) { b.APPEND(V); }, TEXT)

std::string fraction(int64_t nanos) {
  if (nanos == 0) return "";
  std::string digits = fmt::format("{:09}", nanos);
  while (digits.back() == '0') digits.pop_back();
  return "." + digits;
}

std::string hex(const std::vector<std::byte>& bytes) { return testing::hex(bytes); }

// UTC calendar text of a timestamp, through the standard library's calendar.
std::string utc_text(int64_t seconds, int32_t nanos) {
  using namespace std::chrono;
  const sys_seconds t{std::chrono::seconds{seconds}};
  const auto day = floor<days>(t);
  const year_month_day ymd{day};
  const hh_mm_ss hms{t - day};
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}{}Z", int{ymd.year()},
                     unsigned{ymd.month()}, unsigned{ymd.day()}, hms.hours().count(),
                     hms.minutes().count(), hms.seconds().count(), fraction(nanos));
}

// Value columns of every type but the two key types, each made from the version number n.
struct value_column {
  const char* name;
  ombrel_type type;
  std::function<cell(int64_t n)> make;
};

const std::vector<value_column>& value_columns() {
  static const std::vector<value_column> columns = {
      {"c_bool", BOOL,
       [](int64_t n) {
         const bool v = n % 2 == 1;
         return CELL(claim_bool, append_bool, v, v ? "true" : "false", v ? "true" : "false");
       }},
      {"c_int8", INT8,
       [](int64_t n) {
         const auto v = static_cast<int8_t>(n % 200 - 100);
         return CELL(claim_int8, append_int8, v, std::to_string(v), std::to_string(v));
       }},
      {"c_int16", INT16,
       [](int64_t n) {
         const auto v = static_cast<int16_t>(-3 * n);
         return CELL(claim_int16, append_int16, v, std::to_string(v), std::to_string(v));
       }},
      {"c_int64", INT64,
       [](int64_t n) {
         const int64_t v = n * 1000000007LL - (int64_t{1} << 40);
         return CELL(claim_int64, append_int64, v, std::to_string(v), std::to_string(v));
       }},
      {"c_float", FLOAT,
       [](int64_t n) {
         const float v = static_cast<float>(n) + 0.25f;
         return CELL(claim_float, append_float, v, std::to_string(n) + ".25",
                     std::to_string(n) + ".25");
       }},
      {"c_double", DOUBLE,
       [](int64_t n) {
         const double v = -(static_cast<double>(n) + 0.125);
         return CELL(claim_double, append_double, v, "-" + std::to_string(n) + ".125",
                     "-" + std::to_string(n) + ".125");
       }},
      {"c_decimal", DECIMAL,
       [](int64_t n) {
         const int64_t unscaled = n * 101 - 5000;
         const big_decimal v(big_integer(unscaled), 2);
         const uint64_t a = unscaled < 0 ? -unscaled : unscaled;
         return TEXT_CELL(claim_number, append_number, v,
                          fmt::format("{}{}.{:02}", unscaled < 0 ? "-" : "", a / 100, a % 100));
       }},
      {"c_date", DATE,
       [](int64_t n) {
         const ombrel_date v{static_cast<int32_t>(1990 + n % 40), static_cast<int8_t>(1 + n % 12),
                             static_cast<int8_t>(1 + n % 28)};
         return TEXT_CELL(claim_date, append_date, v,
                          fmt::format("{:04}-{:02}-{:02}", v.year, v.month, v.day));
       }},
      {"c_time", TIME,
       [](int64_t n) {
         const ombrel_time v{static_cast<int8_t>(n % 24), static_cast<int8_t>(n % 60),
                             static_cast<int8_t>(n * 7 % 60),
                             static_cast<int32_t>(n % 3 == 0 ? 0 : n * 1000)};
         return TEXT_CELL(
             claim_time, append_time, v,
             fmt::format("{:02}:{:02}:{:02}{}", v.hour, v.minute, v.second, fraction(v.nano)));
       }},
      {"c_date_time", DATE_TIME,
       [](int64_t n) {
         const ombrel_date_time v{{2024, 2, 29}, {23, 59, 58, static_cast<int32_t>(n * 7)}};
         return TEXT_CELL(claim_date_time, append_date_time, v,
                          "2024-02-29T23:59:58" + fraction(n * 7));
       }},
      {"c_timestamp", TIMESTAMP,
       [](int64_t n) {
         const ombrel_timestamp v{(n - 300) * 86461, static_cast<int32_t>(n % 4 * 250000000)};
         return TEXT_CELL(claim_timestamp, append_timestamp, v, utc_text(v.seconds, v.nanos));
       }},
      {"c_uuid", UUID,
       [](int64_t n) {
         const uuid v{0x0123456789abcdefLL + n, -n - 1};
         const std::string h = fmt::format("{:016x}{:016x}", static_cast<uint64_t>(v.first),
                                           static_cast<uint64_t>(v.second));
         return TEXT_CELL(claim_uuid, append_uuid, v,
                          h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" +
                              h.substr(16, 4) + "-" + h.substr(20));
       }},
      {"c_opaque", OPAQUE,
       [](int64_t n) {
         const std::vector<std::byte> v = {std::byte(n % 256), std::byte{0}, std::byte{0xab}};
         return cell{
             [=](binary_tuple_builder& b) { b.claim_varlen(bytes_view(v.size(), v.data())); },
             [=](binary_tuple_builder& b) { b.append_varlen(bytes_view(v.size(), v.data())); },
             '"' + hex(v) + '"', '"' + hex(v) + '"'};
       }},
      {"c_string", STRING,
       [](int64_t n) {
         const std::string v = n % 5 == 0 ? "" : "s\"," + std::to_string(n) + "\xc3\xa9";
         std::string csv = "\"";
         for (char c : v) csv += c == '"' ? std::string("\"\"") : std::string(1, c);
         std::string json = "\"";
         for (char c : v) json += c == '"' ? std::string("\\\"") : std::string(1, c);
         return cell{
             [=](binary_tuple_builder& b) { b.claim_varlen(bytes_view(v.data(), v.size())); },
             [=](binary_tuple_builder& b) { b.append_varlen(bytes_view(v.data(), v.size())); },
             csv + "\"", json + "\""};
       }},
      {"c_bytes", BYTES,
       [](int64_t n) {
         std::vector<std::byte> v;
         for (int64_t k = 0; k < n % 4; ++k) v.push_back(std::byte((n + k) % 256));
         return cell{
             [=](binary_tuple_builder& b) { b.claim_varlen(bytes_view(v.size(), v.data())); },
             [=](binary_tuple_builder& b) { b.append_varlen(bytes_view(v.size(), v.data())); },
             '"' + hex(v) + '"', '"' + hex(v) + '"'};
       }},
      {"c_period", PERIOD,
       [](int64_t n) {
         const ombrel_period v{static_cast<int32_t>(n % 3), static_cast<int32_t>(-(n % 5)),
                               static_cast<int32_t>(n % 11)};
         std::string text = "P";
         if (v.years) text += fmt::format("{}Y", v.years);
         if (v.months) text += fmt::format("{}M", v.months);
         if (v.days) text += fmt::format("{}D", v.days);
         return TEXT_CELL(claim_period, append_period, v, text == "P" ? "P0D" : text);
       }},
      {"c_duration", DURATION,
       [](int64_t n) {
         const ombrel_duration v{n - 50, n % 2 == 1 ? 500000000 : 0};
         const int64_t halves = 2 * v.seconds + (v.nanos != 0);
         const int64_t a = halves < 0 ? -halves : halves;
         return TEXT_CELL(
             claim_duration, append_duration, v,
             fmt::format("PT{}{}{}S", halves < 0 ? "-" : "", a / 2, a % 2 ? ".5" : ""));
       }},
      {"c_number", NUMBER,
       [](int64_t n) {
         const std::string text = "-" + std::to_string(n + 1) + "0000000000000000007";
         big_integer v;
         v.assign_string(text);
         return TEXT_CELL(claim_number, append_number, v, text);
       }},
  };
  return columns;
}

// (id INT32 key, tag STRING key, one nullable column of every other type)
schema_descriptor all_types_schema() {
  schema_descriptor s;
  s.columns.emplace_back("id", column_info::of_type(INT32, false));
  s.columns.emplace_back("tag", column_info::of_type(STRING, false));
  std::vector<uint32_t> keys = {0, 1};
  for (const value_column& c : value_columns()) {
    s.columns.emplace_back(c.name, column_info::of_type(c.type, true));
    keys.push_back(NO_COLUMN);
  }
  s.initialize_positions(keys);
  return s;
}

std::string tag_of(int32_t id) { return "k" + std::to_string(id % 4); }

// Values of version n: one column null in turn.
std::vector<std::optional<cell>> cells_of(int64_t n) {
  std::vector<std::optional<cell>> cells;
  for (size_t c = 0; c < value_columns().size(); ++c) {
    if (static_cast<size_t>(n % 19) == c) {
      cells.emplace_back();
    } else {
      cells.push_back(value_columns()[c].make(n));
    }
  }
  return cells;
}

std::vector<std::byte> row_tuple(int32_t id, int64_t n) {
  const std::string tag = tag_of(id);
  const auto cells = cells_of(n);
  binary_tuple_builder b(static_cast<int32_t>(cells.size() + 2));
  b.start();
  b.claim_int32(id);
  b.claim_varlen(bytes_view(tag.data(), tag.size()));
  for (const auto& c : cells) c ? c->claim(b) : b.claim_null();
  b.layout();
  b.append_int32(id);
  b.append_varlen(bytes_view(tag.data(), tag.size()));
  for (const auto& c : cells) c ? c->append(b) : b.append_null();
  return b.buffer();
}

std::vector<std::byte> key_tuple(int32_t id) {
  const std::string tag = tag_of(id);
  binary_tuple_builder b(2);
  b.start();
  b.claim_int32(id);
  b.claim_varlen(bytes_view(tag.data(), tag.size()));
  b.layout();
  b.append_int32(id);
  b.append_varlen(bytes_view(tag.data(), tag.size()));
  return b.buffer();
}

constexpr int32_t KEYS = 240;
constexpr int32_t NEWEST = 10;
constexpr int64_t VERSIONS = KEYS + KEYS / 3 + KEYS / 5 + NEWEST;  // writes, updates, removals

// What was written to the partition: per key, (timestamp, version number or removal).
using history = std::map<int32_t, std::vector<std::pair<tx_timestamp, std::optional<int64_t>>>>;

// Expected dump of the all-types partition at `ts`.
std::string expected_dump(const history& h, tx_timestamp ts, text_form form) {
  std::string out;
  if (form == text_form::csv) {
    out = "id,tag";
    for (const value_column& c : value_columns()) out += std::string(",") + c.name;
    out += "\n";
  }
  for (const auto& [id, versions] : h) {
    std::optional<int64_t> visible;
    tx_timestamp newest = -1;
    for (const auto& [t, n] : versions) {
      if (t <= ts && t > newest) newest = t, visible = n;
    }
    if (!visible) continue;
    const auto cells = cells_of(*visible);
    if (form == text_form::csv) {
      out += fmt::format("{},\"{}\"", id, tag_of(id));
      for (const auto& c : cells) out += "," + (c ? c->csv : "");
    } else {
      out += fmt::format("{{\"id\":{},\"tag\":\"{}\"", id, tag_of(id));
      for (size_t i = 0; i < cells.size(); ++i) {
        out +=
            fmt::format(",\"{}\":{}", value_columns()[i].name, cells[i] ? cells[i]->json : "null");
      }
      out += "}";
    }
    out += "\n";
  }
  return out;
}

// A storage written by the engine once per run: table 1 partition 0 holds every type over
// several levels with updates and removals, table 1 partition 1 a few rows, table 2
// partition 0 nothing.
struct written_storage {
  testing::test_dir dir;
  fs::path root = dir / "root";
  history all_types;

  written_storage() {
    testing::tree_rows::use_small_levels();
    testing::tree_rows::memtable_limit limit(16);
    storage s(root);
    table_partition* p = s.create_table_partition("all_types", 1, 0, all_types_schema());
    auto write = [&](tx_timestamp ts, int32_t id, std::optional<int64_t> n) {
      const uuid tx{ts, id};
      if (n) {
        const auto row = row_tuple(id, *n);
        p->tree().upsert(ts, tx, bytes_view(row.size(), row.data()));
      } else {
        const auto key = key_tuple(id);
        ASSERT_TRUE(p->tree().remove(ts, tx, bytes_view(key.size(), key.data())));
      }
      all_types[id].emplace_back(ts, n);
    };
    for (int32_t id = 0; id < KEYS; ++id) write(100 + id, id, id * 7);
    for (int32_t id = 0; id < KEYS; id += 3) write(1000 + id, id, id * 7 + 1);
    for (int32_t id = 0; id < KEYS; id += 5) write(2000 + id, id, std::nullopt);
    // Everything into the deepest level, then fewer rows than a mem-table holds: flushed at
    // close into level 0.
    p->tree().make_full_compaction();
    for (int32_t id = 0; id < NEWEST; ++id) write(3000 + id, id, id * 7 + 2);
    storage::table_deleter::run(p);
    table_partition* small =
        s.create_table_partition("small", 1, 1, testing::tree_rows::table_schema());
    for (int64_t id = 0; id < 5; ++id) {
      const auto row = testing::tree_rows::row(id, "r" + std::to_string(id));
      small->tree().upsert(10 + id, {}, bytes_view(row.size(), row.data()));
    }
    storage::table_deleter::run(small);
    storage::table_deleter::run(
        s.create_table_partition("empty", 2, 0, testing::tree_rows::table_schema()));
  }
};

written_storage& written() {
  static written_storage w;
  return w;
}

// ---- running the tool ----

struct run_result {
  int status;
  std::string out;
  std::string err;
};

run_result inspect_run(std::vector<std::string> args, inspect::terminal term = {}) {
  std::ostringstream out, err;
  const int status = inspect::run_inspect(args, out, err, term);
  return {status, out.str(), err.str()};
}

// Names, kinds, sizes and modification times of everything under `root`.
std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> entries;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    entries[e.path().string()] =
        fmt::format("{} {} {}", e.is_directory(), e.is_directory() ? 0 : e.file_size(),
                    e.last_write_time().time_since_epoch().count());
  }
  entries[root.string()] = std::to_string(fs::last_write_time(root).time_since_epoch().count());
  return entries;
}

class InspectTest : public ::testing::Test {
 protected:
  // A copy of the written storage that a test may damage.
  fs::path damaged_copy() {
    const fs::path root = dir_ / "root";
    fs::copy(written().root, root, fs::copy_options::recursive);
    return root;
  }
  static fs::path partition(const fs::path& root) { return root / "1" / "0"; }
  static fs::path newest_layout(const fs::path& partition) {
    fs::path newest;
    for (const auto& e : fs::directory_iterator(partition)) {
      if (merge_tree::is_layout_file(e.path())) newest = e.path();
    }
    return newest;
  }
  // The segment directories the newest layout names, level by level.
  static std::vector<fs::path> named_segments(const fs::path& partition) {
    const fs::path layout = newest_layout(partition);
    std::ifstream in(layout, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    const auto contents =
        decode_layout(std::span(reinterpret_cast<const std::byte*>(bytes.data()), bytes.size()),
                      *merge_tree::parse_layout_file_name(layout), layout.string());
    std::vector<fs::path> segments;
    for (const auto& l : contents.levels) {
      for (uint64_t n : l) segments.push_back(partition / std::to_string(n));
    }
    return segments;
  }
  static void flip_byte(const fs::path& file, std::streamoff at) {
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(at);
    const char c = static_cast<char>(f.get() ^ 0x5a);
    f.seekp(at);
    f.put(c);
  }

  testing::test_dir dir_;
};

// ---- tests ----

TEST(InspectValueText, EdgeValuesPrintExactly) {
  auto text = [](ombrel_type type, std::vector<uint8_t> bytes, text_form form) {
    std::string out;
    std::vector<std::byte> b;
    for (uint8_t x : bytes) b.push_back(std::byte{x});
    inspect::append_value(out, type, bytes_view(b.size(), b.data()), form);
    return out;
  };
  auto le = [](auto v) {
    std::vector<uint8_t> b(sizeof(v));
    std::memcpy(b.data(), &v, sizeof(v));
    return b;
  };
  auto cat = [](std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const struct {
    ombrel_type type;
    std::vector<uint8_t> bytes;
    std::string csv, json;
  } cases[] = {
      {DECIMAL, {0x02, 0x00, 0xfb}, "-0.05", "\"-0.05\""},  // -5 at scale 2
      {DECIMAL, {0xfe, 0xff, 0x0c}, "1200", "\"1200\""},    // 12 at scale -2
      {NUMBER, {0x80, 0x00}, "-32768", "\"-32768\""},
      {FLOAT, le(-0.0f), "-0", "-0"},
      {DOUBLE, le(std::numeric_limits<double>::quiet_NaN()), "NaN", "\"NaN\""},
      {DOUBLE, le(-std::numeric_limits<double>::infinity()), "-Infinity", "\"-Infinity\""},
      {DOUBLE, le(0.1), "0.1", "0.1"},
      {TIMESTAMP, cat(le(int64_t{-1}), le(int32_t{500000000})), "1969-12-31T23:59:59.5Z",
       "\"1969-12-31T23:59:59.5Z\""},
      {DURATION, cat(le(int64_t{-2}), le(int32_t{1})), "PT-1.999999999S", "\"PT-1.999999999S\""},
      {DATE, {0x21, 0xfe, 0xff}, "-0001-01-01", "\"-0001-01-01\""},  // year -1 << 9 | 1 << 5 | 1
      {PERIOD, cat(cat(le(int32_t{0}), le(int32_t{0})), le(int32_t{0})), "P0D", "\"P0D\""},
      {UUID, cat(le(int64_t{-1}), le(int64_t{1})), "ffffffff-ffff-ffff-0000-000000000001",
       "\"ffffffff-ffff-ffff-0000-000000000001\""},
      {STRING, {}, "\"\"", "\"\""},
      {STRING, {'a', '\n', '"'}, "\"a\n\"\"\"", "\"a\\n\\\"\""},
      // Well-formed UTF-8 passes; a stray continuation, a cut sequence, an overlong form and
      // a surrogate each become U+FFFD in JSON.
      {STRING,
       {0xc3, 0xa9, 0x80, 0xe2, 0x82, 0xc0, 0xaf, 0xed, 0xa0, 0x80, 0xf0, 0x9f, 0x98, 0x80},
       "\"\xc3\xa9\x80\xe2\x82\xc0\xaf\xed\xa0\x80\xf0\x9f\x98\x80\"",
       "\"\xc3\xa9\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\xf0\x9f\x98\x80\""},
      {BYTES, {}, "\"\"", "\"\""},
      {BYTES, {0x00, 0xff}, "\"00ff\"", "\"00ff\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(inspect::type_name(c.type) + " " + c.csv);
    EXPECT_EQ(text(c.type, c.bytes, text_form::csv), c.csv);
    EXPECT_EQ(text(c.type, c.bytes, text_form::json), c.json);
  }
  std::string null_csv, null_json;
  inspect::append_value(null_csv, STRING, std::nullopt, text_form::csv);
  inspect::append_value(null_json, STRING, std::nullopt, text_form::json);
  EXPECT_EQ(null_csv, "");
  EXPECT_EQ(null_json, "null");
}

TEST_F(InspectTest, ListsVerifiesAndDumpsWhatTheEngineWroteWithoutChangingAByte) {
  const written_storage& w = written();
  const fs::path p = partition(w.root);
  const auto before = snapshot(w.root);
  const std::string last_tx = inspect::uuid_text({3000 + NEWEST - 1, NEWEST - 1});

  const run_result ls = inspect_run({"ls", w.root.string(), "--json"});
  EXPECT_EQ(ls.status, 0) << ls.err;
  // Every version written is on disk: the partition's totals, then the other two partitions.
  EXPECT_TRUE(std::regex_search(
      ls.out, std::regex(fmt::format(R"("table_id":1,"partition_id":0,.*"name":"all_types",)"
                                     R"("dropped":false,"layout":\d+,"last_persisted_row":)"
                                     R"(\{{"timestamp":{},"tx":"{}"\}},"levels":\[.*\],)"
                                     R"("segment_count":\d+,"rows":{},"tombstones":{},)",
                                     3000 + NEWEST - 1, last_tx, VERSIONS, KEYS / 5))))
      << ls.out;
  EXPECT_NE(ls.out.find(R"("min_key":[0,"k0"])"), std::string::npos);
  EXPECT_NE(ls.out.find(R"("max_key":[239,"k3"])"), std::string::npos);
  EXPECT_NE(ls.out.find(R"("name":"small","dropped":false)"), std::string::npos);
  EXPECT_NE(ls.out.find(R"("name":"empty","dropped":false,"layout":null)"), std::string::npos);
  // Rows in level 0 and in a deeper level.
  const std::string all_types = ls.out.substr(0, ls.out.find(R"("name":"small")"));
  EXPECT_TRUE(std::regex_search(
      all_types,
      std::regex(fmt::format(R"(\{{"level":0,"segments":\[\{{"number":\d+,"rows":{},)", NEWEST))));
  EXPECT_TRUE(
      std::regex_search(all_types, std::regex(R"(\{"level":[1-9],"segments":\[\{"number":)")));

  const run_result verify = inspect_run({"verify", w.root.string()});
  EXPECT_EQ(verify.status, 0) << verify.out;
  EXPECT_TRUE(verify.out.ends_with("\nsound\n")) << verify.out;

  for (const tx_timestamp ts : {TX_TIMESTAMP_LATEST, tx_timestamp{2500}, tx_timestamp{1500},
                                tx_timestamp{130}, tx_timestamp{50}}) {
    SCOPED_TRACE(ts);
    const run_result csv = inspect_run({"dump", p.string(), "--ts", std::to_string(ts)});
    EXPECT_EQ(csv.status, 0) << csv.err;
    EXPECT_EQ(csv.out, expected_dump(w.all_types, ts, text_form::csv));
    const run_result json =
        inspect_run({"dump", p.string(), "--ts=" + std::to_string(ts), "--format", "jsonl"});
    EXPECT_EQ(json.out, expected_dump(w.all_types, ts, text_form::json));
  }
  const run_result some =
      inspect_run({"dump", p.string(), "--columns", "c_string,id", "--limit", "2"});
  EXPECT_EQ(some.out,
            "c_string,id\n\"s\"\",2\xc3\xa9\",0\n\"s\"\",9\xc3\xa9\",1\n");  // 0 rewritten after
                                                                             // its removal

  const fs::path first_segment = named_segments(p).front();
  const run_result seg = inspect_run({"segment", first_segment.string(), "--json"});
  EXPECT_EQ(seg.status, 0) << seg.err;
  EXPECT_NE(
      seg.out.find(R"("name":"c_number","type":"NUMBER","nullable":true,"key_position":null)"),
      std::string::npos);
  EXPECT_TRUE(std::regex_search(seg.out, std::regex(R"("file":"_tx_ts","type":"INTERNAL",)"
                                                    R"("rows":\d+,"blocks":1,)")))
      << seg.out;
  EXPECT_EQ(inspect_run({"segment", first_segment.string()}).status, 0);
  EXPECT_EQ(inspect_run({"ls", w.root.string()}).status, 0);

  EXPECT_EQ(snapshot(w.root), before);
}

TEST_F(InspectTest, VerifyNamesEachDamagedFile) {
  struct damage {
    const char* what;
    std::function<fs::path(const fs::path& partition)> apply;  // returns the file named
    const char* problem;
  };
  const damage cases[] = {
      {"flipped byte in the layout",
       [](const fs::path& p) {
         const fs::path layout = newest_layout(p);
         flip_byte(layout, 8);
         return layout;
       },
       "damaged"},
      {"truncated layout",
       [](const fs::path& p) {
         const fs::path layout = newest_layout(p);
         fs::resize_file(layout, fs::file_size(layout) - 9);
         return layout;
       },
       "damaged"},
      {"layout naming a segment twice",
       [](const fs::path& p) {
         const fs::path layout = newest_layout(p);
         const uint64_t first = std::stoull(named_segments(p).front().filename().string());
         const auto bytes = encode_layout({{{first, first}}, {}});
         std::ofstream(layout, std::ios::binary | std::ios::trunc)
             .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
         return layout;
       },
       "damaged"},
      {"flipped byte in a block",
       [](const fs::path& p) {
         const fs::path file = named_segments(p).back() / "c_string.bin";
         flip_byte(file, 0);
         return file;
       },
       "damaged"},
      {"truncated column file",
       [](const fs::path& p) {
         const fs::path file = named_segments(p).back() / "c_int64.bin";
         fs::resize_file(file, 7);
         return file;
       },
       "damaged"},
      {"flipped byte in an index",
       [](const fs::path& p) {
         const fs::path file = named_segments(p).back() / "_index";
         flip_byte(file, 0);
         return named_segments(p).back();
       },
       "damaged"},
      {"truncated schema file",
       [](const fs::path& p) {
         const fs::path file = named_segments(p).front() / "_schema";
         fs::resize_file(file, 10);
         return file;
       },
       "damaged"},
      {"missing segment",
       [](const fs::path& p) {
         const fs::path s = named_segments(p).front();
         fs::remove_all(s);
         return s;
       },
       "missing"},
      {"file where a segment directory is expected",
       [](const fs::path& p) {
         const fs::path s = named_segments(p).front();
         fs::remove_all(s);
         std::ofstream(s) << "x";
         return s;
       },
       "damaged"},
      {"leftover segment directory",
       [](const fs::path& p) {
         const fs::path copy = p / "999999";
         fs::copy(named_segments(p).front(), copy);
         return copy;
       },
       "leftover"},
  };
  for (const damage& d : cases) {
    SCOPED_TRACE(d.what);
    testing::test_dir scratch;
    const fs::path root = scratch / "root";
    fs::copy(written().root, root, fs::copy_options::recursive);
    const fs::path named = d.apply(partition(root));
    const auto before = snapshot(root);
    const run_result r = inspect_run({"verify", root.string(), "--json"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find(fmt::format(R"({{"path":"{}","problem":"{}")", named.string(), d.problem)),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(R"("sound":false)"), std::string::npos);
    EXPECT_EQ(snapshot(root), before);
  }
}

TEST_F(InspectTest, BadInputGivesAClearMessageAndAStatus) {
  const fs::path root = damaged_copy();
  const fs::path file = root / "1" / "1" / "name";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string message;  // part of standard error
  } cases[] = {
      {{}, 2, "usage: ombrel-inspect"},
      {{"fsck", root.string()}, 2, "unknown command \"fsck\""},
      {{"ls"}, 2, "ls needs a directory"},
      {{"dump", root.string(), "--json"}, 2, "unexpected argument \"--json\" for dump"},
      {{"dump", partition(root).string(), "--format", "xml"}, 2, "--format is csv or jsonl"},
      {{"dump", partition(root).string(), "--limit", "x"}, 2, "--limit needs a number"},
      {{"dump", partition(root).string(), "--columns", "id,nope"}, 2, "no column \"nope\""},
      {{"dump", root.string()}, 2, "is not a partition or segment directory"},
      {{"verify", (root / "missing").string()}, 1, (root / "missing").string() + " does not exist"},
      {{"verify", file.string()}, 1, file.string() + " is not a directory"},
      {{"segment", partition(root).string()}, 2, "is not a segment directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const run_result r = inspect_run(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
}

TEST_F(InspectTest, ProgramRunsAsAProcessAndShowsProgressOnlyOnATerminal) {
  const written_storage& w = written();
  auto program = [](const std::string& args, std::string& out) {
    FILE* pipe = popen((std::string(OMBREL_INSPECT) + " " + args + " 2>/dev/null").c_str(), "r");
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
    return WEXITSTATUS(pclose(pipe));
  };
  std::string out;
  EXPECT_EQ(program("dump " + partition(w.root).string() + " --format jsonl", out), 0);
  EXPECT_EQ(out, expected_dump(w.all_types, TX_TIMESTAMP_LATEST, text_form::json));
  out.clear();
  EXPECT_EQ(program("verify " + (w.root / "1" / "9").string(), out), 1);

  EXPECT_EQ(inspect_run({"verify", w.root.string()}).err, "");
  const run_result shown = inspect_run({"verify", w.root.string()}, {true, 1});
  EXPECT_NE(shown.err.find("segments"), std::string::npos);
  EXPECT_NE(shown.err.find('\r'), std::string::npos);
}

}  // namespace
}  // namespace ombrel
