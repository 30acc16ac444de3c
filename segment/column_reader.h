#pragma once
// Reads one column file: the constructor reads the trailer and the header table; on request the
// whole column is read and decoded into one contiguous array (plus end offsets and the null
// map), addressed by row number, in memory a scan may hand from segment to segment
// (column_memory). Filled by one thread; once loaded, read-only for any thread.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "model/bitset.h"
#include "model/column_values.h"
#include "model/common.h"
#include "model/ombrel_type_info.h"
#include "segment/column_file.h"
#include "segment/storage_block.h"

namespace ombrel {

class column_memory;

// Bytes owned by a reader; given back to the column_memory they came from, if any, when let go.
class column_buffer {
 public:
  struct free_bytes {
    void operator()(std::byte* p) const noexcept;
  };
  using storage = std::unique_ptr<std::byte, free_bytes>;

  // At least `bytes` bytes (one at least), uninitialised; large ones are laid on huge pages
  // where the system offers them, which a fresh buffer faults in hundreds of times faster.
  // Throws std::bad_alloc.
  static storage allocate(size_t bytes);

  column_buffer() = default;
  column_buffer(storage bytes, size_t capacity, std::shared_ptr<column_memory> home)
      : bytes_(std::move(bytes)), capacity_(capacity), home_(std::move(home)) {}
  column_buffer(column_buffer&&) noexcept = default;
  column_buffer& operator=(column_buffer&& other) noexcept {
    reset();
    bytes_ = std::move(other.bytes_);
    capacity_ = other.capacity_;
    home_ = std::move(other.home_);
    return *this;
  }
  ~column_buffer() { reset(); }

  std::byte* get() const noexcept { return bytes_.get(); }
  explicit operator bool() const noexcept { return bytes_ != nullptr; }
  void reset() noexcept;

 private:
  storage bytes_;
  size_t capacity_ = 0;
  std::shared_ptr<column_memory> home_;
};

// Buffers that readers gave back, taken again by later reads: a scan that decodes the columns
// of segment after segment reuses warm pages instead of faulting in fresh ones each time (and
// handing them back to the system after). Keeps at most a few dozen buffers, and only large
// ones; small ones come and go through the allocator. Shared by the readers of one scan on any
// thread; the mutex guards the list only.
class column_memory : public std::enable_shared_from_this<column_memory> {
 public:
  static constexpr size_t MIN_KEPT_BYTES = size_t{64} << 10;
  static constexpr size_t MAX_KEPT = 48;

  // Keeps at most *max_kept_bytes bytes (read at every give-back) when given.
  static std::shared_ptr<column_memory> create(
      const std::atomic<uint64_t>* max_kept_bytes = nullptr) {
    return std::shared_ptr<column_memory>(new column_memory(max_kept_bytes));
  }
  // A buffer of at least `bytes` (uninitialised): the smallest kept one that fits, else new.
  column_buffer take(size_t bytes);
  // Bytes of the buffers kept now.
  uint64_t kept_bytes() const {
    std::scoped_lock lock(mutex_);
    return kept_bytes_;
  }

 private:
  friend class column_buffer;
  explicit column_memory(const std::atomic<uint64_t>* max_kept_bytes)
      : max_kept_bytes_(max_kept_bytes) {
    kept_.reserve(MAX_KEPT);
  }
  void give_back(column_buffer::storage bytes, size_t capacity) noexcept;

  const std::atomic<uint64_t>* max_kept_bytes_;
  uint64_t kept_bytes_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::pair<size_t, column_buffer::storage>> kept_;
};

class column_reader {
 public:
  // Reads the trailer and the header table of cf's file. Throws errors::error "Invalid column
  // file content: " + path when the file is shorter than its trailer, "Bad column file data: "
  // + path when it is shorter than its header table; errors::system_error for I/O failures.
  explicit column_reader(const column_file& cf);
  column_reader(column_reader&&) noexcept = default;
  column_reader& operator=(column_reader&&) noexcept = default;

  // Reads and decodes every block. Refuses a file whose blocks do not make up exactly the
  // column that the trailer describes, before allocating for it: the errors of column_layout
  // for an inconsistent header table, "Corrupted column block: " + path + the block for a
  // block whose stored bytes cannot decode to its size (a block that fails its hash, or one
  // before it, is reported as "Block hash mismatch!" instead), the decompress errors
  // unchanged. After a failure the reader holds no data (as after clear()). Buffers come from
  // `memory` when given, else from the allocator.
  void read_file_and_decompress(const std::shared_ptr<column_memory>& memory = nullptr);

  // Releases the decoded data; the headers stay.
  void clear() noexcept;

  bool loaded() const noexcept { return loaded_; }
  uint32_t row_count() const noexcept { return row_count_; }
  ombrel_type type() const noexcept { return type_; }
  uint32_t fixed_size() const noexcept { return fixed_size_; }
  bool nullable() const noexcept { return nullable_; }
  bool internal() const noexcept { return internal_; }
  const std::filesystem::path& path() const noexcept { return path_; }
  // Where the header table starts: the sum of the blocks' stored sizes.
  uint64_t data_size() const noexcept { return data_size_; }
  const std::vector<storage_block_header>& headers() const noexcept { return headers_; }

  // The decoded column; null before loading. Fixed-size: row r at data() + r * fixed_size().
  // Variable-length: row r spans [offsets()[r-1] (0 for row 0), offsets()[r]) of data();
  // the offsets are checked to be non-decreasing and to end at the data's size.
  const std::byte* data() const noexcept { return data_.get() + data_offset_; }
  const uint64_t* offsets() const noexcept {
    return reinterpret_cast<const uint64_t*>(offsets_.get());
  }
  // One bit per row, set for null (nullable columns only; empty otherwise).
  const bitset& nulls() const noexcept { return nulls_; }

  // The decoded column as plain views. Valid while the reader is loaded.
  column_values values() const noexcept {
    return {data(), fixed_size_ != 0 ? nullptr : offsets(), fixed_size_,
            nullable_ ? &nulls_ : nullptr};
  }

  // REQUIRES: loaded() and row < row_count().
  bool is_null(uint32_t row) const noexcept { return values().is_null(row); }
  // The value of `row`, empty for null. Valid while the reader is loaded.
  // REQUIRES: loaded() and row < row_count().
  std::optional<bytes_view> value(uint32_t row) const noexcept {
    const column_values column = values();
    if (column.is_null(row)) return std::nullopt;
    return column.value(row);
  }

 private:
  std::filesystem::path path_;
  ombrel_type type_;
  uint32_t fixed_size_;
  bool nullable_;
  bool internal_;
  uint32_t row_count_ = 0;
  uint64_t data_size_ = 0;
  std::vector<storage_block_header> headers_;

  bool loaded_ = false;
  column_buffer data_;
  uint64_t data_offset_ = 0;  // where the values start in data_ (raw ones read in place)
  column_buffer offsets_;
  bitset nulls_;
};

}  // namespace ombrel
