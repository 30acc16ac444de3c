#pragma once
// The oroch integer codec: compresses one block of 8-, 16-, 32- or 64-bit signed integers with
// the cheapest of seven encodings (constant, plain, zigzag or offset varints, zigzag or offset
// bit packing, patched frame of reference). Stateless; every function is safe on any thread.
//
// Block layout: byte 0 the encoding number, then m bytes of metadata, zero bytes up to the
// first multiple of 8 above m, then the value space. Decoders never read or write outside the
// buffers they are given; a malformed block raises errors::error.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

namespace ombrel::oroch {

// Stored encoding numbers.
enum class encoding : uint8_t {
  constant = 0,       // every value equals the origin
  plain = 1,          // values as they are
  zigzag_varint = 2,  // varint(zigzag(v))
  offset_varint = 3,  // varint(v - origin)
  zigzag_packed = 4,  // zigzag(v) at w bits
  offset_packed = 5,  // v - origin at w bits
  bitpfr = 6,         // low w bits of v - origin packed, larger differences patched
};

inline constexpr uint8_t MAX_ENCODING = 6;

namespace detail {

// Shape of one encoded stream of T: which encoding, how many bytes it takes, and its
// parameters. For the unsigned streams of bitpfr (gaps, high parts) zigzag is the identity.
template <typename T>
struct encoding_descriptor {
  encoding enc = encoding::plain;
  size_t value_space = 0;     // bytes of encoded values
  size_t metadata_space = 0;  // bytes of metadata after the encoding byte
  T origin = 0;               // constant value, or the base subtracted by offset encodings
  unsigned bit_width = 0;     // packed width; 0 for unpacked streams

  friend bool operator==(const encoding_descriptor&, const encoding_descriptor&) = default;
};

}  // namespace detail

// The encoding chosen for one block. For bitpfr `value` gives the low-bit width w, the origin
// and the whole value space (low bits, positions and high parts); the other fields describe the
// exception streams (zigzag_varint, or zigzag_packed at p / q bits). Unused fields keep their
// defaults.
template <typename T>
struct encoding_metadata {
  using unsigned_type = std::make_unsigned_t<T>;

  detail::encoding_descriptor<T> value;
  uint64_t exception_count = 0;                           // E
  detail::encoding_descriptor<uint64_t> positions;        // exception gaps
  detail::encoding_descriptor<unsigned_type> high_parts;  // (v - origin) >> w of exceptions

  // Metadata plus value space: what the encoding choice minimises.
  size_t cost() const { return value.metadata_space + value.value_space; }

  friend bool operator==(const encoding_metadata&, const encoding_metadata&) = default;
};

// Offset of the value space: the first multiple of 8 above the metadata size.
constexpr size_t value_offset(size_t metadata_space) { return (metadata_space + 8) / 8 * 8; }

// Encoders and decoders of one stream of T. T is signed char, short, int or long for blocks;
// the unsigned counterparts serve the exception streams of bitpfr.
template <typename T>
class integer_codec {
 public:
  using unsigned_type = std::make_unsigned_t<T>;

  // Chooses the encoding with the smallest cost for the values in [begin, end); ties keep the
  // earlier candidate of: plain, zigzag_packed, offset_packed, zigzag_varint, offset_varint,
  // bitpfr by increasing width. Fills every field of `meta`.
  static void select(encoding_metadata<T>& meta, const T* begin, const T* end);

  // Writes exactly d.value_space bytes of encoded values at `out`. REQUIRES: d was selected for
  // these values. Throws std::logic_error "not a basic encoding" for bitpfr, and
  // errors::fatal_error when the values do not match d.
  static void encode_basic(const detail::encoding_descriptor<T>& d, const T* begin, const T* end,
                           std::byte* out);

  // Decodes n values from the src_size bytes at src into dst; returns the bytes consumed.
  // Throws errors::error when the stream is malformed or too short, std::logic_error
  // "not a basic encoding" for bitpfr.
  static size_t decode_basic(const detail::encoding_descriptor<T>& d, const std::byte* src,
                             size_t src_size, T* dst, size_t n);

  // The bitpfr counterparts of encode_basic and decode_basic.
  static void encode_bitpfr(const encoding_metadata<T>& meta, const T* begin, const T* end,
                            std::byte* out);
  static size_t decode_bitpfr(const encoding_metadata<T>& meta, const std::byte* src,
                              size_t src_size, T* dst, size_t n);
};

// The exception lists of bitpfr: values whose difference from the origin needs more than w bits.
template <typename T>
class bitpfr_codec {
 public:
  using unsigned_type = std::make_unsigned_t<T>;

