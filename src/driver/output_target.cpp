#include "driver/output_target.hpp"

#include <unistd.h>

#include <cerrno>

#include "driver/heap.hpp"
#include "rules/output_name.hpp"
#include "rules/shared_directory.hpp"

namespace geos {

namespace {

// As many links as the kernel follows before it gives up with ELOOP.
constexpr int MAX_LINK_HOPS = 40;

}  // namespace

bool output_target::reserve() noexcept {
  return geos::reserve(name_, PATH_MAX) && geos::reserve(link_text_, PATH_MAX) &&
         link_dir_.reserve(PATH_MAX);
}

bool output_target::resolve(output_directory& dir, const char* name, const caller_ids& caller) {
  dir_ = &dir;
  name_.assign(name);
  for (int hop = 0; hop < MAX_LINK_HOPS; ++hop) {
    existing_ = platform::stat_entry(dir_->fd(), dir_->status(), name_.c_str());
    if (!existing_) {
      return errno == ENOENT;
    }
    if (!S_ISLNK(existing_->status.st_mode)) {
      return true;
    }
    if (!may_follow_link(dir_->facts(), existing_->status.st_uid, caller) || !follow_link()) {
      return false;
    }
  }
  return false;
}

bool output_target::follow_link() {
  link_text_.resize(PATH_MAX);
  const auto length = ::readlinkat(dir_->fd(), name_.c_str(), link_text_.data(), PATH_MAX);
  if (length <= 0 || length == PATH_MAX) {
    return false;
  }
  link_text_.resize(static_cast<std::size_t>(length));
  const auto parts = split_path(link_text_);
  if (!names_a_file(parts.name)) {
    return false;
  }
  // A relative link is relative to the directory that holds it.
  if (!parts.directory.empty()) {
    if (!link_dir_.open_at(dir_->fd(), parts.directory)) {
      return false;
    }
    dir_ = &link_dir_;
  }
  name_.assign(parts.name);
  return true;
}

}  // namespace geos
