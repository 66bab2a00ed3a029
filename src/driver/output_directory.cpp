#include "driver/output_directory.hpp"

#include <fcntl.h>

#include "driver/file_identity.hpp"
#include "driver/heap.hpp"
#include "driver/platform.hpp"
#include "rules/shared_directory.hpp"

namespace geos {

bool output_directory::reserve(std::size_t longest_path) noexcept {
  return geos::reserve(path_, longest_path) && geos::reserve(scratch_path_, longest_path);
}

bool output_directory::use(std::string_view path) {
  if (fd_ && path == path_ && (path.empty() || still_leads_here(path))) {
    return true;
  }
  // A directory that cannot be opened must not leave the last one in use:
  // the next name would be looked up in the wrong place.
  if (!open_at(AT_FDCWD, path.empty() ? std::string_view(".") : path)) {
    fd_.reset();
    return false;
  }
  path_.assign(path);
  return true;
}

bool output_directory::still_leads_here(std::string_view path) {
  // The directory may have been renamed, or a link in the path switched,
  // since the last argument: the path is followed again.
  scratch_path_.assign(path);
  struct stat now {};
  return ::fstatat(AT_FDCWD, scratch_path_.c_str(), &now, 0) == 0 && same_file(now, status_);
}

bool output_directory::open_at(int at, std::string_view path) {
  scratch_path_.assign(path);
  auto opened = platform::open_directory(at, scratch_path_.c_str());
  const auto found = opened ? platform::stat_open(opened.get()) : std::nullopt;
  if (!found) {
    return false;
  }
  fd_ = std::move(opened);
  status_ = found->status;
  locked_ = found->locked;
  access_lists_.reset();
  return true;
}

directory_facts output_directory::facts() {
  directory_facts facts{status_.st_uid, status_.st_mode & bits::PERMISSIONS};
  facts.acl_grants_write = !is_shared(facts) && access_lists().grant_write;
  return facts;
}

const platform::directory_access_lists& output_directory::access_lists() {
  if (!access_lists_) {
    access_lists_ = platform::access_lists_of_directory(fd_.get());
  }
  return *access_lists_;
}

}  // namespace geos
