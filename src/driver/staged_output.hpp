// An output file that appears whole or not at all.
//
// The content goes to a temporary file in the output's directory and is put
// under the output name only once all of it is written and the file has the
// owner, mode, ACL and attributes it is to keep. The temporary is unnamed
// where the file system allows, so that a killed run leaves nothing behind;
// elsewhere it is a hidden ".geos-unwrap-PID-N" that only this user can
// open. Every step works by name inside a directory descriptor: no path is
// ever joined, and a directory renamed meanwhile cannot redirect the output.
// Until the commit, and after any failure, the name holds what it held.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "driver/platform.hpp"
#include "driver/unique_fd.hpp"

namespace geos {

// An open directory that outputs are created in.
class output_directory {
 public:
  output_directory();

  // Makes `path` ("" for the working directory) the directory in use,
  // opening it unless it is the one opened last by this call. Returns false,
  // with errno set and no directory in use, where it cannot be opened.
  [[nodiscard]] bool use(std::string_view path);

  // Opens `path` relative to the directory `at` (which may be this one's
  // own descriptor) and uses it from now on. Returns false, errno set, and
  // keeps the old one, where it cannot be opened.
  [[nodiscard]] bool open_at(int at, std::string_view path);

  [[nodiscard]] int fd() const noexcept { return fd_.get(); }
  [[nodiscard]] bool is_open() const noexcept { return static_cast<bool>(fd_); }
  [[nodiscard]] const struct stat& status() const noexcept { return status_; }

  // Whether a file created here may get an access ACL from the directory.
  [[nodiscard]] bool creates_with_access_list();

 private:
  std::string path_;  // what use() opened, to tell when it can be reused
  std::string scratch_path_;
  unique_fd fd_;
  struct stat status_ {};
  std::optional<bool> creates_with_access_list_;
};

class staged_output {
 public:
  staged_output();
  staged_output(const staged_output&) = delete;
  staged_output& operator=(const staged_output&) = delete;
  staged_output(staged_output&&) = delete;
  staged_output& operator=(staged_output&&) = delete;
  ~staged_output() { discard(); }

  // Starts a new output under `name` (a single path component) in `dir`,
  // discarding one still staged. `dir` must outlive the output.
  //
  // A symbolic link is followed to the file it names (which is then what is
  // replaced, or created where the link dangles) only where the kernel's
  // protection of sticky directories allows: the link is not in a sticky
  // world-writable directory, or it belongs to this user or to the
  // directory's owner. Returns false, with nothing created, where the name
  // cannot be created or replaced: a link not to be followed, an existing
  // directory or other non-regular file, a file this user may not write, a
  // file in a sticky directory that belongs to someone else (unless this
  // user owns the directory or is root), an immutable or append-only file, a
  // mount point, or a directory where no file can be created. `input` is
  // the status of the file being read: replacing it makes the commit durable.
  [[nodiscard]] bool create(output_directory& dir, const char* name, const struct stat& input);

  // The descriptor to write the content to, while staged.
  [[nodiscard]] int fd() const noexcept { return temp_.get(); }

  // Puts the content under the name. A replaced output keeps its permission
  // bits but the set-ID ones, its owner and group where permitted, and its
  // ACL and extended attributes as far as the file system and this user's
  // rights allow; where its group cannot be kept, the new file grants its
  // group nothing, and where its ACL cannot, its group and others nothing,
  // rather than more than the old one did. A new output gets 0666 less the
  // umask, narrowed to the input's permission bits (or what a default ACL
  // says), and never replaces a name that appeared meanwhile. When the output replaces
  // its input, the content is on the medium before the old one goes.
  // `scratch` (at least 128 KiB) carries attributes. Returns false on any
  // failure, with the temporary removed and the name untouched. Nothing is
  // staged afterwards.
  [[nodiscard]] bool commit(std::span<std::byte> scratch);

  // Removes the staged content, if any, leaving the name untouched.
  void discard() noexcept;

 private:
  bool resolve(output_directory& dir, const char* name);
  [[nodiscard]] bool may_follow(uid_t link_owner) const;
  bool follow_link();
  [[nodiscard]] bool replaceable() const;
  bool open_temp();
  bool open_named_temp();
  bool finish(std::span<std::byte> scratch);
  bool set_attributes(std::span<std::byte> scratch);
  bool name_temp();
  bool put_in_place();
  void next_temp_name();

  output_directory* dir_ = nullptr;  // where the target lies
  output_directory link_dir_;        // the directory a followed link led to
  std::string target_;               // the name to replace or create, in dir_
  std::string link_text_;
  std::optional<platform::entry> existing_;  // the target, where it exists
  unique_fd temp_;
  std::string temp_prefix_;  // ".geos-unwrap-PID-"
  std::string temp_name_;    // the temporary's name, while temp_named_
  unsigned long temp_serial_ = 0;
  mode_t new_mode_ = 0;   // the mode a new output is created with
  mode_t temp_mode_ = 0;  // the temporary's mode, where temp_mode_known_
  bool temp_mode_known_ = false;
  bool temp_named_ = false;
  bool replaces_input_ = false;
  mode_t umask_;
  uid_t euid_;
  gid_t egid_;
};

}  // namespace geos
