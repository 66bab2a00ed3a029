#include "driver/staged_output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <climits>

#include "driver/file_identity.hpp"
#include "driver/heap.hpp"
#include "driver/platform.hpp"

namespace geos {

namespace {

constexpr std::string_view PREFIX = ".geos-unwrap-";
constexpr mode_t PRIVATE_MODE = 0600;

// Enough for any unsigned long.
constexpr std::size_t DIGITS = 24;

void append_number(std::string& to, unsigned long number) {
  std::array<char, DIGITS> digits{};
  auto* const end = std::to_chars(digits.begin(), digits.end(), number).ptr;
  to.append(digits.data(), end);
}

}  // namespace

bool staged_output::reserve() noexcept {
  if (!geos::reserve(prefix_, PREFIX.size() + DIGITS + 1) || !geos::reserve(name_, PATH_MAX)) {
    return false;
  }
  // The process id keeps concurrent runs apart, the serial keeps this run's
  // names apart and steps past leftovers of a killed run.
  prefix_.assign(PREFIX);
  append_number(prefix_, static_cast<unsigned long>(::getpid()));
  prefix_.push_back('-');
  return true;
}

bool staged_output::open(int dir, mode_t mode, bool hidden_allowed) {
  discard();
  dir_ = dir;
  // Nobody else can reach an unnamed file, so it may be created with the
  // mode it is most likely to end with; a hidden one stays private until it
  // is complete. Where no unnamed file can be made, for whatever reason, a
  // hidden one is tried: what refuses both refuses it too.
  fd_ = platform::open_unnamed(dir, mode);
  if (fd_) {
    state_ = state::unnamed;
    created_mode_ = mode;
    return true;
  }
  return hidden_allowed && open_hidden();
}

bool staged_output::open_hidden() {
  for (;;) {
    next_hidden_name();
    fd_.reset(::openat(dir_, name_.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC,
                       PRIVATE_MODE));
    if (fd_) {
      state_ = state::hidden;
      created_mode_ = PRIVATE_MODE;
      return true;
    }
    if (errno != EEXIST) {
      return false;
    }
  }
}

void staged_output::next_hidden_name() {
  name_.assign(prefix_);
  append_number(name_, ++serial_);
}

bool staged_output::publish(const char* target, bool replace, bool check) {
  // A failed close means the content may not have arrived; at_target, the
  // name is then still ours to take back.
  const bool published =
      (state_ != state::unnamed || name_unnamed(target, replace)) &&
      (state_ == state::hidden ? move_into_place(target, replace, check) : fd_.close());
  if (published) {
    state_ = state::empty;
  } else {
    discard();
  }
  return published;
}

bool staged_output::name_unnamed(const char* target, bool replace) {
  // A new output takes its name directly. Linking fails rather than
  // replaces where someone created the name meanwhile, and what they
  // created was never checked, so it is left alone.
  if (!replace) {
    if (!platform::link_unnamed(fd_.get(), dir_, target)) {
      return false;
    }
    name_.assign(target);
    state_ = state::at_target;
    return true;
  }
  for (;;) {
    next_hidden_name();
    if (platform::link_unnamed(fd_.get(), dir_, name_.c_str())) {
      state_ = state::hidden;
      return true;
    }
    if (errno != EEXIST) {
      return false;
    }
  }
}

// Whoever may write the directory may rename a file of theirs over the
// hidden name before it moves; what lands is then told by its identity,
// taken while the temporary is still open.
bool staged_output::move_into_place(const char* target, bool replace, bool check) {
  struct stat ours {};
  if ((check && ::fstat(fd_.get(), &ours) != 0) || !fd_.close() || !move_by_name(target, replace)) {
    return false;
  }
  struct stat landed {};
  if (check &&
      (::fstatat(dir_, target, &landed, AT_SYMLINK_NOFOLLOW) != 0 || !same_file(landed, ours))) {
    // The hidden name went with the move: nothing of ours is left to remove.
    state_ = state::empty;
    return false;
  }
  return true;
}

bool staged_output::move_by_name(const char* target, bool replace) {
  // A new output must not replace a name someone created meanwhile: a link
  // fails where a rename would replace. File systems without hard links
  // rename.
  if (!replace) {
    if (::linkat(dir_, name_.c_str(), dir_, target, 0) == 0) {
      static_cast<void>(::unlinkat(dir_, name_.c_str(), 0));
      return true;
    }
    if (errno == EEXIST) {
      return false;
    }
  }
  return ::renameat(dir_, name_.c_str(), dir_, target) == 0;
}

void staged_output::discard() noexcept {
  // Closed first: FUSE keeps a file removed while open under a hidden name
  // of its own (.fuse_hidden*) until it is closed.
  fd_.reset();
  if (state_ == state::hidden || state_ == state::at_target) {
    ::unlinkat(dir_, name_.c_str(), 0);
  }
  state_ = state::empty;
}

}  // namespace geos
