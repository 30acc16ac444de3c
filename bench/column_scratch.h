#pragma once
// Column files written into a scratch directory of the process, removed at exit: what the column
// benchmarks and the column reader fuzzer read back. Header-only, so that the fuzz targets,
// which link only the engine, share it.

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "model/column_descriptor.h"
#include "model/common.h"
#include "model/file.h"
#include "segment/column_creator.h"
#include "segment/column_file.h"

namespace ombrel::bench {

// A directory made when this is built and removed, with all it holds, when it goes.
class scratch_directory {
 public:
  explicit scratch_directory(std::filesystem::path path) : path_(std::move(path)) {
    std::filesystem::create_directories(path_);
  }
  ~scratch_directory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  scratch_directory(const scratch_directory&) = delete;
  scratch_directory& operator=(const scratch_directory&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// "<temp>/ombrel_columns_<pid>", created at first use and removed at exit.
inline const std::filesystem::path& column_scratch() {
  static const scratch_directory dir(std::filesystem::temp_directory_path() /
                                     ("ombrel_columns_" + std::to_string(::getpid())));
  return dir.path();
}

// Column `d` of the scratch directory made of exactly the bytes of `image`.
inline column_file write_column_image(const column_descriptor& d,
                                      const std::vector<std::byte>& image) {
  const column_file cf(column_scratch(), d);
  file f = file::for_writing(cf.path());
  f.write(image.data(), image.size());
  return cf;
}

// Column `d` of the scratch directory written by the column writer from `values` (material
// bytes, none null); returns the file's size.
inline uint64_t write_column_values(const column_descriptor& d,
                                    const std::vector<std::string>& values) {
  {
    column_creator creator(column_scratch(), d);
    creator.reserve_buffers(static_cast<unsigned>(values.size()), 0);
    for (const std::string& v : values) creator.add_value(bytes_view(v.data(), v.size()));
    creator.close();
  }
  return std::filesystem::file_size(column_file(column_scratch(), d).path());
}

}  // namespace ombrel::bench
