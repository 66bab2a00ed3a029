#include "rules/earlier_output.hpp"

namespace geos {

sameness compare(const file_identity& existing, const file_identity& input) {
  if (existing.device != input.device) {
    return sameness::other;
  }
  if (existing.inode == input.inode) {
    return sameness::same;
  }
  // A file that only looks alike costs a flush too many.
  return existing.size == input.size && existing.modified == input.modified ? sameness::maybe
                                                                            : sameness::other;
}

bool could_be_an_output(const earlier_file& file) {
  return file.regular && !file.locked && !file.mount_point &&
         (file.is_input || file.empty || file.start == file_start::like_output);
}

}  // namespace geos
