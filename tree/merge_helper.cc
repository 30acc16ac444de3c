#include "tree/merge_helper.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "model/file_system.h"
#include "native/errors.h"
#include "native/log.h"
#include "segment/column_block_reader.h"
#include "segment/segment_creator.h"

namespace ombrel {
namespace {

using element_info = material_tuple_schema::element_info;

int compare_payload(const element_info& e, bytes_view a, bytes_view b) {
  return ombrel::compare_payload(e.type, e.size, a, b);
}

// Where a segment keeps the parts of a row that merges look at.
struct row_shape {
  explicit row_shape(const segment& s)
      : schema(&s.material_schema()),
        timestamp_column(s.timestamp_slot()),
        key_columns(s.schema().key_columns) {}

  const material_tuple_schema* schema;
  uint32_t timestamp_column;
  std::vector<uint32_t> key_columns;  // column index per key position
};

// The rows [begin, end) of some segments in order. Columns are read one block at a time, outside
// the block cache, so that a merge holds a block per column rather than whole decoded columns.
class row_stream {
 public:
  struct range {
    std::shared_ptr<const segment> source;
    uint64_t begin = 0;
    uint64_t end = 0;
  };

  explicit row_stream(std::vector<range> ranges) : ranges_(std::move(ranges)) { settle(); }

  bool done() const { return at_ >= ranges_.size(); }
  uint64_t row() const { return row_; }
  const segment& source() const { return *ranges_[at_].source; }

  // The value of column slot `c` (a schema column or the timestamp column) at the current row;
  // empty for null.
  std::optional<bytes_view> value(uint32_t c) {
    column& col = columns_[c];
    if (col.nulls && col.nulls->bit(row_)) return std::nullopt;
    if (!col.block || !col.block->contains(row_)) {
      col.block = source().value_block(c, row_);
    }
    return col.block->value(row_);
  }
  tx_timestamp timestamp() {
    tx_timestamp t;
    std::memcpy(&t, value(timestamp_slot_)->data, sizeof(t));
    return t;
  }
  bool removal() {
    if (!has_tombstones_) return false;
    column& col = columns_[timestamp_slot_ + 1];
    if (!col.block || !col.block->contains(row_)) {
      col.block = source().value_block(timestamp_slot_ + 1, row_);
    }
    return std::to_integer<uint8_t>(*col.block->value(row_).data) != 0;
  }

  void next() {
    ++row_;
    settle();
  }

 private:
  struct column {
    std::shared_ptr<const decoded_block> block;
    std::shared_ptr<const decoded_block> nulls;
  };

  // Moves past exhausted ranges and opens the segment of the current one.
  void settle() {
    while (at_ < ranges_.size() && row_ >= ranges_[at_].end) {
      ++at_;
      opened_ = false;
      if (at_ < ranges_.size()) row_ = ranges_[at_].begin;
    }
    if (at_ < ranges_.size() && !opened_) open(source());
  }
  void open(const segment& s) {
    timestamp_slot_ = s.timestamp_slot();
    has_tombstones_ = s.tombstones().has_value();
    columns_.assign(timestamp_slot_ + 2, column{});
    for (uint32_t c = 0; c < timestamp_slot_; ++c) {
      if (!s.schema().columns[c].nullable) continue;
      const column_layout& layout = s.layout(c);
      if (layout.has_null_map()) columns_[c].nulls = read_null_map(layout);
    }
    opened_ = true;
  }

