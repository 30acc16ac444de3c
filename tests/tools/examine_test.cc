#include "tools/examine/examine.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "model/big_decimal.h"
#include "model/big_integer.h"
#include "model/binary_tuple_builder.h"
#include "storage/storage.h"
#include "tests/storage/storage_test_util.h"
#include "tests/support/test_dir.h"
#include "tests/support/testing.h"
#include "tests/support/tuples.h"
#include "tests/tree/tree_test_util.h"
#include "tools/examine/value_text.h"
#include "tree/layout_file.h"
#include "tree/merge_tree.h"

namespace ombrel {
namespace {

namespace fs = std::filesystem;
using inspect::text_form;
using bytes = std::vector<std::byte>;
using testing::material;

// ---- the storage under inspection ----

using testing::join;
using testing::packed_date;
using testing::packed_time;

// Value columns: every type but the two key types.
constexpr ombrel_type VALUE_TYPES[] = {BOOL,    INT8,   INT16, INT64,     FLOAT,     DOUBLE,
                                       DECIMAL, DATE,   TIME,  DATE_TIME, TIMESTAMP, UUID,
                                       OPAQUE,  STRING, BYTES, PERIOD,    DURATION,  NUMBER};
constexpr size_t VALUE_COLUMNS = std::size(VALUE_TYPES);

// The material value of a column of `type` in version n of a row.
bytes value_of(ombrel_type type, int64_t n) {
  switch (type) {
    case BOOL:
      return material<uint8_t>(n % 2);
    case INT8:
      return material(static_cast<int8_t>(n % 200 - 100));
    case INT16:
      return material(static_cast<int16_t>(-3 * n));
    case INT64:
      return material(n * 1000000007LL - (int64_t{1} << 40));
    case FLOAT:
      return material(static_cast<float>(n) + 0.25f);
    case DOUBLE:
      return material(-(static_cast<double>(n) + 0.125));
    case DECIMAL:
      return testing::stored(big_decimal(big_integer(n * 101 - 5000), 2));
    case DATE:
      return packed_date(static_cast<int32_t>(1990 + n % 40), 1 + n % 12, 1 + n % 28);
    case TIME:
      return packed_time(n % 24, n % 60, n * 7 % 60, n % 3 == 0 ? 0 : n * 1000);
    case DATE_TIME:
      return join(packed_date(2024, 2, 29), packed_time(23, 59, 58, n * 7));
    case TIMESTAMP:
      return join(material((n - 300) * 86461), material<int32_t>(n % 4 * 250000000));
    case UUID:
      return material(uuid{0x0123456789abcdefLL + n, -n - 1});
    case OPAQUE:
      return {std::byte(n % 256), std::byte{0}, std::byte{0xab}};
    case STRING:
      return material(n % 5 == 0 ? "" : "s\"," + std::to_string(n) + "\xc3\xa9");
    case BYTES: {
      bytes v;
      for (int64_t k = 0; k < n % 4; ++k) v.push_back(std::byte((n + k) % 256));
      return v;
    }
    case PERIOD:
      return join(join(material<int32_t>(n % 3), material<int32_t>(-(n % 5))),
                  material<int32_t>(n % 11));
    case DURATION:
      return join(material(n - 50), material<int32_t>(n % 2 == 1 ? 500000000 : 0));
    default: {  // NUMBER
      big_integer v;
      v.assign_string("-" + std::to_string(n + 1) + "0000000000000000007");
      return testing::stored(v);
    }
  }
}

// (id INT32 key, tag STRING key, one nullable column of every other type, named c_<type>)
schema_descriptor all_types_schema() {
  schema_descriptor s;
  s.columns.emplace_back("id", column_info::of_type(INT32, false));
  s.columns.emplace_back("tag", column_info::of_type(STRING, false));
  std::vector<uint32_t> keys = {0, 1};
  for (ombrel_type t : VALUE_TYPES) {
    std::string name = "c_" + inspect::type_name(t);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    s.columns.emplace_back(name, column_info::of_type(t, true));
    keys.push_back(NO_COLUMN);
  }
  s.initialize_positions(keys);
  return s;
}

// Row `id` in version n, one value column null in turn; only the key when n is unset.
std::vector<testing::material_value> row_of(int32_t id, std::optional<int64_t> n) {
  std::vector<testing::material_value> row = {material(id), material("k" + std::to_string(id % 4))};
  for (size_t c = 0; n && c < VALUE_COLUMNS; ++c) {
    row.push_back(static_cast<size_t>(*n % 19) == c ? std::nullopt
                                                    : std::optional(value_of(VALUE_TYPES[c], *n)));
  }
  return row;
}

bytes tuple_of(int32_t id, std::optional<int64_t> n) {
  std::vector<ombrel_type> types = {INT32, STRING};
  if (n) types.insert(types.end(), std::begin(VALUE_TYPES), std::end(VALUE_TYPES));
  return testing::encode_tuple(types, row_of(id, n));
}

constexpr int32_t KEYS = 240;
constexpr int32_t NEWEST = 10;
constexpr int64_t VERSIONS = KEYS + KEYS / 3 + KEYS / 5 + NEWEST;  // writes, updates, removals

// What was written to the partition: per key, (timestamp, version number or removal).
using history = std::map<int32_t, std::vector<std::pair<tx_timestamp, std::optional<int64_t>>>>;

// Expected dump of the all-types partition at `ts`. Values take the text the value tests pin;
// what is checked here is which versions show and how rows and fields are framed.
std::string expected_dump(const history& h, tx_timestamp ts, text_form form) {
  const schema_descriptor schema = all_types_schema();
  const bool json = form == text_form::json;
  std::string out;
  for (size_t c = 0; !json && c < schema.columns.size(); ++c) {
    out += (c ? "," : "") + schema.columns[c].name + (c + 1 == schema.columns.size() ? "\n" : "");
  }
  for (const auto& [id, versions] : h) {
    std::optional<int64_t> visible;
    tx_timestamp newest = -1;
    for (const auto& [t, n] : versions) {
      if (t <= ts && t > newest) newest = t, visible = n;
    }
    if (!visible) continue;
    const auto row = row_of(id, visible);
    for (size_t c = 0; c < row.size(); ++c) {
      out += c == 0 ? (json ? "{" : "") : ",";
      if (json) out += '"' + schema.columns[c].name + "\":";
      inspect::append_value(out, schema.columns[c].type,
                            row[c] ? std::optional(testing::view(*row[c])) : std::nullopt, form);
    }
    out += json ? "}\n" : "\n";
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
      const bytes tuple = tuple_of(id, n);
      if (n) {
        p->tree().upsert(ts, tx, testing::view(tuple));
      } else {
        ASSERT_TRUE(p->tree().remove(ts, tx, testing::view(tuple)));
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
  static fs::path flip_byte(const fs::path& file, std::streamoff at) {
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(at);
    const char c = static_cast<char>(f.get() ^ 0x5a);
    f.seekp(at);
    f.put(c);
    return file;
  }
  // Cuts the file to `size` bytes, or by -size bytes when negative.
  static fs::path cut(const fs::path& file, std::intmax_t size) {
    fs::resize_file(file, size >= 0 ? size : fs::file_size(file) + size);
    return file;
  }
};

// ---- tests ----

TEST(InspectValueText, EdgeValuesPrintExactly) {
  auto text = [](ombrel_type type, const bytes& value, text_form form) {
    std::string out;
    inspect::append_value(out, type, testing::view(value), form);
    return out;
  };
  const struct {
    ombrel_type type;
    bytes value;
    std::string csv, json;
  } cases[] = {
      {BOOL, material<uint8_t>(2), "true", "true"},
      {BOOL, material<uint8_t>(0), "false", "false"},
      {INT8, material<int8_t>(-128), "-128", "-128"},
      {INT16, material<int16_t>(-3), "-3", "-3"},
      {INT32, material(INT32_MIN), "-2147483648", "-2147483648"},
      {INT64, material(INT64_MIN), "-9223372036854775808", "-9223372036854775808"},
      {DECIMAL, testing::bytes_from({0x02, 0x00, 0xfb}), "-0.05", "\"-0.05\""},  // -5, scale 2
      {DECIMAL, testing::bytes_from({0xfe, 0xff, 0x0c}), "1200", "\"1200\""},    // 12, scale -2
      {DECIMAL, testing::decimal("-50.00"), "-50.00", "\"-50.00\""},
      {NUMBER, testing::bytes_from({0x80, 0x00}), "-32768", "\"-32768\""},
      {FLOAT, material(-0.0f), "-0", "-0"},
      {FLOAT, material(2.25f), "2.25", "2.25"},
      {DOUBLE, material(std::numeric_limits<double>::quiet_NaN()), "NaN", "\"NaN\""},
      {DOUBLE, material(-std::numeric_limits<double>::infinity()), "-Infinity", "\"-Infinity\""},
      {DOUBLE, material(0.1), "0.1", "0.1"},
      {TIMESTAMP, join(material(int64_t{-1}), material(int32_t{500000000})),
       "1969-12-31T23:59:59.5Z", "\"1969-12-31T23:59:59.5Z\""},
      {DURATION, join(material(int64_t{-2}), material(int32_t{1})), "PT-1.999999999S",
       "\"PT-1.999999999S\""},
      {DURATION, join(material(int64_t{-50}), material(int32_t{500000000})), "PT-49.5S",
       "\"PT-49.5S\""},
      {DURATION, join(material(int64_t{0}), material(int32_t{0})), "PT0S", "\"PT0S\""},
      {DATE, testing::bytes_from({0x21, 0xfe, 0xff}), "-0001-01-01", "\"-0001-01-01\""},
      {TIME, packed_time(9, 5, 0, 5000), "09:05:00.000005", "\"09:05:00.000005\""},
      {DATE_TIME, join(packed_date(2024, 2, 29), packed_time(23, 59, 58, 7)),
       "2024-02-29T23:59:58.000000007", "\"2024-02-29T23:59:58.000000007\""},
      {PERIOD, join(join(material(int32_t{0}), material(int32_t{0})), material(int32_t{0})), "P0D",
       "\"P0D\""},
      {PERIOD, join(join(material(int32_t{1}), material(int32_t{-2})), material(int32_t{0})),
       "P1Y-2M", "\"P1Y-2M\""},
      {UUID, join(material(int64_t{-1}), material(int64_t{1})),
       "ffffffff-ffff-ffff-0000-000000000001", "\"ffffffff-ffff-ffff-0000-000000000001\""},
      {STRING, {}, "\"\"", "\"\""},
      {STRING, material("a\n\""), "\"a\n\"\"\"", "\"a\\n\\\"\""},
      // Well-formed UTF-8 passes; a stray continuation, a cut sequence, an overlong form and
      // a surrogate each become U+FFFD in JSON.
      {STRING, material("\xc3\xa9\x80\xe2\x82\xc0\xaf\xed\xa0\x80\xf0\x9f\x98\x80"),
       "\"\xc3\xa9\x80\xe2\x82\xc0\xaf\xed\xa0\x80\xf0\x9f\x98\x80\"",
       "\"\xc3\xa9\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\xf0\x9f\x98\x80\""},
      {BYTES, {}, "\"\"", "\"\""},
      {BYTES, testing::bytes_from({0x00, 0xff}), "\"00ff\"", "\"00ff\""},
      {OPAQUE, testing::bytes_from({0x00, 0xab}), "\"00ab\"", "\"00ab\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(inspect::type_name(c.type) + " " + c.csv);
    EXPECT_EQ(text(c.type, c.value, text_form::csv), c.csv);
    EXPECT_EQ(text(c.type, c.value, text_form::json), c.json);
  }
  std::string null_csv, null_json;
  inspect::append_value(null_csv, STRING, std::nullopt, text_form::csv);
  inspect::append_value(null_json, STRING, std::nullopt, text_form::json);
  EXPECT_EQ(null_csv, "");
  EXPECT_EQ(null_json, "null");

  // Timestamps over four centuries against the standard library's calendar.
  using namespace std::chrono;
  for (int64_t s = -6'000'000'000; s < 7'000'000'000; s += 86461 * 997) {
    const sys_seconds t{seconds{s}};
    const auto day = floor<days>(t);
    const year_month_day ymd{day};
    const hh_mm_ss hms{t - day};
    EXPECT_EQ(text(TIMESTAMP, join(material(s), material(int32_t{250000000})), text_form::csv),
              fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.25Z", int{ymd.year()},
                          unsigned{ymd.month()}, unsigned{ymd.day()}, hms.hours().count(),
                          hms.minutes().count(), hms.seconds().count()));
  }
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
  // Each damages a copy of the partition and returns the path verify must name.
  const struct {
    const char* what;
    std::function<fs::path(const fs::path& partition)> apply;
    const char* problem;
  } cases[] = {
      {"flipped byte in the layout", [](auto& p) { return flip_byte(newest_layout(p), 8); },
       "damaged"},
      {"truncated layout", [](auto& p) { return cut(newest_layout(p), -9); }, "damaged"},
      {"layout naming a segment twice",
       [](auto& p) {
         const uint64_t first = std::stoull(named_segments(p).front().filename().string());
         const auto bytes = encode_layout({{{first, first}}, {}});
         std::ofstream(newest_layout(p), std::ios::binary | std::ios::trunc)
             .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
         return newest_layout(p);
       },
       "damaged"},
      {"flipped byte in a block",
       [](auto& p) { return flip_byte(named_segments(p).back() / "c_string.bin", 0); }, "damaged"},
      {"truncated column file",
       [](auto& p) { return cut(named_segments(p).back() / "c_int64.bin", 7); }, "damaged"},
      {"flipped byte in an index",
       [](auto& p) { return flip_byte(named_segments(p).back() / "_index", 0).parent_path(); },
       "damaged"},
      {"truncated schema file",
       [](auto& p) { return cut(named_segments(p).front() / "_schema", 10); }, "damaged"},
      {"missing segment",
       [](auto& p) {
         fs::remove_all(named_segments(p).front());
         return named_segments(p).front();
       },
       "missing"},
      {"file where a segment directory is expected",
       [](auto& p) {
         const fs::path s = named_segments(p).front();
         fs::remove_all(s);
         std::ofstream(s) << "x";
         return s;
       },
       "damaged"},
      {"leftover segment directory",
       [](auto& p) {
         fs::copy(named_segments(p).front(), p / "999999");
         return p / "999999";
       },
       "leftover"},
  };
  for (const auto& d : cases) {
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
  const fs::path root = written().root;  // a refused command changes nothing
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
