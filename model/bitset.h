#pragma once
// Dynamic bit set for column projections, null maps and group-by sets. Owns 64-bit words aligned
// to 32 bytes (capacity in steps of 256 bits) and offers rank/select/find_next over set bits.
// A value type without internal locking: share a const one freely, guard mutation externally.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

namespace ombrel {

// Bit i is bit (i % 64) of word i / 64; on little-endian hosts bit (i % 8) of byte i / 8.
// Storage bits at or beyond size() are unspecified; every operation ignores them.
class bitset {
 public:
  static constexpr uint64_t npos = ~uint64_t{0};

  bitset() noexcept = default;
  // n bits, all `value`; capacity n rounded up to a multiple of 256.
  explicit bitset(uint64_t n, bool value = false);
  // count * 8 bits copied from the bytes as they are.
  bitset(const std::byte* bytes, size_t count);
  // count * 64 bits copied from the words.
  bitset(const uint64_t* words, size_t count);
  explicit bitset(const std::vector<bool>& bits);
  bitset(std::initializer_list<bool> bits);

  bitset(const bitset& other);
  bitset(bitset&& other) noexcept;
  bitset& operator=(const bitset& other);
  bitset& operator=(bitset&& other) noexcept;
  ~bitset() = default;

  // Replace the content as the matching constructor would.
  void assign(uint64_t n, bool value);
  void assign(const std::byte* bytes, size_t count);
  void assign(const uint64_t* words, size_t count);

  // Equal sizes and equal bits below size().
  friend bool operator==(const bitset& a, const bitset& b);

  uint64_t size() const noexcept { return size_; }
  uint64_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  // Words holding bits [0, size()); null when there is no storage.
  const uint64_t* data() const noexcept { return words_.get(); }
  uint64_t* data() noexcept { return words_.get(); }
  uint64_t word_count() const noexcept { return (size_ + 63) / 64; }

  // All bits (whole words are written).
  bitset& set() noexcept;
  bitset& reset() noexcept;
  bitset& flip() noexcept;
  // One bit. REQUIRES: i < capacity(); not range-checked.
  bitset& set(uint64_t i, bool value = true) noexcept {
    const uint64_t mask = uint64_t{1} << (i % 64);
    uint64_t& word = words_[i / 64];
    word = value ? (word | mask) : (word & ~mask);
    return *this;
  }
  bitset& reset(uint64_t i) noexcept { return set(i, false); }
  // One bit. REQUIRES: i < size(); not range-checked (see at()).
  bool operator[](uint64_t i) const noexcept { return (words_[i / 64] >> (i % 64)) & 1; }

  // Doubles the capacity when full (32 bits from an empty set).
  void push_back(bool value);
  // Removes and returns the last bit; fails like back() on an empty set.
  bool pop_back();
  // Ensures capacity of at least n rounded up to a multiple of 256.
  void reserve(uint64_t n);
  // Grows with `value` bits, or shrinks size() only.
  void resize(uint64_t n, bool value = false);
  void clear() noexcept { size_ = 0; }
  // Capacity becomes size() rounded up to a multiple of 256.
  void shrink_to_fit();

  // Shrinks to the smaller size, then ANDs.
  bitset& operator&=(const bitset& other) noexcept;
  // Grow to the larger size (new bits false), then combine with the other's bits.
  bitset& operator|=(const bitset& other);
  bitset& operator^=(const bitset& other);

  uint64_t count() const noexcept;
  bool any() const noexcept;
  bool all() const noexcept;  // false for an empty set
  bool none() const noexcept { return !any(); }

  // Range-checked access: errors::error when i >= size().
  bool at(uint64_t i) const;
  bool front() const { return at(0); }
  bool back() const { return at(size_ - 1); }

  // Set bits in [0, i]; npos when i >= size().
  uint64_t rank(uint64_t i) const noexcept;
  // Position of the k-th set bit counting from 1; npos when there are fewer than k.
  uint64_t select(uint64_t k) const noexcept;
  // Lowest set position, or npos.
  uint64_t find_first() const noexcept;
  // Lowest set position greater than i, or npos.
  uint64_t find_next(uint64_t i) const noexcept;

 private:
  struct aligned_deleter {
    void operator()(uint64_t* p) const noexcept;
  };
  using storage = std::unique_ptr<uint64_t[], aligned_deleter>;

  // Moves to storage for `bits` bits, keeping the bytes in use; zero-fills the rest.
  void reallocate(uint64_t bits);
  // Sets bits [from, to) to value. REQUIRES: to <= capacity().
  void fill_range(uint64_t from, uint64_t to, bool value) noexcept;
  // Word w of this set with bits at or beyond size() cleared.
  uint64_t masked_word(uint64_t w) const noexcept;

  storage words_;
  uint64_t size_ = 0;
  uint64_t capacity_ = 0;
};

}  // namespace ombrel
