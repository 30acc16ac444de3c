#include "segment/compression.h"

#include <fmt/format.h>
#include <lz4.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#include "native/config.h"
#include "segment/oroch.h"

namespace ombrel {
namespace {

const hash_value& empty_hash() {
  static const hash_value hash = calculate_hash(nullptr, 0);
  return hash;
}

// LZ4 turns one input byte into at most 255 output bytes (a match-length extension byte).
constexpr uint64_t LZ4_MAX_RATIO = 255;
constexpr uint64_t LZ4_MAX_BLOCK = static_cast<uint64_t>(INT_MAX);
// Room LZ4 is given beyond the size it has to beat, so that its checks of the room left, which
// reserve a few bytes for the end of the block, never refuse an output that would have won.
constexpr size_t LZ4_LIMIT_SLACK = 64;

// Calls f with a null pointer of the codec's value type for `type`; false for other types.
template <typename F>
bool with_integer_type(ombrel_type type, F&& f) {
  switch (type) {
    case INT8:
      f(static_cast<signed char*>(nullptr));
      return true;
    case INT16:
      f(static_cast<short*>(nullptr));
      return true;
    case INT32:
      f(static_cast<int*>(nullptr));
      return true;
    case INT64:
      f(static_cast<long*>(nullptr));
      return true;
    default:
      return false;
  }
}

// Cost of the integer codec for the block: the stored size and the chosen metadata. Copies
// the values when the block is not aligned for T.
template <typename T>
struct integer_candidate {
  oroch::encoding_metadata<T> meta;
  std::vector<T> aligned;  // only used for a misaligned block
  const T* begin = nullptr;
  const T* end = nullptr;
  size_t stored_size = 0;