  std::vector<range> ranges_;
  size_t at_ = 0;
  uint64_t row_ = ranges_.empty() ? 0 : ranges_[0].begin;
  bool opened_ = false;
  uint32_t timestamp_slot_ = 0;
  bool has_tombstones_ = false;
  std::vector<column> columns_;  // schema columns, the timestamp column, the tombstone column
};

int compare_keys(const row_shape& shape, row_stream& a, row_stream& b) {
  for (size_t k = 0; k < shape.key_columns.size(); ++k) {
    const uint32_t c = shape.key_columns[k];
    if (int r = compare_payload((*shape.schema)[k], *a.value(c), *b.value(c))) return r;
  }
  return 0;
}

// The key values of the stream's current row, valid until it moves.
void read_key(const row_shape& shape, row_stream& rows, std::vector<bytes_view>& out) {
  out.resize(shape.key_columns.size());
  for (size_t k = 0; k < out.size(); ++k) out[k] = *rows.value(shape.key_columns[k]);
}

// Decides which versions survive a merge into a level: for each key, every version newer than
// the watermark and the newest one at or below it; removals older than the watermark only
// until they reach the last level, where nothing older can lie below them.
class version_filter {
 public:
  version_filter(const material_tuple_schema& schema, tx_timestamp low_watermark, bool last_level)
      : schema_(schema), low_watermark_(low_watermark), last_level_(last_level) {}

  // Whether the version goes on; every version, kept or not, becomes the previous one.
  bool keep(const std::vector<bytes_view>& key, tx_timestamp t, bool removal) {
    const bool same_key = has_previous_ && equals_previous(key);
    bool keep = true;
    if (t < low_watermark_) {
      if (removal) {
        keep = !last_level_;
      } else if (same_key && previous_timestamp_ <= low_watermark_) {
        keep = false;
      }
    }
    previous_timestamp_ = t;
    if (!same_key) {
      previous_key_.resize(key.size());
      for (size_t k = 0; k < key.size(); ++k) previous_key_[k].assign(key[k].begin(), key[k].end());
    }
    has_previous_ = true;
    return keep;
  }

  bool keep(const row_shape& shape, row_stream& rows) {
    read_key(shape, rows, key_);
    return keep(key_, rows.timestamp(), rows.removal());
  }

 private:
  bool equals_previous(const std::vector<bytes_view>& key) const {
    for (size_t k = 0; k < key.size(); ++k) {
      const bytes_view p(previous_key_[k].size(), previous_key_[k].data());
      if (compare_payload(schema_[k], key[k], p) != 0) return false;
    }
    return true;
  }

  const material_tuple_schema& schema_;
  tx_timestamp low_watermark_;
  bool last_level_;
  bool has_previous_ = false;
  tx_timestamp previous_timestamp_ = 0;
  std::vector<std::vector<std::byte>> previous_key_;
  std::vector<bytes_view> key_;
};

// Writes rows into new segments of about `target_rows` rows each. A segment is started on its
// first row, so no empty segment is ever written. The schema is `like`'s.
class segment_sink {
 public:
  segment_sink(const segment& like, seqno_helper& namer, uint64_t target_rows,
               std::vector<std::shared_ptr<segment>>& created)
      : like_(like),
        namer_(namer),
        target_rows_(std::max<uint64_t>(1, target_rows)),
        created_(created) {}
  ~segment_sink() { abandon(); }

  // Appends the stream's current row.
  void add(row_stream& rows) {
    if (!creator_) {
      path_ = namer_.make_new_path();
      creator_.emplace(path_, like_.schema(), like_.material_schema());
    }
    values_.resize(like_.timestamp_slot() + 1);
    for (uint32_t c = 0; c < values_.size(); ++c) values_[c] = rows.value(c);
    creator_->add_row(values_, rows.removal());
    if (creator_->row_count() >= target_rows_) finish();
  }

  // Closes the segment being written. Returns every segment written, in order.
  std::vector<std::shared_ptr<segment>> close() {
    finish();
    return std::move(written_);
  }

 private:
  void finish() {
    if (!creator_) return;
    creator_->close();
    creator_.reset();
    auto s = std::make_shared<segment>(path_);
    created_.push_back(s);
    written_.push_back(std::move(s));
  }
  // A segment left half-written by a failure is nobody's: its directory goes at once.
  void abandon() noexcept {
    if (!creator_) return;
    try {
      creator_->close();
    } catch (const std::exception& e) {
      // The directory goes next whatever the close left.
      logging::detail::log(logging::level::debug, "Closing unfinished segment {} failed: {}",
                           path_.string(), errors::describe(e));
    }
    creator_.reset();
    try {
      files::remove_all(path_);
    } catch (const std::exception& e) {
      logging::detail::log(logging::level::error, "Failed to remove unfinished segment {}: {}",
                           path_.string(), errors::describe(e));
    }
  }

