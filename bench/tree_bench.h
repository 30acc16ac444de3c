#pragma once
// A merge tree seen as a scannable table, segments written straight from workload rows, trees
// laid out as one compacted level or as several overlapping levels, and a digest of cursor
// pages: what the scan and aggregation benchmarks build their trees from and check them with.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "memtable/mem_table.h"
#include "memtable/mem_table_buffer_pool.h"
#include "model/tuple.h"
#include "storage/cursor.h"
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

  // `rows` (in key order) cut into `segments` segments named prefix0, prefix1, ... in `dir`.
  level write_level(const std::filesystem::path& dir, const std::string& prefix,
                    const schema_descriptor& schema,
                    const std::vector<std::vector<std::byte>>& rows, uint64_t segments) {
    level l;
    for (uint64_t s = 0; s < segments; ++s) {
      l.push_back(write(dir / (prefix + std::to_string(s)), schema, rows,
                        rows.size() * s / segments, rows.size() * (s + 1) / segments));
    }
    return l;
  }

 private:
  mem_table_buffer* create_buffer(size_t size) override { return pool_.get_buffer(nullptr, size); }
  mem_table_buffer_pool pool_;
};

// Makes `levels` (level 0 first) the tree's levels.
inline void install_levels(merge_tree& tree, std::vector<level> levels) {
  merge_tree_updater block = tree.block_tree_wait();
  auto state = std::make_shared<tree_state>(*tree.get_state(block));
  state->levels = std::move(levels);
  block.set_state(std::move(state));
}

// FNV-1a 64 over the rows of a filled page (each a 4-byte length and its tuple), continuing `h`.
inline uint64_t page_digest(uint64_t h, const std::byte* page, uint32_t rows) {
  for (uint32_t r = 0; r < rows; ++r) {
    uint32_t length;
    std::memcpy(&length, page, 4);
    for (uint32_t i = 0; i < length + 4; ++i) {
      h ^= static_cast<uint8_t>(page[i]);
      h *= 0x100000001B3ull;
    }
    page += length + 4;
  }
  return h;
}

inline constexpr uint64_t DIGEST_START = 0xCBF29CE484222325ull;

// Milliseconds over at least two seconds. Each scan benchmark is registered twice: timed by the
// scanning thread's CPU, and with MeasureProcessCPUTime() by every thread's, which counts the
// columns the pool decodes ahead for the scan too (the cost on one core).
inline void timing(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMillisecond)->MinTime(2.0);
}

}  // namespace ombrel::bench
