// An output file that appears whole or not at all.
//
// The content goes to a temporary (staged_output.hpp) in the directory of
// the file the output name leads to (output_target.hpp), and is put under
// that name only once all of it is written and the file has the owner,
// mode, ACL and attributes the access rule gives it (output_access.hpp).
// Until then, and after any failure, the name holds what it held.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <optional>
#include <span>

#include "driver/output_access.hpp"
#include "driver/output_directory.hpp"
#include "driver/output_target.hpp"
#include "driver/staged_output.hpp"
#include "driver/unique_fd.hpp"
#include "rules/access_rule.hpp"

namespace geos {

class output_file {
 public:
  // `caller` is borrowed for the object's lifetime.
  explicit output_file(const caller_ids& caller);

  // Makes room for the names of any output, so that no later call
  // allocates; false where the heap refuses.
  [[nodiscard]] bool reserve() noexcept { return target_.reserve() && temp_.reserve(); }

  // Starts a new output under `name` (a single path component) in `dir`
  // for the data of the open input `input_fd`, whose status is `input`,
  // discarding one still staged. `dir` and the input must stay open until
  // the output is committed (which closes the input) or discarded.
  //
  // Returns false, with nothing created, where the name cannot be created
  // or replaced: a link not to be followed (see output_target), an
  // existing file that may_overwrite refuses, a locked directory where no
  // unnamed file can be made, or a directory where no file can be created.
  // Replacing the input itself makes the commit durable, and so does
  // replacing a file on its device with its size and modification time,
  // which may be the input under another spelling.
  [[nodiscard]] bool create(output_directory& dir, const char* name, int input_fd,
                            const struct stat& input);

  // The descriptor to write the content to, while staged.
  [[nodiscard]] int fd() const noexcept { return temp_.fd(); }

  // Whether the commit will flush the content to the medium.
  [[nodiscard]] bool durable() const noexcept { return durable_; }

  // Puts the content under the name, with the access the rule gives it
  // (extended attributes of a replaced output come along). A new output
  // never replaces a name that appeared meanwhile. Where durable, the
  // content is on the medium before the old one goes. `input`, the one
  // create() was given, is closed before the output takes its name. In a
  // directory others may write, what lands under the name is checked to be
  // this content, or the commit fails.
  // `scratch` (at least 128 KiB) carries attributes. Returns false on any
  // failure, with the temporary removed and the name untouched. Nothing is
  // staged afterwards.
  [[nodiscard]] bool commit(std::span<std::byte> scratch, unique_fd input);

  // Removes the staged content, if any, leaving the name untouched. Must
  // come before `dir` changes.
  void discard() noexcept {
    temp_.discard();
    old_.reset();
  }

 private:
  const caller_ids& caller_;
  output_target target_;
  staged_output temp_;
  int input_fd_ = -1;
  file_facts input_{};
  bool replaces_input_ = false;
  bool durable_ = false;             // the commit flushes the content and the directory
  std::optional<mode_t> temp_mode_;  // the temporary's mode, where known
  unique_fd old_;                    // the file to replace, open for reading, where it could be

  [[nodiscard]] output_case as_case();
};

}  // namespace geos
