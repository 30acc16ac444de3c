#include "native/batch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "native/errors.h"
#include "tests/support/testing.h"

namespace ombrel {
namespace {

class batch_writer {
 public:
  batch_writer() { put<int32_t>(0); }
  void count(int32_t n) { std::memcpy(bytes_.data(), &n, 4); }
  void record(int32_t marker, uint64_t a, uint64_t b, const std::string& payload,
              int32_t length = -2) {
    put<int32_t>(marker);
    put<int32_t>(length == -2 ? static_cast<int32_t>(payload.size()) : length);
    put<uint64_t>(a);
    put<uint64_t>(b);
    for (char c : payload) bytes_.push_back(static_cast<std::byte>(c));
  }
  const std::byte* data() const { return bytes_.data(); }

 private:
  template <typename T>
  void put(T v) {
    const size_t at = bytes_.size();
    bytes_.resize(at + sizeof(T));
    std::memcpy(bytes_.data() + at, &v, sizeof(T));
  }
  std::vector<std::byte> bytes_;
};

std::vector<std::string> walk(const batch_writer& w, std::vector<batch_record>* records = nullptr) {
  std::vector<std::string> payloads;
  for_each_batch_record(w.data(), [&](const batch_record& r) {
    payloads.emplace_back(r.payload.as_string());
    if (records) records->push_back(r);
  });
  return payloads;
}

TEST(BatchTest, RecordsAreWalkedInOrderWithHostIdWordsSwapped) {
  batch_writer w;
  w.record(0, 11, 22, "row-1");
  w.record(-1, 33, 44, "k");
  w.record(7, 55, 66, "");
  w.count(3);
  std::vector<batch_record> records;
  EXPECT_EQ(walk(w, &records), (std::vector<std::string>{"row-1", "k", ""}));
  EXPECT_FALSE(records[0].is_remove);
  EXPECT_TRUE(records[1].is_remove);
  EXPECT_FALSE(records[2].is_remove);  // any marker other than -1 is an upsert
  EXPECT_EQ(records[0].tx_id, (uuid{22, 11}));
  EXPECT_EQ(records[1].tx_id, (uuid{44, 33}));
}

TEST(BatchTest, CountBelowOneIsEmptyAndNegativeLengthIsRefused) {
  batch_writer w;
  w.record(0, 1, 2, "ignored");
  for (int32_t count : {0, -1, INT32_MIN}) {
    w.count(count);
    EXPECT_TRUE(walk(w).empty()) << count;
  }
  batch_writer bad;
  bad.record(0, 1, 2, "ok");
  bad.record(0, 1, 2, "", -5);
  bad.count(2);
  std::vector<std::string> seen;
  EXPECT_EQ(testing::message_of<errors::error>([&] {
              for_each_batch_record(bad.data(), [&](const batch_record& r) {
                seen.emplace_back(r.payload.as_string());
              });
            }),
            "Bad batch record 1: negative payload length -5");
  EXPECT_EQ(seen, std::vector<std::string>{"ok"});
}

}  // namespace
}  // namespace ombrel
