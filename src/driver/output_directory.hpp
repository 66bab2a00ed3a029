// The directory that an argument's input is opened in and its output
// created in, kept open from one argument to the next.
#pragma once

#include <sys/stat.h>

#include <climits>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "driver/platform.hpp"
#include "driver/unique_fd.hpp"
#include "rules/access_rule.hpp"

namespace geos {

class output_directory {
 public:
  // Makes room for paths of up to `longest_path` bytes, so that no later
  // call allocates; false where the heap refuses.
  [[nodiscard]] bool reserve(std::size_t longest_path) noexcept;

  // Makes `path` (relative to the working directory; "" for the working
  // directory itself) the directory in use. The one opened last by this
  // call is kept where `path` is the same and, where it has a directory
  // part, still leads to that directory; else `path` is opened anew.
  // Returns false, with errno set and no directory in use, where it cannot
  // be opened.
  [[nodiscard]] bool use(std::string_view path);

  // Opens `path` relative to the directory `at` (which may be this one's
  // own descriptor) and uses it from now on. Returns false, errno set, and
  // keeps the old one, where it cannot be opened.
  [[nodiscard]] bool open_at(int at, std::string_view path);

  [[nodiscard]] int fd() const noexcept { return fd_.get(); }
  [[nodiscard]] bool is_open() const noexcept { return static_cast<bool>(fd_); }
  [[nodiscard]] const struct stat& status() const noexcept { return status_; }
  // Its owner, mode and whether an ACL lets others write, as the rules take
  // them. Asks the system of the ACL only where the bits leave it open.
  [[nodiscard]] directory_facts facts();

  // Whether names can be added here but none renamed or removed: the
  // directory is append-only or immutable.
  [[nodiscard]] bool locked() const noexcept { return locked_; }

  // Whether a file created here may get an access ACL from the directory.
  [[nodiscard]] bool creates_with_access_list() { return access_lists().inherited; }

 private:
  [[nodiscard]] bool still_leads_here(std::string_view path);
  // Asked of the system once per directory opened.
  const platform::directory_access_lists& access_lists();

  std::string path_;  // what use() opened, to tell when it can be reused
  std::string scratch_path_;
  unique_fd fd_;
  struct stat status_ {};
  bool locked_ = false;
  std::optional<platform::directory_access_lists> access_lists_;
};

}  // namespace geos
