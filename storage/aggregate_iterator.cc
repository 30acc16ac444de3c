#include "storage/aggregate_iterator.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "model/big_decimal.h"
#include "model/big_integer.h"
#include "model/ombrel_type_info.h"
#include "model/tuple.h"
#include "native/errors.h"

namespace ombrel {
namespace {

template <typename T>
T load(const std::byte* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

int compare_bytes(bytes_view a, bytes_view b) {
  const size_t common = std::min(a.size(), b.size());
  if (common > 0) {
    if (int c = std::memcmp(a.data, b.data, common)) return c < 0 ? -1 : 1;
  }
  return (a.size() > b.size()) - (a.size() < b.size());
}

int compare_value(ombrel_type type, bytes_view a, bytes_view b) {
  switch (type) {
    case UUID:  // material bytes, like min and max
    case OPAQUE:
    case STRING:
    case BYTES:
      return compare_bytes(a, b);
    case DECIMAL:
      return big_decimal::compare_bytes(a.data, a.size(), b.data, b.size());
    case NUMBER:
      return big_integer::compare_bytes(a.data, a.size(), b.data, b.size());
    case NONE:
      throw errors::error("Unimplemented for these types");
    default:
      // Typed order of fixed-size values: NaNs last and equal, -0.0 equal to 0.0.
      return compare_fixed(type, a.data, b.data);
  }
}

uint64_t mix(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ull;
  h ^= h >> 33;
  return h;
}

uint64_t hash_bytes(uint64_t h, bytes_view v) {
  const std::byte* p = v.data;
  size_t n = v.size();
  h = (h ^ n) * 0x9E3779B97F4A7C15ull;
  for (; n >= 8; n -= 8, p += 8) h = (h ^ load<uint64_t>(p)) * 0x9E3779B97F4A7C15ull;
  if (n > 0) {
    uint64_t tail = 0;
    std::memcpy(&tail, p, n);
    h = (h ^ tail) * 0x9E3779B97F4A7C15ull;
  }
  return h ^ (h >> 29);
}

// The shortest two's complement form: redundant sign bytes dropped, zero length made 0x00.
void canonical_number(bytes_view v, std::vector<std::byte>& out) {
  size_t start = 0;
  while (start + 1 < v.size()) {
    const auto first = static_cast<uint8_t>(v.data[start]);
    const auto next = static_cast<uint8_t>(v.data[start + 1]);
    if (!((first == 0x00 && next < 0x80) || (first == 0xFF && next >= 0x80))) break;
    ++start;
  }
  if (v.size() == 0) {
    out.assign(1, std::byte{0});
  } else {
    out.assign(v.data + start, v.data + v.size());
  }
}

// Trailing decimal zeros dropped from the unscaled value, so that 1.5 and 1.50 have one form.
void canonical_decimal(bytes_view v, std::vector<std::byte>& out) {
  big_decimal d(v.data, v.size());
  big_integer unscaled = d.unscaled();
  int32_t scale = d.scale();
  if (unscaled.is_zero()) {
    scale = 0;
  } else {
    const big_integer ten(10);
    big_integer quotient, remainder;
    while (scale > std::numeric_limits<int16_t>::min()) {
      unscaled.divide(ten, quotient, remainder);
      if (!remainder.is_zero()) break;
      std::swap(unscaled, quotient);
      --scale;
    }
  }
  const big_decimal canonical(std::move(unscaled), static_cast<int16_t>(scale));
  out.resize(canonical.byte_size());
  canonical.store_bytes(out.data());
}

}  // namespace

int compare(const schema_descriptor& schema, const row_values& a, const row_values& b) {
  for (uint32_t column : schema.key_columns) {
    const std::optional<bytes_view>& x = a[column];
    const std::optional<bytes_view>& y = b[column];
    if (!x || !y) {
      if (x || y) return x ? 1 : -1;  // nulls first
      continue;
    }
    if (int c = compare_value(schema.columns[column].type, *x, *y)) return c;
  }
  return 0;
}

row_values aggregate_tuple::get_internal_tuple(std::vector<combined_buffer>& buffers) {
  row_values row(values.size());
  for (size_t i = 0; i < values.size(); ++i) row[i] = values[i].get_internal_slice(buffers[i]);
  return row;
}

aggregate_iterator::aggregate_iterator(std::unique_ptr<abstract_iterator> inner,
                                       const bitset& group_positions,
                                       schema_descriptor group_schema,
                                       std::vector<std::unique_ptr<aggregate_function>> functions)
    : inner_(std::move(inner)),
      group_schema_(std::move(group_schema)),
      functions_(std::move(functions)),
      buffers_(functions_.size()) {
  for (uint64_t p = group_positions.find_first(); p != bitset::npos;
       p = group_positions.find_next(p)) {
    group_positions_.push_back(static_cast<uint32_t>(p));
  }
  if (group_positions_.size() != group_schema_.columns.size()) {
    throw errors::fatal_error("Group positions do not match the group schema");
  }
  for (const column_descriptor& c : group_schema_.columns) {
    switch (c.type) {
      case NONE:
        throw errors::error("Unimplemented for these types");
      case BOOL:
        key_kinds_.push_back(key_kind::boolean);
        break;
      case FLOAT:
        key_kinds_.push_back(key_kind::float32);
        break;
      case DOUBLE:
        key_kinds_.push_back(key_kind::float64);
        break;
      case DECIMAL:
        key_kinds_.push_back(key_kind::decimal);
        break;
      case NUMBER:
        key_kinds_.push_back(key_kind::number);
        break;
      default:
        key_kinds_.push_back(key_kind::bytes);
    }
  }
  if (group_schema_.columns.size() == 1) {
    const uint32_t size = ombrel_type_info::get(group_schema_.columns[0].type).size;
    if (size > 0 && size <= 8) word_size_ = size;
  }
  key_.resize(group_positions_.size());
  key_bytes_.resize(group_positions_.size(), std::vector<std::byte>(8));
}

// The scan goes last: destroying it may close its partition.
aggregate_iterator::~aggregate_iterator() {
  groups_.clear();
  functions_.clear();
  inner_.reset();
}

void aggregate_iterator::initialize(aggregate_tuple& tuple) const {
  tuple.values.resize(functions_.size());
  for (size_t i = 0; i < functions_.size(); ++i) functions_[i]->initialize(tuple.values[i]);
}

uint64_t aggregate_iterator::make_key(const row_values& row) {
  uint64_t h = 0;
  for (size_t j = 0; j < group_positions_.size(); ++j) {
    const std::optional<bytes_view>& v = row[group_positions_[j]];
    if (!v) {
      key_[j].reset();
      h = (h ^ 0x5bd1e995) * 0x9E3779B97F4A7C15ull;
      continue;
    }
    std::vector<std::byte>& bytes = key_bytes_[j];
    switch (key_kinds_[j]) {
      case key_kind::bytes:
        key_[j] = *v;
        break;
      case key_kind::boolean:
        bytes[0] = std::byte{v->data[0] != std::byte{0}};
        key_[j] = bytes_view(1, bytes.data());
        break;
      case key_kind::float32: {
        float f = load<float>(v->data);
        if (std::isnan(f)) f = std::numeric_limits<float>::quiet_NaN();
        if (f == 0) f = 0;
        std::memcpy(bytes.data(), &f, 4);
        key_[j] = bytes_view(4, bytes.data());
        break;
      }
      case key_kind::float64: {
        double d = load<double>(v->data);
        if (std::isnan(d)) d = std::numeric_limits<double>::quiet_NaN();
        if (d == 0) d = 0;
        std::memcpy(bytes.data(), &d, 8);
        key_[j] = bytes_view(8, bytes.data());
        break;
      }
      case key_kind::decimal:
        canonical_decimal(*v, bytes);
        key_[j] = bytes_view(bytes.size(), bytes.data());
        break;
      case key_kind::number:
        canonical_number(*v, bytes);
        key_[j] = bytes_view(bytes.size(), bytes.data());
        break;
    }
    h = hash_bytes(h, *key_[j]);
  }
  return mix(h);
}

bool aggregate_iterator::key_equals(const flat_tuple& stored) const {
  for (size_t j = 0; j < key_.size(); ++j) {
    const std::optional<bytes_view>& a = key_[j];
    const std::optional<bytes_view>& b = stored[j];
    if (a.has_value() != b.has_value()) return false;
    if (a && (a->size() != b->size() ||
              (a->size() > 0 && std::memcmp(a->data, b->data, a->size()) != 0))) {
      return false;
    }
  }
  return true;
}

void aggregate_iterator::grow() {
  std::vector<slot> old = std::move(slots_);
  slots_.assign(old.empty() ? 1024 : old.size() * 2, slot{});
  const size_t mask = slots_.size() - 1;
  for (const slot& s : old) {
    if (s.group == EMPTY) continue;
    size_t i = s.hash & mask;
    while (slots_[i].group != EMPTY) i = (i + 1) & mask;
    slots_[i] = s;
  }
}

uint32_t aggregate_iterator::add_group() {
  const auto g = static_cast<uint32_t>(groups_.size());
  aggregate_tuple& created = groups_.emplace_back();
  created.key = flat_tuple::copy(key_);
  initialize(created);
  return g;
}

uint32_t aggregate_iterator::find_word_group(const row_values& row) {
  const std::optional<bytes_view>& v = row[group_positions_[0]];
  if (!v) {
    if (null_group_ == EMPTY) {
      key_[0].reset();
      null_group_ = add_group();
    }
    return null_group_;
  }
  uint64_t word = 0;
  if (key_kinds_[0] == key_kind::bytes) {
    std::memcpy(&word, v->data, word_size_);
  } else {
    make_key(row);
    std::memcpy(&word, key_[0]->data, word_size_);
  }
  // make_key() set key_ for the other kinds.
  return word_group(word, key_kinds_[0] == key_kind::bytes ? *v : *key_[0]);
}

uint32_t aggregate_iterator::word_group(uint64_t word, bytes_view key) {
  if ((groups_.size() + 1) * 2 > slots_.size()) grow();
  const uint64_t h = mix(word);
  const size_t mask = slots_.size() - 1;
  for (size_t i = h & mask;; i = (i + 1) & mask) {
    slot& s = slots_[i];
    if (s.word == word && s.group != EMPTY) return s.group;
    if (s.group == EMPTY) {
      key_[0] = key;
      s = slot{h, word, add_group()};
      return s.group;
    }
  }
}

template <typename W>
void aggregate_iterator::find_word_groups(const std::byte* data, uint32_t count) {
  if (direct_.empty()) direct_.assign(DIRECT_WORDS, EMPTY);
  for (uint32_t i = 0; i < count; ++i) {
    W w;
    std::memcpy(&w, data + size_t{i} * sizeof(W), sizeof(W));
    const bytes_view key(sizeof(W), data + size_t{i} * sizeof(W));
    if (uint64_t{w} >= DIRECT_WORDS) {
      run_groups_[i] = word_group(w, key);
      continue;
    }
    uint32_t& g = direct_[w];
    if (g == EMPTY) g = word_group(w, key);
    run_groups_[i] = g;
  }
}

bool aggregate_iterator::find_run_groups(const row_run& run) {
  if (word_size_ == 0 || key_kinds_[0] != key_kind::bytes) return false;
  const column_reader& column = *run.columns[group_positions_[0]];
  if (column.nullable()) return false;
  const std::byte* data = column.data() + size_t{run.first} * word_size_;
  switch (word_size_) {
    case 1:
      find_word_groups<uint8_t>(data, run.count);
      return true;
    case 2:
      find_word_groups<uint16_t>(data, run.count);
      return true;
    case 4:
      find_word_groups<uint32_t>(data, run.count);
      return true;
    case 8:
      find_word_groups<uint64_t>(data, run.count);
      return true;
    default:
      return false;
  }
}

uint32_t aggregate_iterator::find_group(const row_values& row) {
  const uint64_t h = make_key(row);
  if ((groups_.size() + 1) * 2 > slots_.size()) grow();
  const size_t mask = slots_.size() - 1;
  for (size_t i = h & mask;; i = (i + 1) & mask) {
    slot& s = slots_[i];
    if (s.group == EMPTY) {
      s = slot{h, 0, add_group()};
      return s.group;
    }
    if (s.hash == h && key_equals(groups_[s.group].key)) return s.group;
  }
}

void aggregate_iterator::add_row(const row_values& row) {
  uint32_t g = 0;
  if (word_size_ > 0) {
    g = find_word_group(row);
  } else if (!group_positions_.empty()) {
    g = find_group(row);
  } else if (groups_.empty()) {
    add_group();
  }
  aggregate_value* values = groups_[g].values.data();
  for (size_t f = 0; f < functions_.size(); ++f) functions_[f]->aggregate(values[f], row);
}

void aggregate_iterator::add_run(const row_run& run) {
  uint32_t single = 0;
  if (group_positions_.empty()) {
    if (groups_.empty()) add_group();
  } else {
    run_row_.resize(run.column_count);
    run_groups_.resize(run.count);
    if (!find_run_groups(run)) {
      for (uint32_t i = 0; i < run.count; ++i) {
        for (uint32_t p : group_positions_) run_row_[p] = run.columns[p]->value(run.first + i);
        run_groups_[i] = word_size_ > 0 ? find_word_group(run_row_) : find_group(run_row_);
      }
    }
    single = EMPTY;
  }
  // Groups are all found before pointers into them are taken: adding one may move them.
  for (size_t f = 0; f < functions_.size(); ++f) {
    const int64_t position = functions_[f]->position();
    const column_reader* argument =
        position >= 0 ? run.columns[static_cast<size_t>(position)] : nullptr;
    if (single != EMPTY) {
      functions_[f]->aggregate_run(groups_[single].values[f], argument, run.first, run.count);
      continue;
    }
    run_values_.resize(run.count);
    for (uint32_t i = 0; i < run.count; ++i) run_values_[i] = &groups_[run_groups_[i]].values[f];
    functions_[f]->aggregate_run(run_values_.data(), argument, run.first, run.count);
  }
}

void aggregate_iterator::aggregate() {
  aggregated_ = true;
  if (inner_) {
    const row_callback fold = [this](const row_values& row) { add_row(row); };
    if (auto* runs = dynamic_cast<row_run_source*>(inner_.get())) {
      const row_run_source::run_callback fold_run = [this](const row_run& run) { add_run(run); };
      while (runs->get_next_run(fold_run, fold, RUN_ROWS)) {
      }
    } else {
      while (inner_->get_next(fold)) {
      }
    }
  }
  slots_ = std::vector<slot>();
  direct_ = std::vector<uint32_t>();
  order_.resize(groups_.size());
  for (uint32_t g = 0; g < order_.size(); ++g) order_[g] = g;
  const tuple_comparator less{&group_schema_};
  std::sort(order_.begin(), order_.end(),
            [&](uint32_t a, uint32_t b) { return less(groups_[a].key, groups_[b].key); });
}

bool aggregate_iterator::get_next(const row_callback& callback) {
  if (!aggregated_) aggregate();
  if (next_ >= order_.size()) return false;
  aggregate_tuple& group = groups_[order_[next_++]];
  callback(group.get_internal_tuple(buffers_));
  // Delivered groups let go of their memory.
  group = aggregate_tuple();
  return true;
}

}  // namespace ombrel
