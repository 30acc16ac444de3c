// Layout files, recovery and the flush of a mem-table: how a merge tree's structure reaches the
// disk and comes back. Every commit writes a complete layout under a fresh name, syncs it,
// renames it into place and syncs the directory before anything older goes.

#include <fmt/format.h>

#include <algorithm>
#include <set>
#include <string>

#include "model/file.h"
#include "model/file_system.h"
#include "native/errors.h"
#include "native/log.h"
#include "tree/layout_file.h"
#include "tree/merge_helper.h"
#include "tree/merge_tree.h"

namespace ombrel {

std::filesystem::path merge_tree::make_layout_name(uint64_t n) const {
  return directory_ / (LAYOUT_FILENAME_PREFIX + std::to_string(n));
}

std::optional<uint64_t> merge_tree::parse_layout_file_name(const std::filesystem::path& path) {
  const std::string name = path.filename().native();
  const std::string_view prefix = LAYOUT_FILENAME_PREFIX;
  if (!name.starts_with(prefix)) return std::nullopt;
  return parse_seqno(std::string_view(name).substr(prefix.size()));
}

void merge_tree::recover() {
  std::optional<uint64_t> newest;
  uint64_t highest_segment = 0;
  for (const dir_entry& entry : files::list_directory(directory_)) {
    if (entry.is_directory) {
      if (auto n = parse_seqno(entry.path.filename().native())) {
        highest_segment = std::max(highest_segment, *n);
      }
    } else if (auto n = parse_layout_file_name(entry.path)) {
      newest = std::max(newest.value_or(0), *n);
    }
  }
  merge_tree_updater block = block_tree_wait();
  // A layout that was being written is never authoritative: only renamed layouts are.
  try {
    files::remove(directory_ / LAYOUT_TEMP_FILENAME);
  } catch (const std::exception& e) {
    logging::detail::log(logging::level::error, "{}", errors::describe(e));
  }
  if (!newest) {
    if (highest_segment != 0) {
      logging::detail::log(logging::level::error,
                           "Tree {} holds segment directories but no layout file; they are kept",
                           directory_.string());
    }
    namer_.set_next(highest_segment + 1);
    block.set_state(std::make_shared<tree_state>());
    return;
  }
  std::shared_ptr<tree_state> state = load_tree(make_layout_name(*newest), *newest);
  adopt_segment_schema(*state);
  committed_layout_ = *newest;
  // Directories left over by a crash may carry numbers above the layout's: never reuse one.
  namer_.set_next(std::max(*newest, highest_segment) + 1);
  block.set_state(state);
  try {
    compact_levels(block, state, get_low_watermark());
  } catch (const std::exception& e) {
    // The loaded state is consistent; the compaction is retried by the next flush.
    logging::detail::log(logging::level::error, "Compaction of {} at recovery failed: {}",
                         directory_.string(), errors::describe(e));
  }
  remove_excessive_layouts();
  remove_unused_segments(block.state());
}

std::shared_ptr<tree_state> merge_tree::load_tree(const std::filesystem::path& layout,
                                                  uint64_t number) {
  layout_contents contents;
  try {
    const std::vector<std::byte> bytes = file::for_reading(layout).read_as_bytes();
    contents = decode_layout(bytes, number, layout.string());
  } catch (const std::exception& e) {
    logging::detail::log(logging::level::error, "{}", errors::describe(e));
    throw;
  }
  auto state = std::make_shared<tree_state>();
  state->last_persisted_row_tag = contents.tag;
  state->levels.resize(contents.levels.size());
  for (size_t l = 0; l < contents.levels.size(); ++l) {
    for (uint64_t n : contents.levels[l]) {
      const std::filesystem::path path = namer_.make_path(n);
      if (!files::is_directory(path)) {
        logging::detail::log(logging::level::error, "Missing segment: {}", path.string());
        throw errors::error("Missing segment: " + path.string());
      }
      try {
        state->levels[l].push_back(std::make_shared<segment>(path));
      } catch (const std::exception& e) {
        logging::detail::log(logging::level::error, "Damaged segment {}: {}", path.string(),
                             errors::describe(e));
        throw errors::error(
            fmt::format("Damaged segment {}: {}", path.string(), errors::describe(e)));
      }
    }
  }
  namer_.set_next(number + 1);
  return state;
}

void merge_tree::commit(merge_tree_updater& updater, const std::shared_ptr<tree_state>& state,
                        const std::vector<std::shared_ptr<segment>>& removed,
                        const std::vector<std::shared_ptr<segment>>& created) {
  // Named after the newest segment; a commit that wrote none takes a number of its own, so
  // that no layout file is ever rewritten in place.
  uint64_t number = namer_.next() - 1;
  if (committed_layout_ && number <= *committed_layout_) {
    number = *committed_layout_ + 1;
    namer_.set_next(number + 1);
  }
  layout_contents contents;
  contents.tag = state->last_persisted_row_tag;
  for (const level& l : state->levels) {
    auto& numbers = contents.levels.emplace_back();
    for (const auto& s : l) numbers.push_back(seqno_helper::parse_path(s->directory()));
  }
  const std::vector<std::byte> bytes = encode_layout(contents);
  const std::filesystem::path temporary = directory_ / LAYOUT_TEMP_FILENAME;
  bool placed = false;
  try {
    // The new segment directories' names are durable before a layout names them.
    if (!created.empty()) files::sync_directory(directory_);
    {
      file out = file::for_writing(temporary);
      out.write(bytes.data(), bytes.size());
      out.sync();
    }
    files::rename(temporary, make_layout_name(number));
    placed = true;
    files::sync_directory(directory_);
  } catch (...) {
    // Once renamed, the layout may survive a crash: what it names stays until a later commit.
    if (!placed) remove_when_unused(created);
    throw;
  }
  committed_layout_ = number;
  updater.set_state(state);
  updater.retire(removed);
  remove_excessive_layouts();
}

void merge_tree::remove_excessive_layouts() {
  try {
    for (const dir_entry& entry : files::list_directory(directory_)) {
      const auto n = entry.is_directory ? std::nullopt : parse_layout_file_name(entry.path);
      if (n && n != committed_layout_) files::remove(entry.path);
    }
  } catch (const std::exception& e) {
    // The newest layout decides; an older one left behind only takes space.
    logging::detail::log(logging::level::error, "Failed to remove old layouts of {}: {}",
                         directory_.string(), errors::describe(e));
  }
}

void merge_tree::remove_unused_segments(const std::shared_ptr<tree_state>& state) {
  std::set<uint64_t> used;
  for (const level& l : state->levels) {
    for (const auto& s : l) used.insert(seqno_helper::parse_path(s->directory()));
  }
  try {
    for (const dir_entry& entry : files::list_directory(directory_)) {
      const auto n = parse_seqno(entry.path.filename().native());
      if (n && !used.contains(*n)) files::remove_all(entry.path);
    }
  } catch (const std::exception& e) {
    logging::detail::log(logging::level::error, "Failed to remove unused segments of {}: {}",
                         directory_.string(), errors::describe(e));
  }
}

std::shared_ptr<flushed_rows> merge_tree::write_memtable(row_set::tree_block& block,
                                                         const row_set& rows,
                                                         const mem_table& table) {
  auto& updater = static_cast<merge_tree_updater&>(block);
  // Older row sets first: the persisted tag must never pass rows that are not on disk.
  const std::shared_ptr<tree_state> published = get_state();
  for (auto it = published->memtables.rbegin(); it != published->memtables.rend(); ++it) {
    if (it->get() == &rows) break;
    if ((*it)->is_flushed() || (*it)->is_empty()) continue;
    if (row_set::memtable_updater writer = (*it)->get_memtable_updater()) writer.flush(updater);
  }

  const std::filesystem::path path = namer_.make_new_path();
  std::shared_ptr<segment> fresh;
  try {
    fresh = std::make_shared<segment>(path, schema_, table);
  } catch (...) {
    try {
      files::remove_all(path);  // half-written and named by nothing
    } catch (const std::exception& e) {
      logging::detail::log(logging::level::error, "{}", errors::describe(e));
    }
    throw;
  }
  const tx_timestamp low_watermark = get_low_watermark();
  auto next = std::make_shared<tree_state>(*get_state(updater));
  next->last_persisted_row_tag = {rows.last_timestamp(), rows.last_txid()};
  if (next->levels.empty()) next->levels.emplace_back();
  bool committing = false;  // from then on commit() decides what becomes of the new segments
  try {
    if (next->levels[0].empty()) {
      next->levels[0].push_back(fresh);
      committing = true;
      commit(updater, next, {}, {fresh});
    } else {
      level flushed{fresh};
      merge_helper merge(next->levels, flushed);
      merge_into(merge, low_watermark);
      std::vector<std::shared_ptr<segment>> created = merge.created();
      created.push_back(fresh);
      committing = true;
      commit(updater, next, merge.removed(), created);
    }
  } catch (...) {
    if (!committing) remove_when_unused({fresh});
    throw;
  }
  updater.erase(&rows);
  try {
    compact_levels(updater, next, low_watermark);
  } catch (const std::exception& e) {
    // The flush itself is committed; the next compaction tries again.
    logging::detail::log(logging::level::error, "Compaction of {} failed: {}", directory_.string(),
                         errors::describe(e));
  }
  return fresh;
}

}  // namespace ombrel
