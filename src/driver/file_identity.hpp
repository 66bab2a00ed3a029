// Telling files apart by their status: the identity the rules compare, and
// whether two statuses are of one file.
#pragma once

#include <sys/stat.h>

#include <cstdint>

#include "rules/earlier_output.hpp"

namespace geos {

[[nodiscard]] inline file_identity identity_of(const struct stat& status) {
  return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
          static_cast<std::int64_t>(status.st_size), static_cast<std::int64_t>(status.st_mtime)};
}

// Whether `a` and `b` are of one file, whatever its names: the same device
// and inode.
[[nodiscard]] inline bool same_file(const struct stat& a, const struct stat& b) {
  return compare(identity_of(a), identity_of(b)) == sameness::same;
}

}  // namespace geos
