// The side-by-side benchmark's peer harnesses: their encoders carry the workload's check values,
// and each peer answers every phase like the generator on a small table.
#include "bench/peers/peers.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "tests/support/test_dir.h"

namespace ombrel::bench {
namespace {

TEST(PeerEncoders, KeysAreBigEndianAndKeepTheirOrder) {
  char key[KEY_SIZE];
  encode_key(0x0102030405060708, key);
  EXPECT_EQ(std::string(key, KEY_SIZE), std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
  EXPECT_EQ(decode_key(key), 0x0102030405060708);
  char next[KEY_SIZE];
  encode_key(255, key);
  encode_key(256, next);
  EXPECT_LT(std::string(key, KEY_SIZE), std::string(next, KEY_SIZE));
}

TEST(PeerEncoders, PackedValuesAreFortyLittleEndianBytes) {
  workload_row r{};
  r.c1 = 0x01020304;
  r.c2 = 1.0;
  std::memcpy(r.c3, "abcdefghijklmnop", 16);
  r.c4_seconds = 0x0102030405060708;
  r.c4_nanos = 5;
  char value[PACKED_VALUE_SIZE];
  pack_value(r, value);
  EXPECT_EQ(std::string(value, PACKED_VALUE_SIZE), std::string("\x04\x03\x02\x01"
                                                               "\x00\x00\x00\x00\x00\x00\xF0\x3F"
                                                               "abcdefghijklmnop"
                                                               "\x08\x07\x06\x05\x04\x03\x02\x01"
                                                               "\x05\x00\x00\x00",
                                                               40));
  workload_row back{};
  EXPECT_FALSE(unpack_value(std::string_view(value, 39), back));
}

// The 2,000,000 rows through each peer's encoding and back give the workload's check values.
TEST(PeerEncoders, RoundTripsKeepTheWorkloadCheckValues) {
  const std::vector<workload_row> rows = make_rows(2000000);
  row_digest packed, sqlite;
  int64_t sum_c1 = 0;
  for (const workload_row& r : rows) {
    char key[KEY_SIZE];
    char value[PACKED_VALUE_SIZE];
    encode_key(r.k, key);
    pack_value(r, value);
    workload_row back{};
    back.k = decode_key(key);
    ASSERT_TRUE(unpack_value(std::string_view(value, PACKED_VALUE_SIZE), back));
    packed.add(back);
    sum_c1 += back.c1;
    split_timestamp_nanos(timestamp_nanos(r.c4_seconds, r.c4_nanos), back.c4_seconds,
                          back.c4_nanos);
    sqlite.add(back);
  }
  EXPECT_EQ(sum_c1, 999022938);
  EXPECT_EQ(packed.value(), 0xa04492676559df7eull);
  EXPECT_EQ(sqlite.value(), 0xa04492676559df7eull);
}

TEST(PeerEncoders, SqliteTimestampsOrderLikeSecondsThenNanosAndRefuseOverflow) {
  int64_t seconds;
  int32_t nanos;
  split_timestamp_nanos(timestamp_nanos(-1, 999999999), seconds, nanos);
  EXPECT_EQ(seconds, -1);
  EXPECT_EQ(nanos, 999999999);
  EXPECT_LT(timestamp_nanos(-1, 999999999), timestamp_nanos(0, 0));
  EXPECT_EQ(timestamp_nanos(9223372036, 854775807), INT64_MAX);
  try {
    timestamp_nanos(9223372036, 854775808);
    FAIL() << "no error";
  } catch (const std::range_error& e) {
    EXPECT_STREQ(e.what(), "timestamp 9223372036.854775808 does not fit in 64-bit nanoseconds");
  }
}

// Every phase once on 3,000 rows: the harness compares each answer with the generator's and
// fails the phase otherwise; the printed digest is the generator's.
TEST(PeerHarness, EveryPeerAnswersEveryPhaseOnASmallTable) {
  char digest[32];
  std::snprintf(digest, sizeof digest, "%016" PRIx64, fingerprint(make_rows(3000)));
  for (auto make : {make_rocksdb_peer, make_sqlite_peer}) {
    testing::test_dir dir;
    std::unique_ptr<peer> p = make();
    run_options o;
    o.rows = 3000;
    o.lookups = 500;
    o.runs = 1;
    o.dir = dir.path();
    ::testing::internal::CaptureStdout();
    const int status = run_phases(*p, o);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out.find("fail\t"), std::string::npos) << out;
    EXPECT_NE(out.find("check\t" + p->name() + "\tdigest\t" + digest + "\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("result\t" + p->name() + "\tingest_two_threads\trate\t"), std::string::npos)
        << out;
  }
}

}  // namespace
}  // namespace ombrel::bench
