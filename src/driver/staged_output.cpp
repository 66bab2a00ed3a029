#include "driver/staged_output.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <climits>

#include "driver/driver.hpp"

namespace geos {

namespace {

// As many links as the kernel follows before it gives up with ELOOP.
constexpr int MAX_LINK_HOPS = 40;

constexpr std::string_view TEMP_PREFIX = ".geos-unwrap-";
constexpr mode_t NEW_FILE_MODE = 0666;
constexpr mode_t PRIVATE_MODE = 0600;
constexpr mode_t PERMISSION_BITS = 0777;
constexpr mode_t MODE_BITS = 07777;
constexpr mode_t GROUP_BITS = 0070;
constexpr mode_t OTHER_BITS = 0007;
constexpr auto SET_ID_BITS = static_cast<mode_t>(S_ISUID | S_ISGID);

void append_number(std::string& to, unsigned long number) {
  std::array<char, 24> digits{};
  auto* const end = std::to_chars(digits.begin(), digits.end(), number).ptr;
  to.append(digits.data(), end);
}

bool names_a_file(std::string_view name) { return !name.empty() && name != "." && name != ".."; }

}  // namespace

output_directory::output_directory() {
  // Rebuilt for every file; reserving once keeps a long batch from
  // allocating per file.
  path_.reserve(PATH_MAX);
  scratch_path_.reserve(PATH_MAX);
}

bool output_directory::use(std::string_view path) {
  if (fd_ && path == path_) {
    return true;
  }
  // A directory that cannot be opened must not leave the last one in use:
  // the next name would be looked up in the wrong place.
  if (!open_at(platform::starting_directory(), path.empty() ? std::string_view(".") : path)) {
    fd_.reset();
    return false;
  }
  path_.assign(path);
  return true;
}

bool output_directory::open_at(int at, std::string_view path) {
  scratch_path_.assign(path);
  auto opened = platform::open_directory(at, scratch_path_.c_str());
  struct stat status {};
  if (!opened || ::fstat(opened.get(), &status) != 0) {
    return false;
  }
  fd_ = std::move(opened);
  status_ = status;
  creates_with_access_list_.reset();
  path_.clear();
  return true;
}

bool output_directory::creates_with_access_list() {
  if (!creates_with_access_list_) {
    creates_with_access_list_ = platform::creates_with_access_list(fd_.get());
  }
  return *creates_with_access_list_;
}

staged_output::staged_output() : umask_(::umask(0)), euid_(::geteuid()), egid_(::getegid()) {
  static_cast<void>(::umask(umask_));
  target_.reserve(PATH_MAX);
  link_text_.reserve(PATH_MAX);
  // The process id keeps concurrent runs apart, the serial keeps this run's
  // names apart and steps past leftovers of a killed run.
  temp_prefix_.assign(TEMP_PREFIX);
  append_number(temp_prefix_, static_cast<unsigned long>(::getpid()));
  temp_prefix_.push_back('-');
  temp_name_.reserve(PATH_MAX);
}

bool staged_output::create(output_directory& dir, const char* name, const struct stat& input) {
  discard();
  replaces_input_ = false;
  // A new output may be read by no one who could not read its input.
  new_mode_ = NEW_FILE_MODE & input.st_mode & PERMISSION_BITS;
  if (!resolve(dir, name)) {
    return false;
  }
  if (existing_) {
    if (!replaceable()) {
      return false;
    }
    replaces_input_ =
        existing_->status.st_dev == input.st_dev && existing_->status.st_ino == input.st_ino;
  }
  return open_temp();
}

bool staged_output::resolve(output_directory& dir, const char* name) {
  dir_ = &dir;
  target_.assign(name);
  for (int hop = 0; hop < MAX_LINK_HOPS; ++hop) {
    existing_ = platform::stat_entry(dir_->fd(), dir_->status(), target_.c_str());
    if (!existing_) {
      return errno == ENOENT;
    }
    if (!S_ISLNK(existing_->status.st_mode)) {
      return true;
    }
    if (!may_follow(existing_->status.st_uid) || !follow_link()) {
      return false;
    }
  }
  return false;
}

bool staged_output::may_follow(uid_t link_owner) const {
  // The rule of the kernel's protected_symlinks, applied whatever the
  // sysctl says: in a sticky world-writable directory only links of the
  // follower or of the directory's owner are trusted.
  const auto& directory = dir_->status();
  const bool shared = (directory.st_mode & S_ISVTX) != 0 && (directory.st_mode & S_IWOTH) != 0;
  return !shared || link_owner == euid_ || link_owner == directory.st_uid;
}

bool staged_output::follow_link() {
  link_text_.resize(PATH_MAX);
  const auto length = ::readlinkat(dir_->fd(), target_.c_str(), link_text_.data(), PATH_MAX);
  if (length <= 0 || length == PATH_MAX) {
    return false;
  }
  link_text_.resize(static_cast<std::size_t>(length));
  const auto parts = split_path(link_text_);
  if (!names_a_file(parts.name)) {
    return false;
  }
  // A relative link is relative to the directory that holds it.
  if (!parts.directory.empty() && !link_dir_.open_at(dir_->fd(), parts.directory)) {
    return false;
  }
  if (!parts.directory.empty()) {
    dir_ = &link_dir_;
  }
  target_.assign(parts.name);
  return true;
}

bool staged_output::replaceable() const {
  const auto& old = existing_->status;
  if (!S_ISREG(old.st_mode) || existing_->locked || existing_->mount_root) {
    return false;
  }
  // A rename in a sticky directory may replace only the caller's own files,
  // unless the caller owns the directory or is privileged. Even then, in a
  // shared directory, a file planted by a third user is not written into,
  // as the kernel's protected_regular rule keeps a privileged open from it.
  const auto& directory = dir_->status();
  const bool sticky = (directory.st_mode & S_ISVTX) != 0;
  const bool shared = sticky && (directory.st_mode & S_IWOTH) != 0;
  const bool others = old.st_uid != euid_ && old.st_uid != directory.st_uid;
  if ((sticky && old.st_uid != euid_ && directory.st_uid != euid_ && euid_ != 0) ||
      (shared && others)) {
    return false;
  }
  // A truncating open would need write permission; keeping that rule keeps
  // a read-only output from being replaced behind its owner's back.
  return ::faccessat(dir_->fd(), target_.c_str(), W_OK, AT_EACCESS) == 0;
}

bool staged_output::open_temp() {
  // Nobody else can reach an unnamed file, so it may be created with the
  // mode it is to have; a named one stays private until it is complete.
  const mode_t mode = existing_ ? existing_->status.st_mode & PERMISSION_BITS : new_mode_;
  temp_ = platform::open_unnamed(dir_->fd(), mode);
  if (temp_) {
    temp_mode_ = mode & ~umask_;
  } else if (errno != EOPNOTSUPP || !open_named_temp()) {
    return false;
  }
  temp_mode_known_ = !existing_ || !dir_->creates_with_access_list();
  return true;
}

bool staged_output::open_named_temp() {
  for (;;) {
    next_temp_name();
    temp_.reset(::openat(dir_->fd(), temp_name_.c_str(),
                         O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, PRIVATE_MODE));
    if (temp_) {
      temp_named_ = true;
      temp_mode_ = PRIVATE_MODE & ~umask_;
      return true;
    }
    if (errno != EEXIST) {
      return false;
    }
  }
}

void staged_output::next_temp_name() {
  temp_name_.assign(temp_prefix_);
  append_number(temp_name_, ++temp_serial_);
}

bool staged_output::commit(std::span<std::byte> scratch) {
  const bool committed = finish(scratch);
  if (!committed) {
    discard();
  }
  return committed;
}

bool staged_output::finish(std::span<std::byte> scratch) {
  if (!temp_) {
    return false;
  }
  // A new output has the mode a plain open would give it. Where a default
  // ACL decides that, a named temporary cannot get it by a mode and stays
  // as private as it was created.
  const mode_t new_mode = new_mode_ & ~umask_;
  const bool set_new_mode =
      !existing_ && temp_mode_ != new_mode && !dir_->creates_with_access_list();
  if (existing_ ? !set_attributes(scratch) : set_new_mode && ::fchmod(temp_.get(), new_mode) != 0) {
    return false;
  }
  if (replaces_input_ && !platform::sync_to_medium(temp_.get())) {
    return false;
  }
  if (!temp_named_ && !name_temp()) {
    return false;
  }
  if (!temp_.close()) {
    return false;
  }
  if (temp_named_ && temp_name_ != target_ && !put_in_place()) {
    return false;
  }
  temp_named_ = false;
  if (replaces_input_) {
    // The rename has happened and cannot be taken back, and the content is
    // on the medium already; a failure here is not worth reporting as a
    // lost write (nor can a lookup-only descriptor be flushed).
    static_cast<void>(platform::sync_to_medium(dir_->fd()));
  }
  return true;
}

bool staged_output::set_attributes(std::span<std::byte> scratch) {
  const auto& old = existing_->status;
  const auto& directory = dir_->status();
  // New content loses the set-ID bits, as a write into the old file would.
  mode_t mode = old.st_mode & MODE_BITS & ~SET_ID_BITS;
  const auto carried =
      platform::carry_attributes(dir_->fd(), directory, target_.c_str(), temp_.get(),
                                 dir_->creates_with_access_list(), scratch);
  // Without its ACL, the group bits would grant what the ACL's mask allowed
  // and the other bits what a named entry may have denied.
  if (carried == platform::carry_result::access_list_lost) {
    mode &= ~(GROUP_BITS | OTHER_BITS);
  }
  // The temporary belongs to this user and, depending on the system and
  // the directory's set-group-ID bit, to this user's group or the
  // directory's; only where both agree is its group certain.
  const bool chown_needed = old.st_uid != euid_ || old.st_gid != egid_ || directory.st_gid != egid_;
  if (chown_needed && ::fchown(temp_.get(), old.st_uid, old.st_gid) != 0 &&
      ::fchown(temp_.get(), static_cast<uid_t>(-1), old.st_gid) != 0) {
    mode &= ~GROUP_BITS;
  }
  // A change of owner clears set-ID bits and setting an ACL rewrites the
  // mode, so the mode is set last and then whenever either happened.
  const bool mode_set = !chown_needed && carried == platform::carry_result::none &&
                        temp_mode_known_ && temp_mode_ == mode;
  return mode_set || ::fchmod(temp_.get(), mode) == 0;
}

bool staged_output::name_temp() {
  // A new output takes its name directly. Linking fails rather than
  // replaces where someone created the name meanwhile, and what they
  // created was never checked, so it is left alone.
  if (!existing_) {
    if (!platform::link_unnamed(temp_.get(), dir_->fd(), target_.c_str())) {
      return false;
    }
    // Until the close has succeeded, the name is still ours to take back.
    temp_name_.assign(target_);
    temp_named_ = true;
    return true;
  }
  for (;;) {
    next_temp_name();
    if (platform::link_unnamed(temp_.get(), dir_->fd(), temp_name_.c_str())) {
      temp_named_ = true;
      return true;
    }
    if (errno != EEXIST) {
      return false;
    }
  }
}

bool staged_output::put_in_place() {
  // A new output must not replace a name someone created meanwhile: a link
  // fails where a rename would replace. File systems without hard links
  // rename.
  if (!existing_) {
    if (::linkat(dir_->fd(), temp_name_.c_str(), dir_->fd(), target_.c_str(), 0) == 0) {
      static_cast<void>(::unlinkat(dir_->fd(), temp_name_.c_str(), 0));
      return true;
    }
    if (errno == EEXIST) {
      return false;
    }
  }
  return ::renameat(dir_->fd(), temp_name_.c_str(), dir_->fd(), target_.c_str()) == 0;
}

void staged_output::discard() noexcept {
  if (temp_named_) {
    ::unlinkat(dir_->fd(), temp_name_.c_str(), 0);
    temp_named_ = false;
  }
  temp_.reset();
}

}  // namespace geos
