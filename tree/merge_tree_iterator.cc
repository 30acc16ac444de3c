#include "tree/merge_tree_iterator.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "model/big_decimal.h"
#include "model/big_integer.h"
#include "model/tuple.h"
#include "native/errors.h"
#include "native/log.h"
#include "segment/segment_cache.h"
#include "tree/thread_pool.h"

namespace ombrel {

namespace {

// Byte equality and copies of key values, which are mostly a few bytes long: fixed widths
// without a call into the C library.
bool same_bytes(bytes_view a, bytes_view b) {
  if (a.size() != b.size()) return false;
  switch (a.size()) {
    case 0:
      return true;
    case 4: {
      uint32_t x, y;
      std::memcpy(&x, a.data, 4);
      std::memcpy(&y, b.data, 4);
      return x == y;
    }
    case 8: {
      uint64_t x, y;
      std::memcpy(&x, a.data, 8);
      std::memcpy(&y, b.data, 8);
      return x == y;
    }
    default:
      return std::memcmp(a.data, b.data, a.size()) == 0;
  }
}

}  // namespace

// ---- key_order ----

key_order::key_order(const schema_descriptor& schema) {
  columns_.reserve(schema.key_columns.size());
  for (uint32_t c : schema.key_columns) {
    const column_descriptor& d = schema.columns[c];
    column k;
    k.type = d.type;
    k.fixed = d.size != 0;
    switch (d.type) {
      case INT8:
      case INT16:
      case INT32:
      case INT64:
      case UUID:
      case STRING:
      case BYTES:
      case OPAQUE:
        k.one_encoding = true;
        break;
      default:  // BOOL, floating point, numbers and the packed temporal forms
        break;
    }
    columns_.push_back(k);
  }
}

int key_order::compare_one(const column& c, bytes_view a, bytes_view b) {
  if (c.fixed) {
    if (c.type == INT64) {
      int64_t x, y;
      std::memcpy(&x, a.data, 8);
      std::memcpy(&y, b.data, 8);
      return (x > y) - (x < y);
    }
    return compare_fixed(c.type, a.data, b.data);
  }
  return compare_payload(c.type, 0, a, b);
}

int key_order::compare(const bytes_view* a, const bytes_view* b) const {
  for (size_t i = 0; i < columns_.size(); ++i) {
    if (int c = compare_one(columns_[i], a[i], b[i])) return c;
  }
  return 0;
}

bool key_order::equal(const bytes_view* a, const bytes_view* b) const {
  for (size_t i = 0; i < columns_.size(); ++i) {
    if (same_bytes(a[i], b[i])) continue;
    if (columns_[i].one_encoding || compare_one(columns_[i], a[i], b[i]) != 0) return false;
  }
  return true;
}

// ---- level_state ----

namespace {

// Whether a row of the pack is a live version not newer than `timestamp`.
bool may_deliver(const column_reader_pack& pack, tx_timestamp timestamp) {
  const column_reader& timestamps = pack.readers[0];
  const std::byte* removed = pack.tombstones ? pack.tombstones->data() : nullptr;
  for (uint32_t row = 0; row < timestamps.row_count(); ++row) {
    tx_timestamp t;
    std::memcpy(&t, timestamps.data() + size_t{row} * sizeof(t), sizeof(t));
    if (t <= timestamp && (removed == nullptr || removed[row] == std::byte{0})) return true;
  }
  return false;
}

// Adds loaded readers of the picker's columns to the pack, up to the first `count`.
void load_columns(const segment& s, const column_picker& picker, size_t count,
                  const std::shared_ptr<column_memory>& memory, column_reader_pack& pack) {
  const std::vector<unsigned>& columns = picker.columns();
  count = std::min(count, columns.size());
  pack.readers.reserve(columns.size());
  for (size_t i = pack.readers.size(); i < count; ++i) {
    column_reader reader(s.columns().at(columns[i]));
    reader.read_file_and_decompress(memory);
    pack.readers.push_back(std::move(reader));
  }
}

// The timestamp, key and tombstone columns of a segment.
column_reader_pack load_search_columns(const segment& s, const column_picker& picker,
                                       const std::shared_ptr<column_memory>& memory) {
  column_reader_pack pack;
  load_columns(s, picker, picker.search_column_count(), memory, pack);
  if (s.tombstones()) {
    pack.tombstones.emplace(*s.tombstones());
    pack.tombstones->read_file_and_decompress(memory);
  }
  return pack;
}

void load_values(const segment& s, const column_picker& picker,
                 const std::shared_ptr<column_memory>& memory, column_reader_pack& pack) {
  load_columns(s, picker, picker.columns().size(), memory, pack);
}

}  // namespace

merge_tree_iterator::level_state::level_state(const level& segments,
                                              std::shared_ptr<const column_picker> picker,
                                              tx_timestamp read_timestamp,
                                              std::shared_ptr<column_memory> memory)
    : segments_(segments),
      picker_(std::move(picker)),
      read_timestamp_(read_timestamp),
      memory_(std::move(memory)) {
  for (unsigned i = 0; i < READ_AHEAD; ++i) schedule_load();
}

void merge_tree_iterator::level_state::schedule_load() {
  if (next_to_schedule_ >= segments_.size()) return;
  std::shared_ptr<segment> s = segments_[next_to_schedule_++];
  // The task shares the segment and the picker: the iterator may be gone when it runs. They
  // are let go before the result is handed over, so a finished scan holds nothing through it.
  std::packaged_task<column_reader_pack()> task(
      [s, picker = picker_, timestamp = read_timestamp_, memory = memory_]() mutable {
        const std::shared_ptr<segment> own_segment = std::move(s);
        const std::shared_ptr<const column_picker> own_picker = std::move(picker);
        const std::shared_ptr<column_memory> own_memory = std::move(memory);
        column_reader_pack pack = load_search_columns(*own_segment, *own_picker, own_memory);
        // Value columns come along only when some row may be delivered; segments whose rows
        // are all newer or removed never read theirs.
        if (may_deliver(pack, timestamp)) load_values(*own_segment, *own_picker, own_memory, pack);
        return pack;
      });
  loads_.push_back(detail::get_async_pool().submit(std::move(task)));
  loading_.push_back(std::move(s));
}

bool merge_tree_iterator::level_state::start_next_segment() {
  while (!loads_.empty()) {
    std::future<column_reader_pack> load = std::move(loads_.front());
    std::shared_ptr<segment> s = std::move(loading_.front());
    loads_.pop_front();
    loading_.pop_front();
    // The finished segment's columns go back to the memory first, for the load scheduled next.
    release_pack();
    schedule_load();
    column_reader_pack pack = load.get();  // a failed read is raised here
    if (pack.readers.empty() || pack.readers[0].row_count() == 0) continue;
    segment_ = std::move(s);
    pack_ = std::move(pack);
    timestamps_ = pack_.readers[0].data();
    keys_ = pack_.readers[1].data();
    row_ = 0;
    row_count_ = pack_.readers[0].row_count();
    return true;
  }
  segment_.reset();
  release_pack();
  timestamps_ = nullptr;
  return false;
}

void merge_tree_iterator::level_state::release_pack() {
  // Its buffers return to the scan's memory, for the next segment.
  output_.clear();
  output_values_.clear();
  pack_ = column_reader_pack();
  timestamps_ = nullptr;
  keys_ = nullptr;
}

void merge_tree_iterator::level_state::prepare_output() {
  if (pack_.readers.size() < picker_->columns().size()) {
    load_values(*segment_, *picker_, memory_, pack_);
  }
  const std::vector<unsigned>& output = picker_->output();
  output_.resize(output.size());
  output_values_.resize(output.size());
  for (size_t j = 0; j < output.size(); ++j) {
    output_[j] = &pack_.readers[output[j]];
    output_values_[j] = output_[j]->values();
  }
}

bool merge_tree_iterator::level_state::advance(bool& started) {
  started = false;
  if (++row_ < row_count_) return true;
  started = true;
  return start_next_segment();
}

tx_timestamp merge_tree_iterator::level_state::timestamp() const {
  tx_timestamp t;
  std::memcpy(&t, timestamps_ + size_t{row_} * sizeof(t), sizeof(t));
  return t;
}

tx_timestamp merge_tree_iterator::level_state::last_timestamp() const {
  tx_timestamp t;
  std::memcpy(&t, timestamps_ + size_t{row_count_ - 1} * sizeof(t), sizeof(t));
  return t;
}

bool merge_tree_iterator::level_state::is_tombstone() const {
  return pack_.tombstones && pack_.tombstones->data()[row_] != std::byte{0};
}

void merge_tree_iterator::level_state::load_key(size_t key_count, bytes_view* out) const {
  for (size_t i = 0; i < key_count; ++i)
    out[i] = pack_.readers[1 + i].value(row_).value_or(bytes_view());
}

void merge_tree_iterator::level_state::load_last_key(size_t key_count, bytes_view* out) const {
  for (size_t i = 0; i < key_count; ++i) {
    out[i] = pack_.readers[1 + i].value(row_count_ - 1).value_or(bytes_view());
  }
}

void merge_tree_iterator::level_state::read_tuple(row_values& out) {
  if (output_.size() != picker_->output().size()) prepare_output();
  out.resize(output_values_.size());
  for (size_t j = 0; j < output_values_.size(); ++j) {
    const column_values& c = output_values_[j];
    if (c.is_null(row_)) {
      out[j].reset();
    } else {
      out[j] = c.value(row_);
    }
  }
}

uint32_t merge_tree_iterator::level_state::run_length(const key_order& order, bool int_key,
                                                      uint32_t max_rows) {
  const std::byte* removed = pack_.tombstones ? pack_.tombstones->data() : nullptr;
  const auto visible = [&](uint32_t r) {
    tx_timestamp t;
    std::memcpy(&t, timestamps_ + size_t{r} * sizeof(t), sizeof(t));
    return t <= read_timestamp_ && (removed == nullptr || removed[r] == std::byte{0});
  };
  if (!visible(row_)) return 0;
  const uint32_t end = row_count_ - row_ > max_rows ? row_ + max_rows : row_count_;
  uint32_t r = row_ + 1;
  if (int_key) {
    while (r < end && visible(r) && int_key_at(r) != int_key_at(r - 1)) ++r;
    return r - row_;
  }
  const size_t keys = order.size();
  key_a_.resize(keys);
  key_b_.resize(keys);
  bytes_view* previous = key_a_.data();
  bytes_view* current = key_b_.data();
  for (size_t i = 0; i < keys; ++i) {
    previous[i] = pack_.readers[1 + i].value(row_).value_or(bytes_view());
  }
  for (; r < end && visible(r); ++r) {
    for (size_t i = 0; i < keys; ++i) {
      current[i] = pack_.readers[1 + i].value(r).value_or(bytes_view());
    }
    if (order.equal(current, previous)) break;
    std::swap(previous, current);
  }
  return r - row_;
}

row_run merge_tree_iterator::level_state::take_run(uint32_t count) {
  if (output_.size() != picker_->output().size()) prepare_output();
  row_run run{output_.data(), output_.size(), row_, count};
  row_ += count - 1;
  return run;
}

// ---- merge_tree_iterator ----

merge_tree_iterator::merge_tree_iterator(const schema_descriptor& schema,
                                         std::shared_ptr<tree_state> state, tx_timestamp timestamp,
                                         const bitset* projection)
    : schema_(schema),
      state_(std::move(state)),
      read_timestamp_(timestamp),
      picker_(projection ? std::make_shared<const column_picker>(schema_, *projection)
                         : std::make_shared<const column_picker>(schema_)),
      mem_picker_(picker_->picked()),
      memory_(segment_cache::instance().scan_memory()),
      order_(schema_),
      last_key_(order_.size()),
      key_a_(order_.size()),
      key_b_(order_.size()) {
  const material_tuple_schema material = schema_.get_material_schema();
  int_key_ =
      schema_.key_columns.size() == 1 && schema_.columns[schema_.key_columns[0]].type == INT64;
  for (const std::shared_ptr<row_set>& rows : state_->memtables) {
    row_set::iterator it = rows->get_iterator(material);
    if (it.valid())
      mem_.push_back(mem_source{std::move(it), {}, 0});  // an empty row set takes no part
  }
  for (const level& l : state_->levels) {
    if (!l.empty()) {
      levels_.push_back(std::make_unique<level_state>(l, picker_, read_timestamp_, memory_));
    }
  }
}

void merge_tree_iterator::begin() {
  begun_ = true;
  std::erase_if(mem_,
                [&](mem_source& m) { return !m.rows.next_batch(mem_picker_, MEM_BATCH, m.batch); });
  // Every level reads ahead before the first waits for its first segment.
  std::erase_if(levels_, [](const std::unique_ptr<level_state>& l) { return !l->start(); });
  mem_count_ = static_cast<uint32_t>(mem_.size());
  const auto sources = static_cast<uint32_t>(mem_.size() + levels_.size());
  heads_.resize(sources);
  for (uint32_t s = 0; s < sources; ++s) refresh(s);
  for (uint32_t s = 0; s < sources; ++s) push(s);
  mode_ = switch_to_next_level(false);
}

merge_tree_iterator::~merge_tree_iterator() {
  // The scan goes before the close action, which may close the partition it reads.
  release_sources();
  if (!close_action_) return;
  try {
    close_action_();
  } catch (const std::exception& e) {
    logging::detail::log(logging::level::error, "Closing a scan failed: {}", errors::describe(e));
  } catch (...) {
    logging::detail::log(logging::level::error, "Closing a scan failed with an unknown error");
  }
}

bool merge_tree_iterator::get_next(const row_callback& callback) {
  if (failure_) std::rethrow_exception(failure_);
  try {
    if (!begun_) begin();
    return next_row(callback);
  } catch (...) {
    failure_ = std::current_exception();
    release_sources();
    throw;
  }
}

bool merge_tree_iterator::get_next_run(const run_callback& run, const row_callback& row,
                                       uint32_t max_rows) {
  if (failure_) std::rethrow_exception(failure_);
  try {
    if (!begun_) begin();
    if (next_run(run, max_rows)) return true;
    return next_row(row);
  } catch (...) {
    failure_ = std::current_exception();
    release_sources();
    throw;
  }
}

bool merge_tree_iterator::next_run(const run_callback& run, uint32_t max_rows) {
  // Only in fast-forward mode does the rest of the current segment come before every other
  // source's rows.
  if (mode_ != mode::fast_forward || is_mem(current_)) return false;
  level_state& l = level_of(current_);
  const uint32_t count = l.run_length(order_, int_key_, max_rows);
  if (count == 0) return false;
  if (int_key_) {
    if (has_last_key_ && l.int_key() == last_int_key_) return false;
  } else {
    l.load_key(order_.size(), key_a_.data());
    if (has_last_key_ && order_.equal(key_a_.data(), last_key_.data())) return false;
  }
  const row_run rows = l.take_run(count);
  // The run's last row decides its key.
  if (int_key_) {
    last_int_key_ = l.int_key();
    has_last_key_ = true;
  } else {
    l.load_key(order_.size(), key_a_.data());
    remember_key(key_a_.data());
  }
  run(rows);
  next();
  if (mode_ == mode::exhausted) release_sources();
  return true;
}

bool merge_tree_iterator::next_row(const row_callback& callback) {
  for (;;) {
    if (mode_ == mode::exhausted) {
      release_sources();
      return false;
    }
    const uint32_t s = current_;
    if (timestamp_of(s) > read_timestamp_) {
      next();
      continue;
    }
    if (repeats_last_key(s)) {
      next();  // an older version of a key already decided
      continue;
    }
    if (is_tombstone(s)) {
      next();  // the key stays remembered, so its older versions are skipped too
      continue;
    }
    if (is_mem(s)) {
      mem_[s].batch.read(mem_[s].at, values_);
      callback(values_);
    } else {
      level_of(s).read_tuple(values_);
      callback(values_);
    }
    next();
    if (mode_ == mode::exhausted) release_sources();
    return true;
  }
}

void merge_tree_iterator::next() {
  bool started = false;
  const bool more = is_mem(current_) ? advance_mem(current_) : level_of(current_).advance(started);
  if (!more) {
    mode_ = switch_to_next_level(false);
    return;
  }
  refresh(current_);
  if (mode_ == mode::fast_forward && !started) return;
  if (heap_.empty()) {
    mode_ = mode::fast_forward;
    return;
  }
  // A new segment may start after another source's key: the order is checked again then.
  if (comes_after(current_, heap_.front())) {
    // The top comes first now; the current source takes its place in the heap.
    std::swap(current_, heap_.front());
    sift_down();
    mode_ = check_fast_forward();
  } else if (started) {
    mode_ = check_fast_forward();
  }
}

merge_tree_iterator::mode merge_tree_iterator::switch_to_next_level(bool push_current) {
  if (heap_.empty()) return push_current ? mode::fast_forward : mode::exhausted;
  if (push_current) push(current_);
  current_ = pop();
  return check_fast_forward();
}

merge_tree_iterator::mode merge_tree_iterator::check_fast_forward() {
  if (heap_.empty()) return mode::fast_forward;
  if (is_mem(current_)) return mode::merging;
  const level_state& l = level_of(current_);
  const uint32_t top = heap_.front();
  if (int_key_) {
    const int64_t last = l.last_int_key();
    const int64_t other = int_key_of(top);
    if (last != other) return last < other ? mode::fast_forward : mode::merging;
  } else {
    l.load_last_key(order_.size(), key_a_.data());
    load_key(top, key_b_.data());
    if (int c = order_.compare(key_a_.data(), key_b_.data())) {
      return c < 0 ? mode::fast_forward : mode::merging;
    }
  }
  const tx_timestamp last = l.last_timestamp();
  const tx_timestamp other = timestamp_of(top);
  if (last != other) return last > other ? mode::fast_forward : mode::merging;
  return top < current_ ? mode::merging : mode::fast_forward;
}

bool merge_tree_iterator::comes_after_typed(uint32_t a, uint32_t b) {
  load_key(a, key_a_.data());
  load_key(b, key_b_.data());
  if (int c = order_.compare(key_a_.data(), key_b_.data())) return c > 0;
  const tx_timestamp ta = timestamp_of(a);
  const tx_timestamp tb = timestamp_of(b);
  if (ta != tb) return ta < tb;
  return a > b;
}

void merge_tree_iterator::push(uint32_t source) {
  heap_.push_back(source);
  std::push_heap(heap_.begin(), heap_.end(),
                 [this](uint32_t a, uint32_t b) { return comes_after(a, b); });
}

void merge_tree_iterator::sift_down() {
  const size_t n = heap_.size();
  const uint32_t moving = heap_.front();
  size_t i = 0;
  for (;;) {
    size_t child = 2 * i + 1;
    if (child >= n) break;
    if (child + 1 < n && comes_after(heap_[child], heap_[child + 1])) ++child;
    if (!comes_after(moving, heap_[child])) break;
    heap_[i] = heap_[child];
    i = child;
  }
  heap_[i] = moving;
}

bool merge_tree_iterator::advance_mem(uint32_t source) {
  mem_source& m = mem_[source];
  if (++m.at < m.batch.size()) return true;
  m.at = 0;
  return m.rows.next_batch(mem_picker_, MEM_BATCH, m.batch);
}

uint32_t merge_tree_iterator::pop() {
  std::pop_heap(heap_.begin(), heap_.end(),
                [this](uint32_t a, uint32_t b) { return comes_after(a, b); });
  const uint32_t source = heap_.back();
  heap_.pop_back();
  return source;
}

void merge_tree_iterator::load_key(uint32_t source, bytes_view* out) {
  if (!is_mem(source)) {
    level_of(source).load_key(order_.size(), out);
    return;
  }
  // The batch's own copy of the key: a flush may release the mem-table meanwhile.
  const mem_source& m = mem_[source];
  const bytes_view* key = m.batch.key(m.at);
  std::copy(key, key + order_.size(), out);
}

void merge_tree_iterator::refresh(uint32_t source) {
  head& h = heads_[source];
  if (!is_mem(source)) {
    const level_state& l = level_of(source);
    h.timestamp = l.timestamp();
    if (int_key_) h.key = l.int_key();
    return;
  }
  const mem_source& m = mem_[source];
  h.timestamp = m.batch.timestamp(m.at);
  if (int_key_) std::memcpy(&h.key, m.batch.key(m.at)[0].data, sizeof(h.key));
}

bool merge_tree_iterator::is_tombstone(uint32_t source) const {
  if (!is_mem(source)) return level_of(source).is_tombstone();
  const mem_source& m = mem_[source];
  return m.batch.is_tombstone(m.at);
}

bool merge_tree_iterator::repeats_last_key(uint32_t source) {
  if (int_key_) {
    const int64_t k = int_key_of(source);
    if (has_last_key_ && k == last_int_key_) return true;
    last_int_key_ = k;
    has_last_key_ = true;
    return false;
  }
  load_key(source, key_a_.data());
  if (has_last_key_ && order_.equal(key_a_.data(), last_key_.data())) return true;
  remember_key(key_a_.data());
  return false;
}

void merge_tree_iterator::remember_key(const bytes_view* key) {
  size_t total = 0;
  for (size_t i = 0; i < last_key_.size(); ++i) total += key[i].size();
  if (last_key_bytes_.size() < total)
    last_key_bytes_.resize(std::max(total, 2 * last_key_bytes_.size()));
  size_t offset = 0;
  for (size_t i = 0; i < last_key_.size(); ++i) {
    copy_short(last_key_bytes_.data() + offset, key[i].data, key[i].size());
    last_key_[i] = bytes_view(key[i].size(), last_key_bytes_.data() + offset);
    offset += key[i].size();
  }
  has_last_key_ = true;
}

void merge_tree_iterator::release_sources() {
  begun_ = true;
  mode_ = mode::exhausted;
  heap_.clear();
  heads_.clear();
  mem_count_ = 0;
  mem_.clear();
  levels_.clear();
  state_.reset();
  values_.clear();
  if (memory_ && memory_.use_count() == 1) {
    // Unmapping large decoded columns stalls every thread of the process a little; the pool
    // pays for it rather than the scan. (Read-ahead tasks still queued hold the memory too and
    // let go of it on the pool anyway.)
    try {
      std::packaged_task<void()> task([done = memory_]() mutable { done.reset(); });
      memory_.reset();
      detail::get_async_pool().submit(std::move(task));
    } catch (const std::exception& e) {
      logging::detail::log(logging::level::warning,
                           "Freeing the columns of a scan on this thread: {}", e.what());
    }
  }
  memory_.reset();
}

}  // namespace ombrel
