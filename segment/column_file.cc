#include "segment/column_file.h"

#include <unistd.h>

#include "native/errors.h"

namespace ombrel {

std::string column_file::file_name(const column_descriptor& descriptor) {
  if (descriptor.internal) {
    std::string name(INTERNAL_COLUMN_FILE_PREFIX);
    return name.append(descriptor.name);
  }
  return descriptor.name + std::string(REGULAR_COLUMN_FILE_EXTENSION);
}

column_file column_file::duplicate_to(const std::filesystem::path& target_directory,
                                      const column_descriptor& target) const {
  column_file result(target_directory, target);
  const std::filesystem::path from = path();
  const std::filesystem::path to = result.path();
  if (::link(from.c_str(), to.c_str()) != 0) {
    throw errors::system_error("Cannot link column file " + from.string() + " to " + to.string());
  }
  return result;
}

}  // namespace ombrel
