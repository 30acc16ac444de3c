#include "segment/column_block_reader.h"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "model/file.h"
#include "native/errors.h"
#include "segment/compression.h"

namespace ombrel {
namespace {

std::atomic<uint64_t> g_decoded_blocks{0};

// Bytes an entry costs beyond its buffers: the block object, its control block and the
// cache's list and map nodes.
constexpr uint64_t ENTRY_OVERHEAD = 192;

std::unique_ptr<std::byte[]> read_stored(const column_layout& layout, uint64_t offset,
                                         uint64_t bytes) {
  auto source = std::make_unique_for_overwrite<std::byte[]>(std::max<uint64_t>(bytes, 1));
  file::for_reading(layout.path()).read(offset, source.get(), bytes);
  return source;
}

// Refuses a block that cannot decode to its size before anything is allocated for it; a
// block that fails its hash is reported as such first, as decoding it would.
void check_shape(const column_layout& layout, size_t header, const std::byte* source) {
  const storage_block_header& h = layout.headers()[header];
  try {
    check_block_shape(source, layout.decoded_type(header), h);
  } catch (const errors::error& e) {
    if (calculate_hash(source, std::min<uint64_t>(h.stored_size, INT32_MAX)) != h.hash) {
      throw errors::error("Block hash mismatch!");
    }
    if (const auto* corrupted = dynamic_cast<const corrupted_block_error*>(&e)) {
      layout.refuse_block(header, corrupted->detail());
    }
    throw;
  }
}

void decode(const column_layout& layout, size_t header, std::byte* destination,
            const std::byte* source) {
  try {
    decompress(destination, source, layout.decoded_type(header), layout.headers()[header]);
  } catch (const corrupted_block_error& e) {
    layout.refuse_block(header, e.detail());
  }
}

}  // namespace

uint64_t decoded_block::memory() const {
  return ENTRY_OVERHEAD + data_size + (ends ? uint64_t{rows} * sizeof(uint64_t) : 0);
}

uint64_t decoded_block_count() { return g_decoded_blocks.load(std::memory_order_relaxed); }

std::shared_ptr<const decoded_block> read_value_block(const column_layout& layout, size_t b) {
  const column_layout::block_info& info = layout.block(b);
  const auto& headers = layout.headers();
  auto result = std::make_shared<decoded_block>();
  result->first_row = info.first_row;
  result->rows = info.rows;
  result->fixed_size = layout.fixed_size();

  const storage_block_header& data = headers[info.header];
  if (layout.fixed_size() != 0) {
    const auto source = read_stored(layout, layout.source(info.header), data.stored_size);
    check_shape(layout, info.header, source.get());
    result->data = std::make_unique_for_overwrite<std::byte[]>(std::max<uint64_t>(data.size, 1));
    result->data_size = data.size;
    decode(layout, info.header, result->data.get(), source.get());
  } else {
    // The data block and its offsets block lie back to back: one read for both.
    const storage_block_header& offsets = headers[info.header + 1];
    const auto source =
        read_stored(layout, layout.source(info.header), data.stored_size + offsets.stored_size);
    const std::byte* offsets_source = source.get() + data.stored_size;
    check_shape(layout, info.header, source.get());
    check_shape(layout, info.header + 1, offsets_source);
    result->data = std::make_unique_for_overwrite<std::byte[]>(std::max<uint64_t>(data.size, 1));
    result->data_size = data.size;
    decode(layout, info.header, result->data.get(), source.get());
    result->ends = std::make_unique_for_overwrite<uint64_t[]>(info.rows);
    decode(layout, info.header + 1, reinterpret_cast<std::byte*>(result->ends.get()),
           offsets_source);
    // End offsets count over the whole column: they must rise through this block's data.
    uint64_t previous = info.data_start;
    for (uint32_t i = 0; i < info.rows; ++i) {
      const uint64_t end = result->ends[i];
      if (end < previous || end - info.data_start > data.size) {
        layout.refuse_block(info.header + 1,
                            fmt::format("end offset {} of row {} lies outside [{}, {}]", end,
                                        info.first_row + i, previous, info.data_start + data.size));
      }
      previous = end;
      result->ends[i] = end - info.data_start;
    }
    if (previous - info.data_start != data.size) {
      layout.refuse_block(info.header + 1,
                          fmt::format("end offsets reach {}, the block's data ends at {}", previous,
                                      info.data_start + data.size));
    }
  }
  g_decoded_blocks.fetch_add(1, std::memory_order_relaxed);
  return result;
}

std::shared_ptr<const decoded_block> read_null_map(const column_layout& layout) {
  const uint32_t header = layout.null_map_header();
  const storage_block_header& h = layout.headers()[header];
  const auto source = read_stored(layout, layout.source(header), h.stored_size);
  check_shape(layout, header, source.get());
  auto result = std::make_shared<decoded_block>();
  result->rows = layout.row_count();
  result->data = std::make_unique_for_overwrite<std::byte[]>(std::max<uint64_t>(h.size, 1));
  result->data_size = h.size;
  decode(layout, header, result->data.get(), source.get());
  g_decoded_blocks.fetch_add(1, std::memory_order_relaxed);
  return result;
}

}  // namespace ombrel