  const segment& like_;
  seqno_helper& namer_;
  uint64_t target_rows_;
  std::vector<std::shared_ptr<segment>>& created_;
  std::optional<segment_creator> creator_;
  std::filesystem::path path_;
  std::vector<std::shared_ptr<segment>> written_;
  std::vector<std::optional<bytes_view>> values_;
};

const material_tuple& smallest_key(const segment& s) { return s.index().keys().front(); }
const material_tuple& largest_key(const segment& s) { return s.index().keys().back(); }

int compare_bounds(const segment& s, const material_tuple& a, const material_tuple& b) {
  return compare(s.material_schema(), a, b);
}

// Copies every row of `stream` into new segments (one per `target_rows`).
std::vector<std::shared_ptr<segment>> copy_rows(row_stream stream, const segment& like,
                                                seqno_helper& namer, uint64_t target_rows,
                                                std::vector<std::shared_ptr<segment>>& created) {
  segment_sink sink(like, namer, target_rows, created);
  for (; !stream.done(); stream.next()) sink.add(stream);
  return sink.close();
}

}  // namespace

merge_tree::merge_helper::merge_helper(std::vector<level>& levels, level& fresh)
    : source_(&fresh), target_(&levels.at(0)), target_is_last_(levels.size() == 1) {
  first_ = 0;
  offset_ = 0;
  count_ = fresh.empty() ? 0 : fresh[0]->size();
  perform_intersection();
}

merge_tree::merge_helper::merge_helper(std::vector<level>& levels, size_t l, size_t s)
    : source_(&levels.at(l)), target_(&levels.at(l + 1)), target_is_last_(l + 2 == levels.size()) {
  perform_adjustment(s);
  perform_intersection();
}

void merge_tree::merge_helper::perform_adjustment(size_t s) {
  const level& src = *source_;
  const segment& chosen = *src.at(s);
  const material_tuple& k = largest_key(chosen);
  auto begins_with_k = [&](size_t i) {
    return compare_bounds(chosen, smallest_key(*src[i]), k) == 0;
  };
  auto ends_with_k = [&](size_t i) { return compare_bounds(chosen, largest_key(*src[i]), k) == 0; };
  auto whole = [&](size_t i) {
    first_ = i;
    offset_ = 0;
    count_ = src[i]->size();
  };
  // A run of `rows` rows starting at row `at` of segment `p` (which may run on into p + 1).
  auto straddle = [&](size_t p, uint64_t at) {
    first_ = p;
    if (at < src[p]->size()) {
      offset_ = at;
      count_ = src[p]->size();
    } else {
      offset_ = 0;
      count_ = src[p]->size() + at;
    }
  };
  if (s + 1 == src.size() || !begins_with_k(s + 1)) return whole(s);
  // The versions of K run on into the following segments up to f.
  size_t f = s + 1;
  while (f + 1 < src.size() && begins_with_k(f + 1)) ++f;
  size_t b = s;
  while (b > 0 && ends_with_k(b - 1)) --b;
  const size_t backward = s - b + 1;
  const size_t forward = f - s;
  if (b > 0 && backward < forward) {
    // End the run just before the first version of K.
    return straddle(b - 1, src[b]->lower_bound(k));
  }
  // End the run just after the last version of K.
  if (ends_with_k(f)) return whole(f);
  straddle(f - 1, src[f]->upper_bound(k));
}

void merge_tree::merge_helper::perform_intersection() {
  const level& dst = *target_;
  if (count_ == 0 || dst.empty()) {
    overlap_ = {dst.size(), dst.size()};
    return;
  }
  const segment& run_first = *(*source_)[first_];
  const segment& run_last = *(*source_)[run_continues() ? first_ + 1 : first_];
  const material_tuple& low = smallest_key(run_first);
  const material_tuple& high = largest_key(run_last);
  if (compare_bounds(run_first, low, largest_key(*dst.back())) > 0) {
    overlap_ = {dst.size(), dst.size()};
    return;
  }
  if (compare_bounds(run_first, high, smallest_key(*dst.front())) < 0) {
    overlap_ = {0, 0};
    return;
  }
  const auto begin = std::partition_point(dst.begin(), dst.end(), [&](const auto& t) {
    return compare_bounds(run_first, largest_key(*t), low) < 0;
  });
  const auto end = std::partition_point(begin, dst.end(), [&](const auto& t) {
    return compare_bounds(run_first, smallest_key(*t), high) <= 0;
  });
  size_t last = static_cast<size_t>(end - dst.begin());
  // The versions of the last overlapped key may run on into the following segments: they are
  // merged too, or the rows dropped here would leave their older versions visible.
  while (begin != end && last < dst.size() &&
         compare_bounds(run_first, smallest_key(*dst[last]), largest_key(*dst[last - 1])) == 0) {
    ++last;
  }
  overlap_ = {static_cast<size_t>(begin - dst.begin()), last};
}

bool merge_tree::merge_helper::run_is_whole_segment() const {
  return offset_ == 0 && count_ == (*source_)[first_]->size();
}

bool merge_tree::merge_helper::run_continues() const {
  return offset_ + count_ > (*source_)[first_]->size();
}

void merge_tree::merge_helper::merge(seqno_helper& namer, tx_timestamp low_watermark) {
  level& src = *source_;
  level& dst = *target_;
  if (count_ == 0) return;
  auto names = [](const level& l, size_t from, size_t to) {
    std::string text;
    for (size_t i = from; i < to; ++i) text += " " + l[i]->directory().filename().string();
    return text;
  };
  logging::detail::log(logging::level::debug,
                       "Merging rows {}+{} of{} into{} (overlap {}..{} of {}), watermark {}",
                       offset_, count_, names(src, first_, std::min(src.size(), first_ + 2)),
                       names(dst, overlap_.first, overlap_.second), overlap_.first, overlap_.second,
                       dst.size(), low_watermark);
  try {
    if (overlap_.first == overlap_.second && run_is_whole_segment()) {
      dst.insert(dst.begin() + static_cast<ptrdiff_t>(overlap_.first), src[first_]);
      src.erase(src.begin() + static_cast<ptrdiff_t>(first_));
      return;
    }
    const bool continues = run_continues();
    const std::shared_ptr<segment> head = src[first_];
    const std::shared_ptr<segment> tail = continues ? src.at(first_ + 1) : nullptr;
    removed_.push_back(head);
    if (tail) removed_.push_back(tail);
    for (size_t t = overlap_.first; t < overlap_.second; ++t) removed_.push_back(dst[t]);

    const uint64_t head_rows = head->size();
    const uint64_t run_end = offset_ + count_;  // in head's row numbers, may pass into tail
    std::vector<row_stream::range> run{{head, offset_, std::min(run_end, head_rows)}};
    if (tail) run.push_back({tail, 0, run_end - head_rows});

    std::vector<std::shared_ptr<segment>> moved;
    if (overlap_.first == overlap_.second) {
      moved = copy_rows(row_stream(run), *head, namer, UINT64_MAX, created_);
    } else {
      moved = perform_merge(namer, low_watermark);
    }
    // What stays of the source: the rows of head and tail outside the run, in one segment.
    std::vector<std::shared_ptr<segment>> rest;
    if (tail || offset_ > 0 || run_end < head_rows) {
      std::vector<row_stream::range> outside{{head, 0, offset_}};
      if (tail) outside.push_back({tail, run_end - head_rows, tail->size()});
      if (!tail) outside.push_back({head, run_end, head_rows});
      rest = copy_rows(row_stream(outside), *head, namer, UINT64_MAX, created_);
    }
    const auto at = src.begin() + static_cast<ptrdiff_t>(first_);
    src.erase(at, at + (tail ? 2 : 1));
    src.insert(src.begin() + static_cast<ptrdiff_t>(first_), rest.begin(), rest.end());
    const auto from = dst.begin() + static_cast<ptrdiff_t>(overlap_.first);
    dst.erase(from, dst.begin() + static_cast<ptrdiff_t>(overlap_.second));
    dst.insert(dst.begin() + static_cast<ptrdiff_t>(overlap_.first), moved.begin(), moved.end());
  } catch (...) {
    for (const auto& s : created_) s->set_remove_on_destroy();
    throw;
  }
}

std::vector<std::shared_ptr<segment>> merge_tree::merge_helper::perform_merge(
    seqno_helper& namer, tx_timestamp low_watermark) {
  level& src = *source_;
  level& dst = *target_;
  if (overlap_.first == overlap_.second) throw errors::error("No older levels to merge with");
  const segment& head = *src[first_];
  for (size_t t = overlap_.first; t < overlap_.second; ++t) {
    if (!(dst[t]->schema() == head.schema())) throw errors::error("schema mismatch");
  }
  const bool continues = run_continues();
  const uint64_t run_end = offset_ + count_;
  std::vector<row_stream::range> run{
      {src[first_], offset_, std::min<uint64_t>(run_end, head.size())}};
  if (continues) run.push_back({src.at(first_ + 1), 0, run_end - head.size()});
  std::vector<row_stream::range> older;
  uint64_t total = count_;
  for (size_t t = overlap_.first; t < overlap_.second; ++t) {
    older.push_back({dst[t], 0, dst[t]->size()});
    total += dst[t]->size();
  }
  const uint64_t k = overlap_.second - overlap_.first;
  const uint64_t target_rows = (total + k) / (k + 1);

  const row_shape shape(head);
  version_filter filter(head.material_schema(), low_watermark, target_is_last_);
  segment_sink sink(head, namer, target_rows, created_);
  row_stream a(std::move(run));
  row_stream b(std::move(older));
  while (!a.done() || !b.done()) {
    bool take_a = b.done();
    if (!a.done() && !b.done()) {
      // Equal keys: the newer version first, whatever level it comes from; the run on ties.
      const int c = compare_keys(shape, a, b);
      take_a = c < 0 || (c == 0 && a.timestamp() >= b.timestamp());
    }
    row_stream& from = take_a ? a : b;
    if (filter.keep(shape, from)) sink.add(from);
    from.next();
  }
  return sink.close();
}

std::vector<std::shared_ptr<segment>> drop_unreachable_versions(
    const std::shared_ptr<segment>& s, const segment* previous, seqno_helper& namer,
    tx_timestamp low_watermark, std::vector<std::shared_ptr<segment>>& created) {
  // The last version of the previous segment may be the newer version of this one's first key.
  // The probe reads only the key, timestamp and tombstone blocks.
  std::vector<bytes_view> previous_key;
  tx_timestamp previous_timestamp = 0;
  std::optional<row_stream> previous_row;  // holds the blocks previous_key points into
  if (previous != nullptr && previous->size() > 0) {
    previous_row.emplace(std::vector<row_stream::range>{
        {previous->shared_from_this(), previous->size() - 1u, previous->size()}});
    read_key(row_shape(*previous), *previous_row, previous_key);
    previous_timestamp = previous_row->timestamp();
  }
  auto seeded = [&] {
    version_filter filter(s->material_schema(), low_watermark, true);
    if (!previous_key.empty()) filter.keep(previous_key, previous_timestamp, false);
    return filter;
  };

  const row_shape shape(*s);
  version_filter probe = seeded();
  bool drops = false;
  for (row_stream rows({{s, 0, s->size()}}); !rows.done() && !drops; rows.next()) {
    drops = !probe.keep(shape, rows);
  }
  if (!drops) return {s};

  version_filter filter = seeded();
  segment_sink sink(*s, namer, UINT64_MAX, created);
  for (row_stream rows({{s, 0, s->size()}}); !rows.done(); rows.next()) {
    if (filter.keep(shape, rows)) sink.add(rows);
  }
  return sink.close();
}

}  // namespace ombrel
