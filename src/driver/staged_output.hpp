// The temporary file that an output's content is written to, and the names
// it takes on its way to the output name.
//
// The temporary is unnamed where the file system allows, so that a killed
// run leaves nothing behind; elsewhere it is a hidden ".geos-unwrap-PID-N"
// that only this user can open. Every step works by name inside one
// directory descriptor: no path is ever joined.
//
// States, and the moves between them:
//
//   empty      nothing staged
//   unnamed    an open file without a name
//   hidden     an open file under a hidden name of ours
//   at_target  a new output linked straight to the output name, open: the
//              name is still ours to take back until the close succeeds
//
//   empty   --open()-->     unnamed, or hidden where no unnamed file can be
//                           made
//   unnamed --publish()-->  at_target (a new output) or hidden (one that
//                           replaces a name), then on
//   at_target --publish()-> empty, once closed
//   hidden  --publish()-->  empty, closed and moved onto the output name
//                           (and, with a check, found there)
//   any     --discard()-->  empty, with no name of ours left behind
//
// A failed move ends in empty, as discard() leaves it.
#pragma once

#include <sys/types.h>

#include <string>

#include "driver/unique_fd.hpp"

namespace geos {

class staged_output {
 public:
  staged_output() = default;
  staged_output(const staged_output&) = delete;
  staged_output& operator=(const staged_output&) = delete;
  staged_output(staged_output&&) = delete;
  staged_output& operator=(staged_output&&) = delete;
  ~staged_output() { discard(); }

  // Makes room for its names, so that no later call allocates; false where
  // the heap refuses.
  [[nodiscard]] bool reserve() noexcept;

  // empty -> unnamed or hidden: a new temporary in the directory `dir`,
  // which must stay open until publish() or discard(). An unnamed one is
  // created with `mode` (less the umask, or as a default ACL says); a
  // hidden one private to this user. `hidden_allowed`: false where a hidden
  // name could not be taken back (a locked directory). Returns false, empty,
  // where none can be made.
  [[nodiscard]] bool open(int dir, mode_t mode, bool hidden_allowed);

  // The descriptor to write the content to, while unnamed or hidden.
  [[nodiscard]] int fd() const noexcept { return fd_.get(); }

  // The mode the temporary was created with, before the umask (and a
  // default ACL of the directory) narrowed it.
  [[nodiscard]] mode_t created_mode() const noexcept { return created_mode_; }

  // unnamed or hidden -> empty: closes the content and puts it under
  // `target` in the directory. With `replace`, whatever `target` holds is
  // replaced; without, a name that appeared meanwhile is never replaced and
  // the move fails. Returns false where the close or any move fails, with
  // no name of ours left and `target` untouched. With `check`, for a
  // directory others may write, a move by name is followed by a look at
  // what `target` then holds: false where it is not this temporary (someone
  // put another file under the hidden name), though the move took place.
  [[nodiscard]] bool publish(const char* target, bool replace, bool check);

  // any -> empty: closes the temporary and removes a name of ours.
  void discard() noexcept;

 private:
  enum class state { empty, unnamed, hidden, at_target };

  bool open_hidden();
  bool name_unnamed(const char* target, bool replace);
  bool move_into_place(const char* target, bool replace, bool check);
  bool move_by_name(const char* target, bool replace);
  void next_hidden_name();

  int dir_ = -1;
  unique_fd fd_;
  state state_ = state::empty;
  std::string prefix_;  // ".geos-unwrap-PID-"
  std::string name_;    // the name of ours: hidden, or the target at_target
  unsigned long serial_ = 0;
  mode_t created_mode_ = 0;
};

}  // namespace geos