  explicit integer_candidate(bytes_view block) {
    const size_t n = block.size() / sizeof(T);
    if (reinterpret_cast<uintptr_t>(block.data) % alignof(T) != 0) {
      aligned.resize(n);
      std::memcpy(aligned.data(), block.data, n * sizeof(T));
      begin = aligned.data();
    } else {
      begin = reinterpret_cast<const T*>(block.data);
    }
    end = begin + n;
    oroch::integer_codec<T>::select(meta, begin, end);
    stored_size = oroch::encoded_size(meta);
  }
};

template <typename T>
size_t max_values(const oroch::encoding_metadata<T>& meta) {
  const size_t space = meta.value.value_space;
  const unsigned w = meta.value.bit_width;
  switch (meta.value.enc) {
    case oroch::encoding::constant:
      return SIZE_MAX;
    case oroch::encoding::plain:
      return space / sizeof(T);
    case oroch::encoding::zigzag_varint:
    case oroch::encoding::offset_varint:
      return space;
    default:  // bit-packed low parts, w validated by read_metadata
      return space / 16 * (128 / w);
  }
}

// Shape checks of an integer-coded block of n values of T.
template <typename T>
void check_integer_block(const std::byte* source, const storage_block_header& header) {
  if (header.size % sizeof(T) != 0) {
    throw corrupted_block_error(
        fmt::format("size {} is not a multiple of the value width {}", header.size, sizeof(T)));
  }
  // A constant block of a few bytes could otherwise claim any number of values.
  if (header.size / sizeof(T) > max_block_values()) {
    throw corrupted_block_error(fmt::format("{} values claimed, a block holds at most {}",
                                            header.size / sizeof(T), max_block_values()));
  }
  oroch::encoding_metadata<T> meta;
  try {
    oroch::read_metadata(source, header.stored_size, meta);
  } catch (const errors::error& e) {
    throw corrupted_block_error(e.what());
  }
  const uint64_t n = header.size / sizeof(T);
  if (n > max_values(meta)) {
    throw corrupted_block_error(fmt::format("{} values claimed, {} stored bytes hold at most {}", n,
                                            header.stored_size, max_values(meta)));
  }
}

template <typename T>
void decode_integers(std::byte* destination, const std::byte* source,
                     const storage_block_header& header) {
  const size_t n = header.size / sizeof(T);
  try {
    if (reinterpret_cast<uintptr_t>(destination) % alignof(T) == 0) {
      oroch::decode_block(source, header.stored_size, reinterpret_cast<T*>(destination), n);
    } else {
      std::vector<T> values(n);
      oroch::decode_block(source, header.stored_size, values.data(), n);
      std::memcpy(destination, values.data(), header.size);
    }
  } catch (const corrupted_block_error&) {
    throw;
  } catch (const errors::error& e) {
    throw corrupted_block_error(e.what());
  }
}

}  // namespace

uint64_t max_block_values() { return config::MAX_COLUMN_BLOCK_SIZE_HINT; }

bool is_integer_codec_type(ombrel_type type) {
  return type == INT8 || type == INT16 || type == INT32 || type == INT64;
}

std::pair<storage_block_header, std::unique_ptr<std::byte[]>> compress(bytes_view block,
                                                                       ombrel_type type,
                                                                       storage_block_meta meta) {
  const size_t s = block.size();
  if (s == 0) {
    return {storage_block_header{0, 0, METHOD_RAW, {}, empty_hash()}, nullptr};
  }
  const config& cfg = config::get_config();
  const bool try_lz4 =
      cfg.enable_lz4_compression.load(std::memory_order_relaxed) && s <= LZ4_MAX_BLOCK;

  std::unique_ptr<std::byte[]> lz4;
  int l = -1;
  // LZ4 output of at most `limit` bytes (l = 0 when it needs more). Below its worst-case bound
  // LZ4 checks the room left as it goes, so a smaller limit changes when it gives up, never what
  // it writes.
  auto run_lz4 = [&](size_t limit) {
    lz4 = std::make_unique_for_overwrite<std::byte[]>(limit);
    l = LZ4_compress_default(reinterpret_cast<const char*>(block.data),
                             reinterpret_cast<char*>(lz4.get()), static_cast<int>(s),
                             static_cast<int>(limit));
  };

  storage_block_header header{s, 0, METHOD_RAW, meta, {}};
  std::unique_ptr<std::byte[]> stored;
  bool decided = false;
  if (cfg.enable_oroch_compression.load(std::memory_order_relaxed)) {
    with_integer_type(type, [&]<typename T>(T*) {
      if (s % sizeof(T) != 0) return;  // not a block of whole values: leave it to LZ4 or raw
      integer_candidate<T> candidate(block);
      const size_t c = candidate.stored_size;
      if (c >= s) return;
      decided = true;
      // LZ4 is kept only at c bytes or fewer: it may stop once it is well past them.
      if (try_lz4) run_lz4(std::min(s, c + LZ4_LIMIT_SLACK));
      if (l >= 1 && static_cast<size_t>(l) <= c) {
        header.method = METHOD_LZ4;
        header.stored_size = static_cast<uint64_t>(l);
        stored = std::move(lz4);
        return;
      }
      stored = std::make_unique<std::byte[]>(c);
      oroch::encode_block(candidate.meta, candidate.begin, candidate.end, stored.get());
      header.method = METHOD_INTEGER_CODEC;
      header.stored_size = c;
    });
  }
  if (!decided) {
    if (try_lz4) run_lz4(s);
    if (l >= 1) {
      header.method = METHOD_LZ4;
      header.stored_size = static_cast<uint64_t>(l);
      stored = std::move(lz4);
    } else {
      header.method = METHOD_RAW;
      header.stored_size = s;
      stored = std::make_unique_for_overwrite<std::byte[]>(s);
      std::memcpy(stored.get(), block.data, s);
    }
  }
  header.hash = calculate_hash(stored.get(), header.stored_size);
  return {header, std::move(stored)};
}

void check_block_shape(const std::byte* source, ombrel_type type,
                       const storage_block_header& header) {
  switch (header.method) {
    case METHOD_RAW:
    case METHOD_BITSET:
      if (header.stored_size != header.size) {
        throw corrupted_block_error(
            fmt::format("stored size {} differs from size {}", header.stored_size, header.size));
      }
      return;
    case METHOD_LZ4:
      if (header.stored_size > LZ4_MAX_BLOCK || header.size > LZ4_MAX_BLOCK) {
        throw corrupted_block_error(fmt::format("LZ4 block of {} bytes stored in {} is too large",
                                                header.size, header.stored_size));
      }
      if (header.size > header.stored_size * LZ4_MAX_RATIO + 16) {
        throw corrupted_block_error(
            fmt::format("{} LZ4 bytes cannot expand to {}", header.stored_size, header.size));
      }
      return;
    case METHOD_INTEGER_CODEC:
      if (!with_integer_type(type,
                             [&]<typename T>(T*) { check_integer_block<T>(source, header); })) {
        throw errors::error("Unsupported data type for integer compression");
      }
      return;
    default:
      throw errors::error("Unsupported compression method");
  }
}

void verify_block(const std::byte* source, const storage_block_header& header) {
  if (header.stored_size > LZ4_MAX_BLOCK) {
    // Longer than any block we write and than the hash can cover.
    throw corrupted_block_error(fmt::format("stored size {} is too large", header.stored_size));
  }
  if (calculate_hash(source, header.stored_size) != header.hash) {
    throw errors::error("Block hash mismatch!");
  }
}

void decompress(std::byte* destination, const std::byte* source, ombrel_type type,
                const storage_block_header& header) {
  verify_block(source, header);
  decompress_verified(destination, source, type, header);
}

void decompress_verified(std::byte* destination, const std::byte* source, ombrel_type type,
                         const storage_block_header& header) {
  check_block_shape(source, type, header);
  switch (header.method) {
    case METHOD_RAW:
    case METHOD_BITSET:
      if (header.size != 0) std::memcpy(destination, source, header.size);
      return;
    case METHOD_LZ4: {
      const int r = LZ4_decompress_safe(
          reinterpret_cast<const char*>(source), reinterpret_cast<char*>(destination),
          static_cast<int>(header.stored_size), static_cast<int>(header.size));
      if (r < 0) throw errors::error("Failed to uncompress LZ4 compressed data");
      if (static_cast<uint64_t>(r) != header.size) {
        throw errors::error(
            "Error while uncompressing LZ4 compressed data - uncompressed size mismatch");
      }
      return;
    }
    default:  // METHOD_INTEGER_CODEC; check_block_shape refused everything else
      with_integer_type(type,
                        [&]<typename T>(T*) { decode_integers<T>(destination, source, header); });
      return;
  }
}

storage_block_header make_bitset_header(const std::byte* words, size_t bytes) {
  return {bytes, bytes, METHOD_BITSET, {}, calculate_hash(words, bytes)};
}

}  // namespace ombrel
