#include "rules/earlier_output.hpp"

namespace geos {

bool could_be_an_output(const earlier_file& file) {
  return file.regular && !file.locked && !file.mount_point &&
         (file.is_input || file.empty || file.start == file_start::like_output);
}

}  // namespace geos
