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

#include <climits>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "driver/access_rule.hpp"
#include "driver/heap.hpp"
#include "driver/platform.hpp"
#include "driver/unique_fd.hpp"

namespace geos {

// The effective ids, supplementary groups and umask of this process, read
// once. Where memory for the groups cannot be had, none are known, so that
// the caller is taken to be in fewer groups, never more.
class this_process {
 public:
  this_process();
  this_process(const this_process&) = delete;
  this_process& operator=(const this_process&) = delete;
  this_process(this_process&&) = delete;
  this_process& operator=(this_process&&) = delete;
  ~this_process() = default;

  [[nodiscard]] const caller_ids& ids() const noexcept { return ids_; }

 private:
  heap_array<gid_t> groups_;
  caller_ids ids_;
};

// An open directory that outputs are created in.
class output_directory {
 public:
  // Takes paths of up to `longest_path` bytes without allocating again.
  explicit output_directory(std::size_t longest_path = PATH_MAX);

  // Makes `path` ("" for the starting directory) the directory in use. The
  // one opened last by this call is kept where `path` is the same and,
  // where it has a directory part, still leads to that directory; else
  // `path` is opened anew. Returns false, with errno set and no directory
  // in use, where it cannot be opened.
  [[nodiscard]] bool use(std::string_view path);

  // Opens `path` relative to the directory `at` (which may be this one's
  // own descriptor) and uses it from now on. Returns false, errno set, and
  // keeps the old one, where it cannot be opened.
  [[nodiscard]] bool open_at(int at, std::string_view path);

  [[nodiscard]] int fd() const noexcept { return fd_.get(); }
  [[nodiscard]] bool is_open() const noexcept { return static_cast<bool>(fd_); }
  [[nodiscard]] const struct stat& status() const noexcept { return status_; }

  // Whether names can be added here but none renamed or removed: the
  // directory is append-only or immutable.
  [[nodiscard]] bool locked() const noexcept { return locked_; }

  // Whether a file created here may get an access ACL from the directory.
  [[nodiscard]] bool creates_with_access_list();

 private:
  [[nodiscard]] bool still_leads_here(std::string_view path);

  std::string path_;  // what use() opened, to tell when it can be reused
  std::string scratch_path_;
  unique_fd fd_;
  struct stat status_ {};
  bool locked_ = false;
  std::optional<bool> creates_with_access_list_;
};

class staged_output {
 public:
  // `caller` is borrowed for the object's lifetime.
  explicit staged_output(const caller_ids& caller);
  staged_output(const staged_output&) = delete;
  staged_output& operator=(const staged_output&) = delete;
  staged_output(staged_output&&) = delete;
  staged_output& operator=(staged_output&&) = delete;
  ~staged_output() { discard(); }

  // Starts a new output under `name` (a single path component) in `dir`
  // for the data of the open input `input_fd`, whose status is `input`,
  // discarding one still staged. `dir` and the input must stay open until
  // the output is committed (which closes the input) or discarded.
  //
  // A symbolic link is followed to the file it names (which is then what is
  // replaced, or created where the link dangles) only where
  // may_follow_link allows. Returns false, with nothing created, where the
  // name cannot be created or replaced: a link not to be followed, an
  // existing directory or other non-regular file, a file this user may not
  // write, a file that may_replace refuses, an immutable or append-only
  // file, a mount point, a locked directory where the name exists or could
  // not be put in place without a second name, or a directory where no
  // file can be created. Replacing the input itself makes the commit
  // durable, and so does replacing a file on its device with its size and
  // modification time, which may be the input under another spelling.
  [[nodiscard]] bool create(output_directory& dir, const char* name, int input_fd,
                            const struct stat& input);

  // The descriptor to write the content to, while staged.
  [[nodiscard]] int fd() const noexcept { return temp_.get(); }

  // Puts the content under the name, with the owner, group, mode and ACL
  // that access_rule.hpp gives it (extended attributes of a replaced output
  // come along). A new output never replaces a name that appeared meanwhile.
  // When the output replaces its input, the content is on the medium before
  // the old one goes. `input`, the one create() was given, is closed before
  // the output takes its name. `scratch` (at least 128 KiB) carries
  // attributes. Returns false on any failure, with the temporary removed
  // and the name untouched. Nothing is staged afterwards.
  [[nodiscard]] bool commit(std::span<std::byte> scratch, unique_fd input);

  // Removes the staged content, if any, leaving the name untouched.
  void discard() noexcept;

 private:
  bool resolve(output_directory& dir, const char* name);
  bool follow_link();
  [[nodiscard]] bool replaceable() const;
  [[nodiscard]] file_facts old_facts() const;
  bool open_temp();
  bool open_named_temp();
  bool finish(std::span<std::byte> scratch, unique_fd& input);
  bool set_new_attributes(std::span<std::byte> scratch);
  bool set_replaced_attributes(std::span<std::byte> scratch);
  bool carry_input_access_list(std::span<std::byte> scratch);
  bool set_mode(mode_t mode, bool rewritten);
  bool name_temp();
  bool put_in_place();
  void next_temp_name();

  const caller_ids& caller_;
  output_directory* dir_ = nullptr;  // where the target lies
  output_directory link_dir_;        // the directory a followed link led to
  std::string target_;               // the name to replace or create, in dir_
  std::string link_text_;
  std::optional<platform::entry> existing_;  // the target, where it exists
  int input_fd_ = -1;
  file_facts input_{};
  unique_fd temp_;
  std::string temp_prefix_;  // ".geos-unwrap-PID-"
  std::string temp_name_;    // the temporary's name, while temp_named_
  unsigned long temp_serial_ = 0;
  mode_t temp_mode_ = 0;  // the temporary's mode, where temp_mode_known_
  bool temp_mode_known_ = false;
  bool temp_named_ = false;
  bool replaces_input_ = false;
  bool durable_ = false;  // the commit flushes the content and the directory
};

}  // namespace geos
