#include "segment/column_block_reader.h"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
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

// Trusts the stored bytes of a header: throws as decompress does before decoding.
void verify(const column_layout& layout, size_t header, const std::byte* source) {
  try {
    verify_block(source, layout.headers()[header]);
  } catch (const corrupted_block_error& e) {
    layout.refuse_block(header, e.detail());
  }
}

// Decodes bytes that passed verify.
void decode_verified(const column_layout& layout, size_t header, std::byte* destination,
                     const std::byte* source) {
  try {
    decompress_verified(destination, source, layout.decoded_type(header), layout.headers()[header]);
  } catch (const corrupted_block_error& e) {
    layout.refuse_block(header, e.detail());
  }
}

void decode(const column_layout& layout, size_t header, std::byte* destination,
            const std::byte* source) {
  verify(layout, header, source);
  decode_verified(layout, header, destination, source);
}

// A picker over the verified stored bytes of a header whose integer coding reads one value at
// a time, each value `width` bytes; none otherwise. Malformed bytes are refused as decoding
// them would be.
std::optional<oroch::value_picker> open_picker(const column_layout& layout, size_t header,
                                               const std::byte* source, uint32_t width) {
  const storage_block_header& h = layout.headers()[header];
  if (h.method != METHOD_INTEGER_CODEC) return std::nullopt;
  oroch::value_picker picker;
  auto open = [&]<typename T>(T*) {
    if (width != sizeof(T)) return false;
    return picker.open<T>(source, h.stored_size, h.size / sizeof(T));
  };
  bool opened = false;
  try {
    switch (layout.decoded_type(header)) {
      case INT8:
        opened = open(static_cast<signed char*>(nullptr));
        break;
      case INT16:
        opened = open(static_cast<short*>(nullptr));
        break;
      case INT32:
        opened = open(static_cast<int*>(nullptr));
        break;
      case INT64:
        opened = open(static_cast<long*>(nullptr));
        break;
      default:
        break;
    }
  } catch (const corrupted_block_error& e) {
    layout.refuse_block(header, e.detail());
  } catch (const errors::error& e) {
    layout.refuse_block(header, e.what());  // as the codec's errors are reported when decoding
  }
  if (!opened) return std::nullopt;
  return picker;
}

// Rebases the column-wide end offsets of a block to its data, refusing ends that do not rise
// through the block's data. `ends` holds info.rows values.
void rebase_ends(const column_layout& layout, const column_layout::block_info& info,
                 uint64_t data_size, uint64_t* ends) {
  uint64_t previous = info.data_start;
  for (uint32_t i = 0; i < info.rows; ++i) {
    const uint64_t end = ends[i];
    if (end < previous || end - info.data_start > data_size) {
      layout.refuse_block(info.header + 1,
                          fmt::format("end offset {} of row {} lies outside [{}, {}]", end,
                                      info.first_row + i, previous, info.data_start + data_size));
    }
    previous = end;
    ends[i] = end - info.data_start;
  }
  if (previous - info.data_start != data_size) {
    layout.refuse_block(info.header + 1,
                        fmt::format("end offsets reach {}, the block's data ends at {}", previous,
                                    info.data_start + data_size));
  }
}

// The stored bytes of a value block (both blocks of a variable-length pair, back to back: one
// read for both), shape-checked.
std::unique_ptr<std::byte[]> read_checked(const column_layout& layout,
                                          const column_layout::block_info& info) {
  const auto& headers = layout.headers();
  const storage_block_header& data = headers[info.header];
  if (layout.fixed_size() != 0) {
    auto source = read_stored(layout, layout.source(info.header), data.stored_size);
    check_shape(layout, info.header, source.get());
    return source;
  }
  const storage_block_header& offsets = headers[info.header + 1];
  auto source =
      read_stored(layout, layout.source(info.header), data.stored_size + offsets.stored_size);
  check_shape(layout, info.header, source.get());
  check_shape(layout, info.header + 1, source.get() + data.stored_size);
  return source;
}

std::shared_ptr<decoded_block> new_block(const column_layout& layout,
                                         const column_layout::block_info& info) {
  auto result = std::make_shared<decoded_block>();
  result->first_row = info.first_row;
  result->rows = info.rows;
  result->fixed_size = layout.fixed_size();
  return result;
}

