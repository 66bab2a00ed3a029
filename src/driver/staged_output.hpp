// An output file that appears whole or not at all.
//
// The content is written to a temporary file in the output's directory
// (unnamed where the file system allows, so that a killed run leaves
// nothing) and put under the output name only once all of it has been
// written. Until then, and after any failure, whatever the name held stays
// exactly as it was.
#pragma once

#include <sys/stat.h>

#include <string>

#include "driver/unique_fd.hpp"

namespace geos {

class staged_output {
 public:
  staged_output();
  staged_output(const staged_output&) = delete;
  staged_output& operator=(const staged_output&) = delete;
  staged_output(staged_output&&) = delete;
  staged_output& operator=(staged_output&&) = delete;
  ~staged_output() { discard(); }

  // Starts a new output for `name`, discarding one still staged. A symbolic
  // link is followed to the file it names, which is what gets replaced.
  // Returns false, with nothing created, where a truncating open would fail
  // or where replacing the name would lose something: an existing directory
  // or other non-regular file, an existing file this user may not write,
  // or a directory where no file can be created. The file identified by
  // `input_device` and `input_inode` is the one being read: replacing it
  // makes the commit durable.
  [[nodiscard]] bool create(const std::string& name, dev_t input_device, ino_t input_inode);

  // The descriptor to write the content to, while staged.
  [[nodiscard]] int fd() const noexcept { return temp_.get(); }

  // Puts the content under the name: an existing output's permission bits,
  // owner and group (where permitted) are kept, a new one has 0666 less the
  // umask. When the output replaces its input, the content is on disk before
  // the old one goes. Returns false on any failure, with the temporary
  // removed and the name untouched. Nothing is staged afterwards.
  [[nodiscard]] bool commit();

  // Removes the staged content, if any, leaving the name untouched.
  void discard() noexcept;

 private:
  bool resolve_target(const std::string& name);
  bool follow_link();
  bool open_temp();
  bool finish();
  [[nodiscard]] bool keep_attributes() const;
  bool link_temp();
  bool link_as(const std::string& name);
  bool link_fd(const std::string& name);
  void next_temp_name();
  void sync_directory() const;

  unique_fd temp_;
  std::string target_;       // the path that will be replaced
  std::string directory_;    // where target_ lies
  std::string temp_name_;    // a name the temporary lies under, while temp_named_
  struct stat existing_ {};  // the target's status, while exists_
  unsigned long temp_serial_ = 0;
  bool exists_ = false;
  bool temp_named_ = false;
  bool replaces_input_ = false;
  bool link_by_descriptor_ = true;
};

}  // namespace geos
