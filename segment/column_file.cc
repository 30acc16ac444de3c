#include "segment/column_file.h"

#include "model/file_system.h"

namespace ombrel {

column_file column_file::duplicate_to(const std::filesystem::path& target_directory,
                                      const column_descriptor& target) const {
  column_file result(target_directory, target);
  files::link(path(), result.path());
  return result;
}

}  // namespace ombrel
