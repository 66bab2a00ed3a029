// The file an output name leads to: the name itself, or where the links
// that the access rule lets be followed lead, and what is there now.
#pragma once

#include <climits>
#include <optional>
#include <string>

#include "driver/output_directory.hpp"
#include "driver/platform.hpp"
#include "rules/access_rule.hpp"

namespace geos {

class output_target {
 public:
  // Makes room for names and link texts of up to PATH_MAX bytes, so that
  // no later call allocates; false where the heap refuses.
  [[nodiscard]] bool reserve() noexcept;

  // Finds what `name` (a single path component) in `dir` leads to for
  // `caller`: a symbolic link is followed to the file it names (which is
  // then what is replaced, or created where the link dangles) only where
  // may_follow_link allows, as many hops as the kernel would follow.
  // Returns false where the name cannot be an output: a link not to be
  // followed or that leads nowhere a file can be made, a lookup that fails
  // for any reason but a missing name. `dir` must stay open while the
  // target is used.
  [[nodiscard]] bool resolve(output_directory& dir, const char* name, const caller_ids& caller);

  // Where the target lies, its name there, and its entry where it exists;
  // valid after resolve() succeeded.
  [[nodiscard]] output_directory& dir() const noexcept { return *dir_; }
  [[nodiscard]] const char* name() const noexcept { return name_.c_str(); }
  [[nodiscard]] const std::optional<platform::entry>& existing() const noexcept {
    return existing_;
  }

 private:
  bool follow_link();

  output_directory* dir_ = nullptr;
  output_directory link_dir_;  // the directory a followed link led to
  std::string name_;
  std::string link_text_;
  std::optional<platform::entry> existing_;
};

}  // namespace geos
