#pragma once
// The storage of one root directory: a registry of every table partition found under the root
// or created since, each opened on demand (its merge tree built) and closed when its last user
// lets go. Dropping marks a partition and deletes its files once the last user is gone.
//
// Ownership: a `storage` shares its registry; every open table_partition holds the registry too,
// so the registry outlives the storage handle while partitions are held. The registry owns its
// entries; an entry owns its open partition.
// Locks: the registry mutex guards the entries, their counts and the registry's low watermark;
// trees are opened and closed outside it. Order: registry mutex, then a tree's low-watermark
// mutex. Thread-safe.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "storage/abstract_table.h"

namespace ombrel {

class merge_tree;
class table_partition;

class storage {
 public:
  class registry;

  struct partition_entry {
    std::string table_name;
    int32_t table_id = 0;
    int32_t partition_id = 0;
    std::string directory;
    std::unique_ptr<table_partition> partition;  // null while closed
    uint64_t references = 0;
    bool is_new = false;  // created by the host and not yet stored
  };

  // A row of the catalog.
  struct partition_info {
    std::string table_name;
    int32_t table_id = 0;
    int32_t partition_id = 0;
  };

  // Releases a table handle given to the host: a registered partition gives back its
  // reference, anything else is destroyed.
  struct table_deleter {
    static void run(abstract_table* table);
  };

  // Scans `root` (when it exists), finishing interrupted drops.
  explicit storage(const std::filesystem::path& root);
  ~storage();

  // A new partition with one reference held for the caller, or null when the name is empty or
  // the ids are already registered.
  table_partition* create_table_partition(const std::string& name, int32_t table,
                                          int32_t partition, const schema_descriptor& schema);
  // The open partition with one reference held for the caller, or null when unknown. A
  // partition id of -1 selects the first partition registered for the table.
  table_partition* get_table_partition(int32_t table, int32_t partition);
  void drop_table_partition(int32_t table, int32_t partition);
  void drop_table(int32_t table);
  // A new catalog of all partitions, owned by the caller (release with table_deleter).
  std::unique_ptr<abstract_table> get_table_catalog();

  const std::shared_ptr<registry>& get_registry() const { return registry_; }

 private:
  std::shared_ptr<registry> registry_;
};

class storage::registry : public std::enable_shared_from_this<storage::registry> {
 public:
  struct deleter {
    void operator()(partition_entry* entry) const;
    registry* owner = nullptr;
  };
  using entry_handle = std::unique_ptr<partition_entry, deleter>;

  explicit registry(std::filesystem::path root);
  ~registry();
  registry(const registry&) = delete;
  registry& operator=(const registry&) = delete;

  // Reads the root directory: every table/partition directory is opened and closed once.
  void scan();

  entry_handle make_entry(const std::string& name, int32_t table, int32_t partition, bool is_new);
  // Takes a reference on the entry, waiting while another thread is opening it.
  entry_handle find_table_partition_entry(int32_t table, int32_t partition);
  std::vector<entry_handle> find_entries(int32_t table);
  void acquire(partition_entry* entry);
  void release(partition_entry* entry);
  void store_table_partition(std::unique_ptr<table_partition> partition, partition_entry* entry);
  void broadcast_low_watermark(tx_timestamp timestamp);
  std::vector<partition_info> collect_partition_info();

  // The open partition of a held entry, opening it (outside the mutex) when it is closed.
  // Consumes the handle: its reference now belongs to the returned partition's holder.
  table_partition* open(entry_handle handle);

  const std::filesystem::path& root() const { return root_; }

 private:
  table_partition* open_partition_of(partition_entry* entry);

  std::filesystem::path root_;
  std::multimap<int32_t, std::unique_ptr<partition_entry>> entries_;
  tx_timestamp low_watermark_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
};

// One open partition: its merge tree and the user counter that decides when a dropped
// partition's files go. Bit 0 of the counter is set while the partition is not dropped; every
// open scan adds 2.
class table_partition : public abstract_table {
 public:
  table_partition(std::unique_ptr<merge_tree> tree, std::string table_name, int32_t table,
                  int32_t partition);
  ~table_partition() override;

  const schema_descriptor& get_schema() const override;
  std::unique_ptr<abstract_iterator> get_projection_pipeline(tx_timestamp timestamp,
                                                             const bitset& projection) override;
  std::unique_ptr<abstract_iterator> get_full_pipeline(tx_timestamp timestamp) override;

  merge_tree& tree() { return *tree_; }
  int32_t table_id() const { return table_id_; }
  int32_t partition_id() const { return partition_id_; }

  // Marks the tree dropped; the files go when the last scan ends (now, when none runs).
  void drop();

 private:
  friend class storage;
  friend class storage::registry;

  // A scan counted as a user until its iterator goes; null once dropped.
  std::unique_ptr<abstract_iterator> open_scan(tx_timestamp timestamp, const bitset* projection);
  void on_cursor_close();
  void leave(uint64_t amount);

  int32_t table_id_;
  std::unique_ptr<merge_tree> tree_;
  int32_t partition_id_;
  storage::partition_entry* entry_ = nullptr;
  std::shared_ptr<storage::registry> registry_;
  std::atomic<uint64_t> users_{1};
};

// The catalog of partitions: rows (partition id INT32, table id INT32, name STRING).
class tables_catalog : public abstract_table {
 public:
  explicit tables_catalog(std::shared_ptr<storage::registry> registry);

  const schema_descriptor& get_schema() const override;
  std::unique_ptr<abstract_iterator> get_projection_pipeline(tx_timestamp timestamp,
                                                             const bitset& projection) override;

 private:
  std::shared_ptr<storage::registry> registry_;
};

}  // namespace ombrel
