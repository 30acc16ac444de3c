#pragma once
// The storage of one root directory: a registry of every table partition found under the root
// or created since, each opened on demand (its merge tree built) and closed when its last user
// lets go. Dropping marks a partition and deletes its files once the last user is gone.
//
// Ownership: a `storage` shares its registry; every open table_partition holds the registry too,
// so the registry outlives the storage handle while partitions are held. The registry owns its
// entries; an entry owns its open partition. The registry holds an exclusive lock of the root
// directory for its lifetime, so that one root has one storage across processes.
// Locks: the registry mutex guards the entries, their counts and states and the registry's low
// watermark; trees are opened and closed outside it, while their entry is "opening" or
// "closing", and callers wanting the partition meanwhile wait for the entry to settle. Order:
// registry mutex, then a tree's low-watermark mutex. Thread-safe.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "model/file.h"
#include "tree/abstract_table.h"

namespace ombrel {

class merge_tree;
class table_partition;

class storage {
 public:
  class registry;

  // A partition directory's file holding its table name.
  static constexpr const char* NAME_FILENAME = "name";
  // A new partition is written under its directory name with this suffix, then renamed into
  // place; the start-up scan removes what a crash left under such a name.
  static constexpr std::string_view CREATING_SUFFIX = ".creating";

  // open: `partition` is set. opening, closing: one holder builds or destroys the tree outside
  // the mutex. closed: the next holder that wants the partition opens it.
  enum class entry_state { closed, opening, open, closing };

  struct partition_entry {
    std::string table_name;
    int32_t table_id = 0;
    int32_t partition_id = 0;
    std::string directory;
    std::unique_ptr<table_partition> partition;  // set while open
    uint64_t references = 0;
    entry_state state = entry_state::closed;
    // Out of the registry (failed creation, dropped) while holders remain: they get no partition.
    bool removed = false;
    // Why the start-up scan could not open the tree; opening the partition fails with it.
    std::string refusal;
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
  table_partition* create_table_partition(const std::string& name, int32_t table, int32_t partition,
                                          const schema_descriptor& schema);
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

  // Creates the root when missing and locks it; errors::error when another registry (of this
  // process or another) holds it.
  explicit registry(std::filesystem::path root);
  ~registry();
  registry(const registry&) = delete;
  registry& operator=(const registry&) = delete;

  // Reads the root directory: every table/partition directory is opened and closed once. A
  // partition whose tree or name cannot be read is registered refused, and logged.
  void scan();

  // A new entry, or an empty handle when the ids are registered. A new partition of the host
  // (`is_new`) starts "opening": the caller stores its partition or abandons the creation.
  entry_handle make_entry(const std::string& name, int32_t table, int32_t partition, bool is_new);
  // Takes a reference on the entry; open() waits while another thread opens or closes it.
  entry_handle find_table_partition_entry(int32_t table, int32_t partition);
  std::vector<entry_handle> find_entries(int32_t table);
  void acquire(partition_entry* entry);
  void release(partition_entry* entry);
  void store_table_partition(std::unique_ptr<table_partition> partition, partition_entry* entry);
  // A creation that failed: the entry leaves the registry and its waiters get no partition.
  void abandon(entry_handle handle);
  void broadcast_low_watermark(tx_timestamp timestamp);
  std::vector<partition_info> collect_partition_info();

  // The open partition of a held entry, opening it (outside the mutex) when it is closed and
  // waiting while another holder opens or closes it. Consumes the handle: its reference belongs
  // to the returned partition's holder. Null when the entry left the registry meanwhile; a
  // failed open gives the reference back and throws, leaving the entry closed.
  table_partition* open(entry_handle handle);

  const std::filesystem::path& root() const { return root_; }

 private:
  void scan_partition(int32_t table, int32_t partition, const std::filesystem::path& directory);
  // Takes the entry out of the lookups; free_if_unheld_locked frees it once nobody holds or
  // closes it. REQUIRES: mutex_ held.
  void remove_locked(partition_entry* entry);
  void free_if_unheld_locked(partition_entry* entry);

  std::filesystem::path root_;
  file root_lock_;
  std::multimap<int32_t, std::unique_ptr<partition_entry>> entries_;
  // Entries out of the registry that still have holders.
  std::vector<std::unique_ptr<partition_entry>> removed_;
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
