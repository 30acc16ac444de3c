// Feeds arbitrary column files to column_reader. Byte 0 picks the column's type and nullability,
// the rest is the file; the hashes in its header table are recomputed wherever a block's stored
// bytes lie inside the file, so that the layout checks and decoders are reached. A file that
// loads must yield values inside the decoded buffers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/column_scratch.h"
#include "model/column_descriptor.h"
#include "model/hash.h"
#include "native/errors.h"
#include "segment/column_file.h"
#include "segment/column_reader.h"
#include "segment/storage_block.h"

namespace {

using namespace ombrel;

void fix_hashes(std::vector<std::byte>& image) {
  const size_t size = image.size();
  if (size < 8) return;
  uint32_t count;
  std::memcpy(&count, image.data() + size - 4, 4);
  const uint64_t table = uint64_t{count} * storage_block_header::SIZE;
  if (table + 8 > size) return;
  const uint64_t data_size = size - 8 - table;
  uint64_t position = 0;
  for (uint64_t i = 0; i < count; ++i) {
    std::byte* at = image.data() + data_size + i * storage_block_header::SIZE;
    storage_block_header header = storage_block_header::deserialize(at);
    if (header.stored_size > data_size - position) return;
    header.hash = calculate_hash(image.data() + position, header.stored_size);
    header.serialize(at);
    position += header.stored_size;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static constexpr ombrel_type TYPES[] = {INT8, INT16, INT32, INT64, STRING, DOUBLE, UUID, BYTES};
  const ombrel_type type = TYPES[data[0] % std::size(TYPES)];
  const bool nullable = data[0] & 0x10;
  column_descriptor d("c", column_info::of_type(type, nullable));
  if (data[0] & 0x20) d = data[0] & 0x40 ? column_descriptor::TOMBSTONE : column_descriptor::TX_TS;

  const auto* bytes = reinterpret_cast<const std::byte*>(data + 1);
  std::vector<std::byte> image(bytes, bytes + size - 1);
  if (image.size() >= 8) {
    // Constant blocks make a consistent file of 2^32 rows possible; the reader then allocates
    // what it claims, which is no fault but exceeds the fuzzer's memory limit.
    uint32_t rows;
    std::memcpy(&rows, image.data() + image.size() - 8, 4);
    if (rows > (1u << 20)) return 0;
  }
  fix_hashes(image);
  const column_file cf = bench::write_column_image(d, image);
  try {
    column_reader reader(cf);
    reader.read_file_and_decompress();
    std::vector<std::byte> copy;
    for (uint32_t r = 0; r < reader.row_count(); ++r) {
      const auto v = reader.value(r);
      if (!v) continue;
      if (d.size != 0 && v->size() != d.size) std::abort();
      copy.assign(v->begin(), v->end());  // ASan checks that the value lies in the buffers
    }
  } catch (const errors::error&) {
  }
  return 0;
}
