#include "model/bitset.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "native/errors.h"

namespace ombrel {
namespace {

constexpr std::align_val_t ALIGNMENT{32};
constexpr uint64_t CAPACITY_STEP = 256;

uint64_t round_capacity(uint64_t bits) {
  return (bits + CAPACITY_STEP - 1) / CAPACITY_STEP * CAPACITY_STEP;
}

// Mask of the bits in use in the last word of a set of `bits` bits (all ones for a full word).
uint64_t tail_mask(uint64_t bits) {
  const uint64_t used = bits % 64;
  return used == 0 ? ~uint64_t{0} : (uint64_t{1} << used) - 1;
}

// Position of the k-th (from 0) set bit of w. REQUIRES: popcount(w) > k.
uint64_t select_in_word(uint64_t w, uint64_t k) {
  for (; k > 0; --k) w &= w - 1;
  return static_cast<uint64_t>(std::countr_zero(w));
}

// Combines `n` words two at a time; the caller guarantees the storages do not overlap.
template <typename op>
void combine_words(uint64_t* __restrict dst, const uint64_t* __restrict src, uint64_t n, op f) {
  uint64_t i = 0;
  for (; i + 2 <= n; i += 2) {
    dst[i] = f(dst[i], src[i]);
    dst[i + 1] = f(dst[i + 1], src[i + 1]);
  }
  if (i < n) dst[i] = f(dst[i], src[i]);
}

}  // namespace

void bitset::aligned_deleter::operator()(uint64_t* p) const noexcept {
  ::operator delete(p, ALIGNMENT);
}

bitset::bitset(uint64_t n, bool value) : size_(n) {
  reallocate(round_capacity(n));
  if (n > 0) std::memset(words_.get(), value ? 0xFF : 0x00, (n + 7) / 8);
}

bitset::bitset(const std::byte* bytes, size_t count) : size_(uint64_t{count} * 8) {
  reallocate(round_capacity(size_));
  if (count > 0) std::memcpy(words_.get(), bytes, count);
}

bitset::bitset(const uint64_t* words, size_t count) : size_(uint64_t{count} * 64) {
  reallocate(round_capacity(size_));
  if (count > 0) std::memcpy(words_.get(), words, count * sizeof(uint64_t));
}

bitset::bitset(const std::vector<bool>& bits) : bitset(bits.size()) {
  for (size_t i = 0; i < bits.size(); ++i) set(i, bits[i]);
}

bitset::bitset(std::initializer_list<bool> bits) : bitset(bits.size()) {
  uint64_t i = 0;
  for (bool b : bits) set(i++, b);
}

bitset::bitset(const bitset& other) : size_(other.size_) {
  reallocate(other.capacity_);
  if (size_ > 0) std::memcpy(words_.get(), other.words_.get(), word_count() * sizeof(uint64_t));
}

bitset::bitset(bitset&& other) noexcept
    : words_(std::move(other.words_)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

bitset& bitset::operator=(const bitset& other) {
  if (this != &other) *this = bitset(other);
  return *this;
}

bitset& bitset::operator=(bitset&& other) noexcept {
  if (this != &other) {
    words_ = std::move(other.words_);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

void bitset::assign(uint64_t n, bool value) { *this = bitset(n, value); }

void bitset::assign(const std::byte* bytes, size_t count) { *this = bitset(bytes, count); }

void bitset::assign(const uint64_t* words, size_t count) { *this = bitset(words, count); }

bool operator==(const bitset& a, const bitset& b) {
  if (a.size_ != b.size_) return false;
  const uint64_t n = a.word_count();
  if (n == 0) return true;
  if (std::memcmp(a.words_.get(), b.words_.get(), (n - 1) * sizeof(uint64_t)) != 0) return false;
  return a.masked_word(n - 1) == b.masked_word(n - 1);
}

void bitset::reallocate(uint64_t bits) {
  storage fresh;
  const uint64_t words = (bits + 63) / 64;
  if (words > 0) {
    // Whole 32-byte units, so vector loads of the last words stay inside the allocation.
    const uint64_t bytes = (words * sizeof(uint64_t) + 31) / 32 * 32;
    fresh.reset(static_cast<uint64_t*>(::operator new(bytes, ALIGNMENT)));
    const uint64_t kept = words_ ? std::min((size_ + 7) / 8, bytes) : 0;
    if (kept > 0) std::memcpy(fresh.get(), words_.get(), kept);
    std::memset(reinterpret_cast<std::byte*>(fresh.get()) + kept, 0, bytes - kept);
  }
  words_ = std::move(fresh);
  capacity_ = bits;
}

uint64_t bitset::masked_word(uint64_t w) const noexcept {
  const uint64_t word = words_[w];
  return w + 1 == word_count() ? word & tail_mask(size_) : word;
}

bitset& bitset::set() noexcept {
  std::fill_n(words_.get(), word_count(), ~uint64_t{0});
  return *this;
}

bitset& bitset::reset() noexcept {
  std::fill_n(words_.get(), word_count(), uint64_t{0});
  return *this;
}

bitset& bitset::flip() noexcept {
  uint64_t* w = words_.get();
  const uint64_t n = word_count();
  uint64_t i = 0;
  for (; i + 2 <= n; i += 2) {
    w[i] = ~w[i];
    w[i + 1] = ~w[i + 1];
  }
  if (i < n) w[i] = ~w[i];
  return *this;
}

void bitset::fill_range(uint64_t from, uint64_t to, bool value) noexcept {
  if (from >= to) return;
  const uint64_t fill = value ? ~uint64_t{0} : 0;
  uint64_t first = from / 64;
  const uint64_t last = (to - 1) / 64;
  const uint64_t head = ~uint64_t{0} << (from % 64);
  const uint64_t tail = tail_mask(to);
  if (first == last) {
    const uint64_t mask = head & tail;
    words_[first] = (words_[first] & ~mask) | (fill & mask);
    return;
  }
  words_[first] = (words_[first] & ~head) | (fill & head);
  std::fill(words_.get() + first + 1, words_.get() + last, fill);
  words_[last] = (words_[last] & ~tail) | (fill & tail);
}

void bitset::push_back(bool value) {
  if (size_ == capacity_) reallocate(capacity_ == 0 ? 32 : capacity_ * 2);
  set(size_, value);
  ++size_;
}

bool bitset::pop_back() {
  const bool last = back();
  --size_;
  return last;
}

void bitset::reserve(uint64_t n) {
  const uint64_t wanted = round_capacity(n);
  if (wanted > capacity_) reallocate(wanted);
}

void bitset::resize(uint64_t n, bool value) {
  if (n > size_) {
    reserve(n);
    fill_range(size_, n, value);
  }
  size_ = n;
}

void bitset::shrink_to_fit() {
  const uint64_t wanted = round_capacity(size_);
  if (wanted != capacity_) reallocate(wanted);
}

bitset& bitset::operator&=(const bitset& other) noexcept {
  if (this == &other) return *this;
  size_ = std::min(size_, other.size_);
  const uint64_t n = word_count();
  if (n == 0) return *this;
  combine_words(words_.get(), other.words_.get(), n, [](uint64_t a, uint64_t b) { return a & b; });
  words_[n - 1] &= tail_mask(size_);
  return *this;
}

bitset& bitset::operator|=(const bitset& other) {
  if (this == &other) return *this;
  if (other.size_ > size_) resize(other.size_, false);
  const uint64_t n = other.word_count();
  if (n == 0) return *this;
  combine_words(words_.get(), other.words_.get(), n - 1,
                [](uint64_t a, uint64_t b) { return a | b; });
  words_[n - 1] |= other.masked_word(n - 1);
  return *this;
}

bitset& bitset::operator^=(const bitset& other) {
  if (this == &other) return *this;
  if (other.size_ > size_) resize(other.size_, false);
  const uint64_t n = other.word_count();
  if (n == 0) return *this;
  combine_words(words_.get(), other.words_.get(), n - 1,
                [](uint64_t a, uint64_t b) { return a ^ b; });
  words_[n - 1] ^= other.masked_word(n - 1);
  return *this;
}

uint64_t bitset::count() const noexcept {
  const uint64_t n = word_count();
  if (n == 0) return 0;
  uint64_t total = 0;
  for (uint64_t i = 0; i + 1 < n; ++i) total += std::popcount(words_[i]);
  return total + std::popcount(masked_word(n - 1));
}

bool bitset::any() const noexcept {
  const uint64_t n = word_count();
  if (n == 0) return false;
  for (uint64_t i = 0; i + 1 < n; ++i) {
    if (words_[i] != 0) return true;
  }
  return masked_word(n - 1) != 0;
}

bool bitset::all() const noexcept {
  const uint64_t n = word_count();
  if (n == 0) return false;
  for (uint64_t i = 0; i + 1 < n; ++i) {
    if (words_[i] != ~uint64_t{0}) return false;
  }
  return masked_word(n - 1) == tail_mask(size_);
}

bool bitset::at(uint64_t i) const {
  if (i >= size_) {
    throw errors::error("bitset range_check: n (which is " + std::to_string(i) +
                        ") >= size() (which is " + std::to_string(size_) + ")");
  }
  return (*this)[i];
}

uint64_t bitset::rank(uint64_t i) const noexcept {
  if (i >= size_) return npos;
  const uint64_t last = i / 64;
  uint64_t total = 0;
  for (uint64_t w = 0; w < last; ++w) total += std::popcount(words_[w]);
  return total + std::popcount(words_[last] & tail_mask(i + 1));
}

uint64_t bitset::select(uint64_t k) const noexcept {
  if (k == 0) return npos;
  const uint64_t n = word_count();
  for (uint64_t w = 0; w < n; ++w) {
    const uint64_t word = masked_word(w);
    const auto ones = static_cast<uint64_t>(std::popcount(word));
    if (ones >= k) return w * 64 + select_in_word(word, k - 1);
    k -= ones;
  }
  return npos;
}

uint64_t bitset::find_first() const noexcept {
  const uint64_t n = word_count();
  for (uint64_t w = 0; w < n; ++w) {
    const uint64_t word = masked_word(w);
    if (word != 0) return w * 64 + std::countr_zero(word);
  }
  return npos;
}

uint64_t bitset::find_next(uint64_t i) const noexcept {
  if (i == npos || i + 1 >= size_) return npos;
  const uint64_t start = i + 1;
  uint64_t w = start / 64;
  uint64_t word = masked_word(w) & (~uint64_t{0} << (start % 64));
  const uint64_t n = word_count();
  while (word == 0) {
    if (++w == n) return npos;
    word = masked_word(w);
  }
  return w * 64 + std::countr_zero(word);
}

}  // namespace ombrel
