// The workload's phases on RocksDB: WAL off, LZ4, a 1 GiB LRU block cache, full bloom filters of
// 10 bits per key, keys as 8-byte big-endian, values packed. One column family per partition.
// RocksDB has no query layer, so scans and aggregates are iterator loops folding in C++.
#include <rocksdb/cache.h>
#include <rocksdb/db.h>
#include <rocksdb/filter_policy.h>
#include <rocksdb/options.h>
#include <rocksdb/table.h>
#include <rocksdb/version.h>
#include <rocksdb/write_batch.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/peers/peers.h"

namespace {

using namespace ombrel::bench;

void ok(const rocksdb::Status& status, const char* what) {
  if (!status.ok()) throw std::runtime_error(std::string(what) + ": " + status.ToString());
}

class rocksdb_store : public store {
 public:
  rocksdb_store(std::filesystem::path dir, int partitions) : dir_(std::move(dir)) {
    options_.create_if_missing = true;
    options_.create_missing_column_families = true;
    options_.compression = rocksdb::kLZ4Compression;
    rocksdb::BlockBasedTableOptions table;
    table.block_cache = rocksdb::NewLRUCache(size_t{1} << 30);
    table.filter_policy.reset(rocksdb::NewBloomFilterPolicy(10));
    options_.table_factory.reset(rocksdb::NewBlockBasedTableFactory(table));
    families_.emplace_back(rocksdb::kDefaultColumnFamilyName, options_);
    for (int p = 1; p < partitions; ++p) families_.emplace_back("p" + std::to_string(p), options_);
    write_options_.disableWAL = true;
    open();
  }
  ~rocksdb_store() override { close(); }

  void write(int partition, std::span<const workload_row* const> rows) override {
    rocksdb::WriteBatch batch;
    char key[KEY_SIZE];
    char value[PACKED_VALUE_SIZE];
    for (const workload_row* r : rows) {
      encode_key(r->k, key);
      pack_value(*r, value);
      ok(batch.Put(handles_.at(partition), rocksdb::Slice(key, KEY_SIZE),
                   rocksdb::Slice(value, PACKED_VALUE_SIZE)),
         "put");
    }
    ok(db_->Write(write_options_, &batch), "write");
  }

  void make_durable_and_compacted() override {
    // Without a WAL only flushed rows survive the close.
    ok(db_->Flush(rocksdb::FlushOptions(), handles_), "flush");
    close();
    open();
    ok(db_->CompactRange(rocksdb::CompactRangeOptions(), handles_[0], nullptr, nullptr),
       "compact range");
  }

  bool read(int64_t k, workload_row& out) override {
    char key[KEY_SIZE];
    encode_key(k, key);
    const rocksdb::Status status =
        db_->Get(rocksdb::ReadOptions(), handles_[0], rocksdb::Slice(key, KEY_SIZE), &value_);
    if (status.IsNotFound()) return false;
    ok(status, "get");
    out.k = k;
    if (!unpack_value(std::string_view(value_.data(), value_.size()), out)) {
      throw std::runtime_error("bad value size " + std::to_string(value_.size()));
    }
    return true;
  }

  void scan(const row_sink& sink) override {
    std::unique_ptr<rocksdb::Iterator> it(db_->NewIterator(rocksdb::ReadOptions(), handles_[0]));
    workload_row r{};
    for (it->SeekToFirst(); it->Valid(); it->Next()) {
      const rocksdb::Slice key = it->key();
      const rocksdb::Slice value = it->value();
      if (key.size() != KEY_SIZE ||
          !unpack_value(std::string_view(value.data(), value.size()), r)) {
        throw std::runtime_error("bad key or value size");
      }
      r.k = decode_key(key.data());
      sink(r);
    }
    ok(it->status(), "iterator");
  }

  ungrouped_result ungrouped() override {
    ungrouped_fold fold;
    scan([&](const workload_row& r) { fold.add(r); });
    return fold.result();
  }

  std::vector<group_result> group_by_c1() override {
    group_fold fold;
    scan([&](const workload_row& r) { fold.add(r); });
    return fold.result();
  }

 private:
  void open() {
    rocksdb::DB* db = nullptr;
    ok(rocksdb::DB::Open(rocksdb::DBOptions(options_), dir_.string(), families_, &handles_, &db),
       "open");
    db_.reset(db);
  }
  void close() {
    if (!db_) return;
    for (rocksdb::ColumnFamilyHandle* h : handles_) db_->DestroyColumnFamilyHandle(h);
    handles_.clear();
    const rocksdb::Status status = db_->Close();
    db_.reset();
    ok(status, "close");
  }

  std::filesystem::path dir_;
  rocksdb::Options options_;
  std::vector<rocksdb::ColumnFamilyDescriptor> families_;
  rocksdb::WriteOptions write_options_;
  std::unique_ptr<rocksdb::DB> db_;
  std::vector<rocksdb::ColumnFamilyHandle*> handles_;  // owned by db_, destroyed before it
  rocksdb::PinnableSlice value_;
};

class rocksdb_peer : public peer {
 public:
  std::string name() const override { return "RocksDB"; }
  std::string version() const override {
    return std::to_string(ROCKSDB_MAJOR) + "." + std::to_string(ROCKSDB_MINOR) + "." +
           std::to_string(ROCKSDB_PATCH);
  }
  std::string configuration() const override {
    return "C++ API; WAL off; LZ4; 1 GiB LRU block cache; full bloom filters of 10 bits per key; "
           "keys 8-byte big-endian, values packed (40 bytes); one WriteBatch per batch; one column "
           "family per partition; durable = Flush, close, reopen, CompactRange over all keys; "
           "scans and aggregates are iterator loops in C++ (no query layer)";
  }
  std::unique_ptr<store> create(const std::filesystem::path& dir, int partitions) override {
    return std::make_unique<rocksdb_store>(dir / "db", partitions);
  }
};

}  // namespace

namespace ombrel::bench {

std::unique_ptr<peer> make_rocksdb_peer() { return std::make_unique<rocksdb_peer>(); }

}  // namespace ombrel::bench
