#pragma once
// Where a column of a segment is stored: the column's descriptor and the segment directory; the
// file name follows from the descriptor. A plain value, copied freely and safe on any thread.

#include <filesystem>
#include <string>
#include <utility>

#include "model/column_descriptor.h"

namespace ombrel {

struct column_file {
  std::filesystem::path directory;
  column_descriptor descriptor;

  column_file() = default;
  column_file(std::filesystem::path dir, column_descriptor desc)
      : directory(std::move(dir)), descriptor(std::move(desc)) {}

  std::string file_name() const { return descriptor.file_name(); }
  std::filesystem::path path() const { return directory / file_name(); }

  // Hard-links this column's file into `target_directory` under the name `target` gives and
  // returns the new place. Throws errors::system_error naming both paths when link fails
  // (for example when the target exists).
  column_file duplicate_to(const std::filesystem::path& target_directory,
                           const column_descriptor& target) const;

  friend bool operator==(const column_file&, const column_file&) = default;
};

}  // namespace ombrel
