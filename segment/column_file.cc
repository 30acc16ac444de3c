#include "segment/column_file.h"

#include "model/file_system.h"

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
  files::link(path(), result.path());
  return result;
}

}  // namespace ombrel
