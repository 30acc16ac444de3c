#pragma once
// A merge tree seen as a scannable table, and segments written straight from workload rows:
// what the scan and aggregation benchmarks build their trees from.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "memtable/mem_table.h"
#include "memtable/mem_table_buffer_pool.h"
#include "model/tuple.h"
#include "tree/abstract_table.h"
#include "tree/merge_tree.h"
#include "tree/merge_tree_iterator.h"

namespace ombrel::bench {

class tree_table : public abstract_table {
 public:
  explicit tree_table(merge_tree& tree) : tree_(tree) {}
  const schema_descriptor& get_schema() const override { return tree_.get_schema(); }
  std::unique_ptr<abstract_iterator> get_projection_pipeline(tx_timestamp ts,
                                                             const bitset& projection) override {
    return tree_.get_iterator(ts, &projection);
  }
  std::unique_ptr<abstract_iterator> get_full_pipeline(tx_timestamp ts) override {
    return tree_.get_iterator(ts, nullptr);
  }

 private:
  merge_tree& tree_;
};

// Writes segments from mem-tables with buffers of their own.
class segment_writer : private mem_table::buffer_creator {
 public:
  segment_writer() : pool_(1 << 20, uint64_t{1} << 32) {}
  std::shared_ptr<segment> write(const std::filesystem::path& dir, const schema_descriptor& schema,
                                 const std::vector<std::vector<std::byte>>& rows, uint64_t begin,
                                 uint64_t end) {
    mem_table table(schema, pool_);
    const tuple_schema types = schema.get_tuple_schema();
    const material_tuple_schema material = schema.get_material_schema();
    for (uint64_t i = begin; i < end; ++i) {
      parsed_tuple parsed(types, material, bytes_view(rows[i].size(), rows[i].data()), false);
      table.ensure(parsed.material_size(), *this);
      table.insert(parsed, 1);
    }
    return std::make_shared<segment>(dir, schema, table);
  }

 private:
  mem_table_buffer* create_buffer(size_t size) override { return pool_.get_buffer(nullptr, size); }
  mem_table_buffer_pool pool_;
};

}  // namespace ombrel::bench