  // Gaps: the first exception's row, then each row minus (the previous row + 1).
  struct exceptions {
    std::vector<uint64_t> gaps;
    std::vector<unsigned_type> high_parts;
  };

  // Replaces the contents of `ex` (keeping its capacity) with the exceptions of [begin, end).
  static void collect(const T* begin, const T* end, T origin, unsigned w, exceptions& ex);

  // ORs each high part, shifted left by w, into the difference at its row of dst[0, n).
  // Throws errors::error when a row lies beyond n.
  static void apply(const exceptions& ex, unsigned w, unsigned_type* dst, size_t n);
};

// Bytes of the stored block: value_offset(metadata) + value space.
template <typename T>
size_t encoded_size(const encoding_metadata<T>& meta);

// Writes exactly encoded_size(meta) bytes at out (padding included). REQUIRES: meta was selected
// for the values in [begin, end).
template <typename T>
void encode_block(const encoding_metadata<T>& meta, const T* begin, const T* end, std::byte* out);

// Parses the encoding byte and metadata of the block at src; sets meta.value.value_space to the
// bytes after the value offset and returns that offset. Throws errors::error when malformed.
template <typename T>
size_t read_metadata(const std::byte* src, size_t src_size, encoding_metadata<T>& meta);

// Decodes a block of n values into dst[0, n). Bytes after the encoded values are ignored.
// Throws errors::error for any malformed block; dst may then be partly written.
template <typename T>
void decode_block(const std::byte* src, size_t src_size, T* dst, size_t n);

// One value at a time from a block coded constant, plain or bit-packed: value j costs a few
// bytes at a computed position, so a point read need not decode the block's other values.
// Keeps a pointer into the block, which must outlive it.
class value_picker {
 public:
  // For a block of n values of T at src (src_size bytes): false for the varint and bitpfr
  // encodings, which decode only whole. Runs the checks decode_block runs for these n values and
  // throws the same errors.
  template <typename T>
  bool open(const std::byte* src, size_t src_size, size_t n);

  // The bits of value j as T, zero-extended. REQUIRES: open returned true, j < n.
  uint64_t bits(size_t j) const {
    switch (enc_) {
      case encoding::constant:
        return origin_;
      case encoding::plain: {
        uint64_t v = 0;
        std::memcpy(&v, values_ + j * value_bytes_, value_bytes_);  // little-endian
        return v;
      }
      default: {
        // j / per_unit_ by a multiply: exact for any j below 2^57.
        const auto unit =
            static_cast<size_t>((static_cast<unsigned __int128>(j) * per_unit_reciprocal_) >> 64);
        const unsigned shift = static_cast<unsigned>(j - unit * per_unit_) * width_;
        uint64_t words[2];
        std::memcpy(words, values_ + unit * 16, 16);
        const unsigned __int128 all = (static_cast<unsigned __int128>(words[1]) << 64) | words[0];
        const uint64_t low = static_cast<uint64_t>(all >> shift) & width_mask_;
        if (enc_ == encoding::offset_packed) return (low + origin_) & value_mask_;
        return ((low >> 1) ^ (0 - (low & 1))) & value_mask_;  // zigzag
      }
    }
  }

 private:
  const std::byte* values_ = nullptr;
  encoding enc_ = encoding::constant;
  uint64_t origin_ = 0;  // bits of the origin as T, zero-extended
  unsigned value_bytes_ = 0;
  unsigned width_ = 0;
  size_t per_unit_ = 2;
  uint64_t per_unit_reciprocal_ = 0;  // ceil(2^64 / per_unit_)
  uint64_t width_mask_ = 0;
  uint64_t value_mask_ = 0;
};

#define OMBREL_OROCH_DECLARE(T)                                                             \
  extern template class integer_codec<T>;                                                   \
  extern template class integer_codec<std::make_unsigned_t<T>>;                             \
  extern template class bitpfr_codec<T>;                                                    \
  extern template class bitpfr_codec<std::make_unsigned_t<T>>;                              \
  extern template size_t encoded_size<T>(const encoding_metadata<T>&);                      \
  extern template void encode_block<T>(const encoding_metadata<T>&, const T*, const T*,     \
                                       std::byte*);                                         \
  extern template size_t read_metadata<T>(const std::byte*, size_t, encoding_metadata<T>&); \
  extern template void decode_block<T>(const std::byte*, size_t, T*, size_t);               \
  extern template bool value_picker::open<T>(const std::byte*, size_t, size_t);
OMBREL_OROCH_DECLARE(signed char)
OMBREL_OROCH_DECLARE(short)
OMBREL_OROCH_DECLARE(int)
OMBREL_OROCH_DECLARE(long)
#undef OMBREL_OROCH_DECLARE

}  // namespace ombrel::oroch
