#include "model/tuple.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "model/big_integer.h"
#include "model/flat_tuple.h"
#include "model/schema_descriptor.h"
#include "native/errors.h"
#include "tests/support/schemas.h"
#include "tests/support/testing.h"
#include "tests/support/tuples.h"

namespace ombrel {
namespace {

using testing::column;
using testing::encode_tuple;
using testing::make_schema;
using testing::material;
using testing::message_of;
using testing::view;

bytes_view view_of(const std::string& s) { return {s.data(), s.size()}; }

// Parses `tuple` and writes its material form at an 8-aligned address of `area`.
struct material_area {
  alignas(16) std::byte area[512] = {};
  std::vector<const std::byte*> slots;
  std::byte* end = nullptr;

  material_area(const parsed_tuple& p) : slots(p.slot_count()) {
    material_tuple_builder b{area, slots.data()};
    p.make_material_tuple(b);
    end = b.position;
  }
  material_tuple get() const { return {slots.data(), static_cast<uint32_t>(slots.size())}; }
};

TEST(TupleTest, MaterialLayoutAlignsOnlyTheKeyPart) {
  const schema_descriptor s = make_schema(
      {column("a", INT8), column("b", INT64), column("c", STRING, true)}, {0, 1, NO_COLUMN});
  const auto ts = s.get_tuple_schema();
  const auto ms = s.get_material_schema();
  const auto row = encode_tuple({INT8, INT64, STRING},
                                {material(int8_t{1}), material(int64_t{2}), material("ab")});
  parsed_tuple p(ts, ms, view(row), false);
  EXPECT_EQ(p.get_material_size(nullptr), 22u);
  EXPECT_EQ(p.material_size(), 22u + 15u);
  material_area m(p);
  EXPECT_EQ(m.end - m.area, 22);
  EXPECT_EQ(m.slots[0], m.area);
  EXPECT_EQ(m.slots[1], m.area + 8);
  EXPECT_EQ(m.slots[2], m.area + 16);
  EXPECT_EQ(m.area[0], std::byte{1});
  int64_t v;
  std::memcpy(&v, m.area + 8, 8);
  EXPECT_EQ(v, 2);
  uint32_t len;
  std::memcpy(&len, m.area + 16, 4);
  EXPECT_EQ(len, 2u);
  EXPECT_EQ(std::memcmp(m.area + 20, "ab", 2), 0);

  // The same row with the string null ends after the INT64; from address 1 padding grows.
  const auto null_row =
      encode_tuple({INT8, INT64, STRING}, {material(int8_t{1}), material(int64_t{2}), {}});
  parsed_tuple pn(ts, ms, view(null_row), false);
  material_area mn(pn);
  EXPECT_EQ(mn.slots[2], nullptr);
  EXPECT_EQ(mn.end - mn.area, 16);
  EXPECT_EQ(pn.get_material_size(reinterpret_cast<const std::byte*>(1)), 15u);

  // A key-only tuple against the row schema fills just the key slots.
  const auto key_row = encode_tuple({INT8, INT64}, {material(int8_t{1}), material(int64_t{2})});
  const auto kts = s.get_key_tuple_schema();
  parsed_tuple pk(kts, ms, view(key_row), true);
  material_area mk(pk);
  EXPECT_NE(mk.slots[0], nullptr);
  EXPECT_NE(mk.slots[1], nullptr);
  EXPECT_EQ(mk.slots[2], nullptr);
  EXPECT_EQ(compare(ms, m.get(), mk.get()), 0);
}

TEST(TupleTest, MalformedTuplesAreRefusedWithClearTexts) {
  const schema_descriptor s =
      make_schema({column("k", INT64), column("v", DECIMAL, true)}, {0, NO_COLUMN});
  const auto ts = s.get_tuple_schema();
  const auto ms = s.get_material_schema();
  std::vector<std::byte> one{std::byte{0}};
  EXPECT_EQ(message_of([&] { parsed_tuple(ts, ms, view(one), false); }),
            "failed to parse tuple: Too short byte buffer");
  // Null key element.
  std::vector<std::byte> null_key{std::byte{0}, std::byte{0}, std::byte{0}};
  EXPECT_EQ(message_of([&] { parsed_tuple(ts, ms, view(null_key), false); }),
            "failed to parse tuple: key element 0 is null");
  // A three-byte INT64 and a two-byte DECIMAL.
  std::vector<std::byte> bad_int{std::byte{0}, std::byte{3}, std::byte{3},
                                 std::byte{1}, std::byte{2}, std::byte{3}};
  EXPECT_EQ(message_of([&] { parsed_tuple(ts, ms, view(bad_int), false); }),
            "failed to parse tuple: Bad element size");
  std::vector<std::byte> short_decimal{std::byte{0}, std::byte{1}, std::byte{3},
                                       std::byte{7}, std::byte{0}, std::byte{0}};
  EXPECT_EQ(message_of([&] { parsed_tuple(ts, ms, view(short_decimal), false); }),
            "failed to parse tuple: Bad element size");
  // Fewer elements than the key.
  tuple_schema none;
  std::vector<std::byte> empty{std::byte{0}};
  EXPECT_EQ(message_of([&] { parsed_tuple(none, ms, view(empty), false); }),
            "missing pkey columns");
}

TEST(TupleTest, KeyColumnsNeedNotLeadTheSchema) {
  // Declaration: v STRING, k2 INT32 (key position 1), w DOUBLE, k1 STRING (key position 0).
  const schema_descriptor s = make_schema(
      {column("v", STRING, true), column("k2", INT32), column("w", DOUBLE), column("k1", STRING)},
      {NO_COLUMN, 1, NO_COLUMN, 0});
  const auto ts = s.get_tuple_schema();
  const auto kts = s.get_key_tuple_schema();
  const auto ms = s.get_material_schema();
  const auto kms = s.get_material_key_schema();
  auto row = [&](const std::string& k1, int32_t k2, const std::string& v) {
    return encode_tuple({STRING, INT32, DOUBLE, STRING},
                        {material(v), material(k2), material(0.5), material(k1)});
  };
  auto key = [&](const std::string& k1, int32_t k2) {
    return encode_tuple({STRING, INT32}, {material(k1), material(k2)});
  };
  const auto r1 = row("apple", 7, "x");
  const auto r2 = row("apple", 9, "y");
  const auto r3 = row("banana", 1, "z");
  material_area m1(parsed_tuple(ts, ms, view(r1), false));
  material_area m2(parsed_tuple(ts, ms, view(r2), false));
  material_area m3(parsed_tuple(ts, ms, view(r3), false));
  EXPECT_LT(compare(ms, m1.get(), m2.get()), 0);  // same k1, k2 decides
  EXPECT_LT(compare(ms, m2.get(), m3.get()), 0);  // k1 decides before k2
  const auto k = key("apple", 9);
  material_area mk(parsed_tuple(kts, ms, view(k), true));
  material_area mkk(parsed_tuple(kts, kms, view(k), true));
  EXPECT_EQ(compare(ms, m2.get(), mk.get()), 0);
  EXPECT_EQ(compare(kms, mk.get(), mkk.get()), 0);
  EXPECT_GT(compare(ms, m2.get(), m1.get()), 0);

  // Back to a binary row in declaration order from the material slots.
  row_values back;
  std::vector<ombrel_type> types;
  for (uint32_t c = 0; c < 4; ++c) {
    const auto& e = ms[s.material_positions[c]];
    const std::byte* p = m2.slots[s.material_positions[c]];
    back.push_back(e.size ? bytes_view(e.size, p)
                          : bytes_view(*reinterpret_cast<const uint32_t*>(p), p + 4));
    types.push_back(e.type);
  }
  EXPECT_EQ(encode_tuple(types, back), r2);
}

// Material bytes of a random value of `type`.
std::vector<std::byte> random_material(ombrel_type type, std::mt19937_64& rng) {
  auto bytes_of = [](const auto& v) {
    std::vector<std::byte> out(sizeof(v));
    std::memcpy(out.data(), &v, sizeof(v));
    return out;
  };
  auto pick = [&](std::initializer_list<int64_t> choices) {
    return *(choices.begin() + rng() % choices.size());
  };
  switch (type) {
    case BOOL:
      return {std::byte(rng() & 1)};
    case INT8:
      return bytes_of(static_cast<int8_t>(rng()));
    case INT16:
      return bytes_of(static_cast<int16_t>(rng() >> (rng() % 16)));
    case INT32:
      return bytes_of(static_cast<int32_t>(rng() >> (rng() % 32)));
    case INT64:
      return bytes_of(static_cast<int64_t>(rng() >> (rng() % 64)));
    case FLOAT:
      return bytes_of(static_cast<float>(static_cast<int64_t>(rng())) / 7.0f);
    case DOUBLE:
      return bytes_of(rng() % 2 ? 0.5 * static_cast<double>(rng() % 1000)
                                : static_cast<double>(rng()) / 3.0);
    case DATE:
    case TIME:
    case DATE_TIME: {
      const int64_t year = static_cast<int64_t>(rng() % 32768) - 16384;
      const uint32_t date =
          static_cast<uint32_t>((year * 512 + (1 + rng() % 12) * 32 + 1 + rng() % 31)) & 0xFFFFFF;
      const uint64_t nano = (rng() % 1000000000) / static_cast<uint64_t>(pick({1, 1000, 1000000}));
      const uint64_t scaled = nano * static_cast<uint64_t>(pick({1, 1000, 1000000})) % 1000000000;
      const uint64_t time =
          scaled | ((rng() % 60) << 30) | ((rng() % 60) << 36) | ((rng() % 24) << 42);
      std::vector<std::byte> out;
      const auto date_bytes = bytes_of(date);
      const auto time_bytes = bytes_of(time);
      if (type != TIME) out.insert(out.end(), date_bytes.begin(), date_bytes.begin() + 3);
      if (type != DATE) out.insert(out.end(), time_bytes.begin(), time_bytes.begin() + 6);
      return out;
    }
    case TIMESTAMP:
    case DURATION: {
      auto out = bytes_of(static_cast<int64_t>(rng()));
      const auto nanos = bytes_of(static_cast<int32_t>(rng() % 2 ? 0 : rng() % 1000000000));
      out.insert(out.end(), nanos.begin(), nanos.end());
      return out;
    }
    case PERIOD: {
      const int shift = static_cast<int>(pick({56, 48, 32}));
      std::vector<std::byte> out;
      for (int i = 0; i < 3; ++i) {
        const auto part =
            bytes_of(static_cast<int32_t>(static_cast<int64_t>(rng()) >> (shift + 1)));
        out.insert(out.end(), part.begin(), part.end());
      }
      return out;
    }
    case UUID: {
      auto out = bytes_of(rng());
      const auto low = bytes_of(rng());
      out.insert(out.end(), low.begin(), low.end());
      return out;
    }
    case OPAQUE:
    case STRING:
    case BYTES: {
      std::vector<std::byte> out(rng() % 300);
      for (auto& b : out) b = std::byte(rng());
      if (!out.empty() && rng() % 4 == 0) out[0] = std::byte{0x80};
      return out;
    }
    case NUMBER:
    case DECIMAL: {
      big_integer n(static_cast<int64_t>(rng()) >> (rng() % 64));
      if (rng() % 4 == 0) {
        big_integer big;
        n.multiply(big_integer(static_cast<int64_t>(rng())), big);
        n = big;
      }
      std::vector<std::byte> out(n.byte_size());
      n.store_bytes(out.data());
      if (type == NUMBER) return out;
      const int16_t scale = n.is_zero() ? 0 : static_cast<int16_t>(rng());
      auto prefix = bytes_of(scale);
      out.insert(out.begin(), prefix.begin(), prefix.end());
      return out;
    }
    default:
      return {};
  }
}

TEST(TupleTest, EveryTypeRoundTripsThroughBinaryAndMaterialForms) {
  const uint64_t seed = testing::test_seed();
  SCOPED_TRACE(seed);
  std::mt19937_64 rng(seed);
  std::vector<column_descriptor> columns{column("k", INT64)};
  std::vector<uint32_t> positions{0};
  for (int t = BOOL; t <= NUMBER; ++t) {
    columns.push_back(column("c" + std::to_string(t), static_cast<ombrel_type>(t), true));
    positions.push_back(NO_COLUMN);
  }
  const schema_descriptor s = make_schema(columns, positions);
  const auto ts = s.get_tuple_schema();
  const auto ms = s.get_material_schema();
  std::vector<ombrel_type> types;
  for (const auto& c : columns) types.push_back(c.type);
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::vector<std::byte>> values(columns.size());
    row_values row(columns.size());
    for (size_t c = 0; c < columns.size(); ++c) {
      if (c > 0 && rng() % 5 == 0) continue;  // null
      values[c] = random_material(columns[c].type, rng);
      row[c] = view(values[c]);
    }
    const std::vector<std::byte> tuple = encode_tuple(types, row);
    // Cursor pages write rows with tuple_row_writer: the builder's bytes, for every column and
    // for the columns it encodes itself.
    std::vector<size_t> all(columns.size()), direct;
    for (size_t c = 0; c < columns.size(); ++c) {
      all[c] = c;
      const ombrel_type t = columns[c].type;
      if (t <= DOUBLE || t == TIMESTAMP || t == DURATION || t == UUID || t == OPAQUE ||
          t == STRING || t == BYTES) {
        direct.push_back(c);
      }
    }
    for (const std::vector<size_t>& pick : {all, direct}) {
      tuple_schema picked_schema;
      std::vector<ombrel_type> picked_types;
      row_values values;
      for (size_t c : pick) {
        picked_schema.push_back(ts[c]);
        picked_types.push_back(types[c]);
        values.push_back(row[c]);
      }
      tuple_row_writer writer(picked_schema);
      std::vector<std::byte> written(writer.size(values));
      writer.write(values, written.data());
      ASSERT_EQ(written, encode_tuple(picked_types, values)) << pick.size() << " columns";
    }
    parsed_tuple p(ts, ms, view(tuple), false);
    owned_material_tuple owned(p);
    const material_tuple m = owned.get();
    for (size_t c = 0; c < columns.size(); ++c) {
      const std::byte* got = m[s.material_positions[c]];
      if (!row[c]) {
        EXPECT_EQ(got, nullptr) << "column " << c;
        continue;
      }
      ASSERT_NE(got, nullptr) << "column " << c;
      if (columns[c].size != 0) {
        EXPECT_EQ(std::memcmp(got, values[c].data(), columns[c].size), 0) << "column " << c;
      } else {
        uint32_t len;
        std::memcpy(&len, got, 4);
        ASSERT_EQ(len, values[c].size()) << "column " << c;
        if (len > 0) {
          EXPECT_EQ(std::memcmp(got + 4, values[c].data(), len), 0) << "column " << c;
        }
      }
    }
  }
}

TEST(TupleTest, ComparisonOrders) {
  auto fixed = [](ombrel_type t, auto a, auto b) {
    return compare_fixed(t, reinterpret_cast<const std::byte*>(&a),
                         reinterpret_cast<const std::byte*>(&b));
  };
  EXPECT_LT(fixed(INT64, int64_t{-5}, int64_t{3}), 0);
  EXPECT_GT(fixed(INT8, int8_t{1}, int8_t{-128}), 0);
  EXPECT_LT(fixed(INT32, int32_t{INT32_MIN}, int32_t{INT32_MAX}), 0);
  EXPECT_EQ(fixed(DOUBLE, -0.0, 0.0), 0);
  // A total order: NaNs last and equal to each other, whatever their sign and payload.
  EXPECT_EQ(fixed(DOUBLE, std::nan(""), 1.0), 1);
  EXPECT_EQ(fixed(DOUBLE, HUGE_VAL, std::nan("")), -1);
  EXPECT_EQ(fixed(DOUBLE, -std::nan("1"), std::nan("")), 0);
  EXPECT_EQ(fixed(FLOAT, std::nanf(""), std::nanf("")), 0);
  EXPECT_EQ(fixed(FLOAT, -0.0f, 0.0f), 0);
  EXPECT_LT(fixed(BOOL, uint8_t{0}, uint8_t{1}), 0);
  // Dates: negative years sort first; then month, then day.
  auto date = [](int32_t y, int m, int d) {
    const uint32_t packed = static_cast<uint32_t>(y * 512 + m * 32 + d) & 0xFFFFFF;
    return packed;
  };
  EXPECT_LT(fixed(DATE, date(-1, 12, 31), date(0, 1, 1)), 0);
  EXPECT_LT(fixed(DATE, date(2020, 2, 28), date(2020, 3, 1)), 0);
  EXPECT_GT(fixed(DATE, date(2020, 3, 2), date(2020, 3, 1)), 0);
  auto time = [](uint64_t h, uint64_t m, uint64_t s, uint64_t n) {
    return n | s << 30 | m << 36 | h << 42;
  };
  EXPECT_LT(fixed(TIME, time(1, 59, 59, 999999999), time(2, 0, 0, 0)), 0);
  EXPECT_LT(fixed(TIME, time(2, 0, 0, 1), time(2, 0, 0, 2)), 0);
  struct ts {
    int64_t s;
    int32_t n;
    int32_t pad = 0;
  };
  EXPECT_LT(fixed(TIMESTAMP, ts{-1, 999}, ts{0, 0}), 0);
  EXPECT_LT(fixed(DURATION, ts{5, 1}, ts{5, 2}), 0);
  int64_t u1[2] = {-1, 5}, u2[2] = {0, -5};
  EXPECT_LT(compare_fixed(UUID, reinterpret_cast<std::byte*>(u1), reinterpret_cast<std::byte*>(u2)),
            0);
  EXPECT_EQ(message_of([&] { fixed(NONE, 0, 0); }), "Unimplemented for these types");

  auto varlen = [](ombrel_type t, std::vector<uint8_t> a, std::vector<uint8_t> b) {
    std::vector<std::byte> x(4 + a.size()), y(4 + b.size());
    const uint32_t la = static_cast<uint32_t>(a.size()), lb = static_cast<uint32_t>(b.size());
    std::memcpy(x.data(), &la, 4);
    std::memcpy(y.data(), &lb, 4);
    if (la) std::memcpy(x.data() + 4, a.data(), la);
    if (lb) std::memcpy(y.data() + 4, b.data(), lb);
    return compare_varlen(t, x.data(), y.data());
  };
  EXPECT_LT(varlen(STRING, {'a', 'b'}, {'a', 'b', 'c'}), 0);
  EXPECT_GT(varlen(BYTES, {0xff}, {0x01, 0x00}), 0);  // unsigned bytes
  EXPECT_LT(varlen(OPAQUE, {}, {0}), 0);
  EXPECT_EQ(varlen(STRING, {'x'}, {'x'}), 0);
  // DECIMAL 1.50 (scale 2) equals 1.5 (scale 1); NUMBER -1 before 0x00 0x80 (128).
  EXPECT_EQ(varlen(DECIMAL, {2, 0, 0, 150}, {1, 0, 15}), 0);
  EXPECT_LT(varlen(NUMBER, {0xff}, {0x00, 0x80}), 0);
  EXPECT_EQ(message_of([&] { varlen(INT32, {}, {}); }), "Unimplemented for these types");
}

TEST(TupleTest, DirectBuilderWritesOnlyWhenItFits) {
  tuple_builder_direct b(1);
  b.start();
  const std::string text = "hello";
  b.claim(STRING, view_of(text));
  std::byte small[4];
  EXPECT_EQ(b.layout(small, sizeof small), 7u);
  std::byte room[16] = {};
  ASSERT_EQ(b.layout(room, sizeof room), 7u);
  b.append(STRING, view_of(text));
  EXPECT_EQ(room[0], std::byte{0});
  EXPECT_EQ(room[1], std::byte{5});
  EXPECT_EQ(std::memcmp(room + 2, "hello", 5), 0);
}

// Pages take runs of rows in one pass: the same bytes as row by row, for every directly encoded
// type, nulls, empty and escaped strings, and rows whose offsets take 1, 2 or 4 bytes.
TEST(TupleTest, RunsOfRowsWriteTheBytesOfSingleRows) {
  const uint64_t seed = testing::test_seed();
  SCOPED_TRACE(seed);
  std::mt19937_64 rng(seed);
  const std::vector<ombrel_type> types{INT8,   INT16,     INT32,    INT64, BOOL,   FLOAT,
                                       DOUBLE, TIMESTAMP, DURATION, UUID,  STRING, BYTES};
  std::vector<column_descriptor> columns;
  std::vector<uint32_t> positions;
  for (ombrel_type t : types) {
    columns.push_back(column("c" + std::to_string(columns.size()), t, true));
    positions.push_back(NO_COLUMN);
  }
  columns.front().nullable = false;
  positions.front() = 0;
  const tuple_schema ts = make_schema(columns, positions).get_tuple_schema();
  constexpr uint32_t ROWS = 60;
  for (int round = 0; round < 20; ++round) {
    std::vector<std::vector<std::byte>> data(types.size());
    std::vector<std::vector<uint64_t>> ends(types.size());
    std::vector<bitset> nulls(types.size(), bitset(ROWS));
    for (size_t c = 0; c < types.size(); ++c) {
      for (uint32_t r = 0; r < ROWS; ++r) {
        std::vector<std::byte> v = random_material(types[c], rng);
        if (columns[c].size == 0 && rng() % 8 == 0) {
          v.assign(rng() % 2 ? 300 : 70000, std::byte{'x'});  // wider offset entries
        }
        const bool null = c > 0 && rng() % 6 == 0;
        nulls[c].set(r, null);
        if (null && columns[c].size != 0) v.assign(columns[c].size, std::byte{0});
        if (null && columns[c].size == 0) v.clear();
        data[c].insert(data[c].end(), v.begin(), v.end());
        ends[c].push_back(data[c].size());
      }
    }
    std::vector<column_values> run(types.size());
    for (size_t c = 0; c < types.size(); ++c) {
      run[c] = {data[c].data(), columns[c].size == 0 ? ends[c].data() : nullptr, columns[c].size,
                c == 0 ? nullptr : &nulls[c]};
    }
    const uint32_t first = static_cast<uint32_t>(rng() % 10);
    const uint32_t count = ROWS - first - static_cast<uint32_t>(rng() % 3);
    tuple_row_writer rows(ts), runs(ts);
    std::vector<std::byte> expected;
    uint32_t longest = 0;
    for (uint32_t i = 0; i < count; ++i) {
      row_values row(types.size());
      for (size_t c = 0; c < types.size(); ++c) {
        if (!run[c].is_null(first + i)) row[c] = run[c].value(first + i);
      }
      const auto size = static_cast<uint32_t>(rows.size(row));
      longest = std::max(longest, size);
      expected.resize(expected.size() + 4 + size);
      std::memcpy(expected.data() + expected.size() - 4 - size, &size, 4);
      rows.write(row, expected.data() + expected.size() - size);
    }
    const std::optional<uint64_t> room = runs.page_room(run.data(), first, count);
    ASSERT_TRUE(room);
    ASSERT_GE(*room, expected.size());
    // Exactly the room: writing past it is caught by the address sanitizer.
    std::vector<std::byte> page(*room);
    uint32_t widest = 0;
    ASSERT_EQ(runs.write_page_rows(run.data(), first, count, page.data(), widest), expected.size());
    EXPECT_EQ(widest, longest);
    page.resize(expected.size());
    ASSERT_EQ(page, expected);
  }
}

}  // namespace
}  // namespace ombrel