// Decodes the whole block from its stored bytes, verifying each part first unless `verified`.
void decode_whole(const column_layout& layout, const column_layout::block_info& info,
                  const std::byte* source, bool verified, decoded_block& result) {
  const storage_block_header& data = layout.headers()[info.header];
  result.data = std::make_unique_for_overwrite<std::byte[]>(std::max<uint64_t>(data.size, 1));
  result.data_size = data.size;
  if (!verified) verify(layout, info.header, source);
  decode_verified(layout, info.header, result.data.get(), source);
  if (layout.fixed_size() != 0) return;
  const std::byte* offsets_source = source + data.stored_size;
  result.ends = std::make_unique_for_overwrite<uint64_t[]>(info.rows);
  if (!verified) verify(layout, info.header + 1, offsets_source);
  decode_verified(layout, info.header + 1, reinterpret_cast<std::byte*>(result.ends.get()),
                  offsets_source);
  rebase_ends(layout, info, data.size, result.ends.get());
}

}  // namespace

uint64_t decoded_block::memory() const {
  return ENTRY_OVERHEAD + (data ? data_size : 0) + (ends ? uint64_t{rows} * sizeof(uint64_t) : 0) +
         (stored ? stored_size : 0);
}

uint64_t decoded_block_count() { return g_decoded_blocks.load(std::memory_order_relaxed); }

std::shared_ptr<const decoded_block> read_value_block(const column_layout& layout, size_t b) {
  const column_layout::block_info& info = layout.block(b);
  const auto source = read_checked(layout, info);
  auto result = new_block(layout, info);
  decode_whole(layout, info, source.get(), false, *result);
  g_decoded_blocks.fetch_add(1, std::memory_order_relaxed);
  return result;
}

std::shared_ptr<const decoded_block> read_point_block(const column_layout& layout, size_t b) {
  const column_layout::block_info& info = layout.block(b);
  const storage_block_header& data = layout.headers()[info.header];
  auto source = read_checked(layout, info);
  auto result = new_block(layout, info);
  if (layout.fixed_size() != 0) {
    verify(layout, info.header, source.get());
    if (data.method == METHOD_RAW) {
      result->raw = source.get();
    } else if (auto picker = open_picker(layout, info.header, source.get(), layout.fixed_size())) {
      result->coded_values = *picker;
    } else {
      decode_whole(layout, info, source.get(), true, *result);
      source.reset();
    }
  } else if (data.method == METHOD_RAW) {
    const std::byte* offsets_source = source.get() + data.stored_size;
    verify(layout, info.header, source.get());
    verify(layout, info.header + 1, offsets_source);
    if (auto picker = open_picker(layout, info.header + 1, offsets_source, sizeof(uint64_t))) {
      // Every end offset is checked once here, as a whole decode checks them.
      auto ends = std::make_unique_for_overwrite<uint64_t[]>(info.rows);
      decode_verified(layout, info.header + 1, reinterpret_cast<std::byte*>(ends.get()),
                      offsets_source);
      rebase_ends(layout, info, data.size, ends.get());
      result->raw = source.get();
      result->coded_ends = *picker;
      result->data_start = info.data_start;
      result->data_size = data.size;
    } else {
      decode_whole(layout, info, source.get(), true, *result);
      source.reset();
    }
  } else {
    decode_whole(layout, info, source.get(), false, *result);
    source.reset();
  }
  if (source) {
    result->stored_size = data.stored_size;
    if (layout.fixed_size() == 0) {
      result->stored_size += layout.headers()[info.header + 1].stored_size;
    }
    result->stored = std::move(source);
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

std::shared_ptr<const decoded_block> slice_null_map(const decoded_block& map, uint32_t first_row,
                                                    uint32_t rows) {
  auto result = std::make_shared<decoded_block>();
  result->first_row = first_row;
  result->rows = first_row < map.rows ? std::min(rows, map.rows - first_row) : 0;
  const uint64_t words = (uint64_t{result->rows} + 63) / 64;
  result->data = std::make_unique<std::byte[]>(std::max<uint64_t>(words * 8, 1));
  result->data_size = words * 8;
  for (uint32_t i = 0; i < result->rows; ++i) {
    if (!map.bit(uint64_t{first_row} + i)) continue;
    uint64_t word;
    std::memcpy(&word, result->data.get() + i / 64 * 8, 8);
    word |= uint64_t{1} << (i % 64);
    std::memcpy(result->data.get() + i / 64 * 8, &word, 8);
  }
  return result;
}

}  // namespace ombrel
