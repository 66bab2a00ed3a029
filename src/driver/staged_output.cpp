#include "driver/staged_output.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <string_view>

namespace geos {

namespace {

// As many links as the kernel follows before it gives up with ELOOP.
constexpr int MAX_LINK_HOPS = 40;

constexpr std::string_view TEMP_PREFIX = "/.geos-unwrap-";

// How a file system without unnamed temporaries refuses O_TMPFILE.
bool unnamed_temp_unsupported(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

std::string_view directory_of(std::string_view path) {
  const auto slash = path.rfind('/');
  if (slash == std::string_view::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

void append_number(std::string& to, unsigned long number) {
  std::array<char, 24> digits{};
  auto* const end = std::to_chars(digits.begin(), digits.end(), number).ptr;
  to.append(digits.data(), end);
}

}  // namespace

staged_output::staged_output() {
  // Paths are rebuilt for every file; reserving once keeps a long batch from
  // allocating per file.
  target_.reserve(PATH_MAX);
  directory_.reserve(PATH_MAX);
  temp_name_.reserve(PATH_MAX);
}

bool staged_output::create(const std::string& name, dev_t input_device, ino_t input_inode) {
  discard();
  replaces_input_ = false;
  if (!resolve_target(name)) {
    return false;
  }
  if (exists_) {
    // A truncating open of these would fail, or would write into a device,
    // FIFO or directory that a rename must not replace.
    if (!S_ISREG(existing_.st_mode) ||
        ::faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0) {
      return false;
    }
    replaces_input_ = existing_.st_dev == input_device && existing_.st_ino == input_inode;
  }
  directory_.assign(directory_of(target_));
  return open_temp();
}

bool staged_output::resolve_target(const std::string& name) {
  target_.assign(name);
  for (int hop = 0; hop < MAX_LINK_HOPS; ++hop) {
    if (::lstat(target_.c_str(), &existing_) != 0) {
      exists_ = false;
      return errno == ENOENT;
    }
    if (!S_ISLNK(existing_.st_mode)) {
      exists_ = true;
      return true;
    }
    if (!follow_link()) {
      return false;
    }
  }
  return false;
}

bool staged_output::follow_link() {
  std::array<char, PATH_MAX> link{};
  const auto length = ::readlink(target_.c_str(), link.data(), link.size());
  if (length <= 0 || static_cast<std::size_t>(length) == link.size()) {
    return false;
  }
  // A relative link is relative to the directory that holds it.
  if (link[0] == '/') {
    target_.clear();
  } else {
    const auto slash = target_.rfind('/');
    target_.erase(slash == std::string::npos ? 0 : slash + 1);
  }
  target_.append(link.data(), static_cast<std::size_t>(length));
  return true;
}

bool staged_output::open_temp() {
  temp_.reset(::open(directory_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
  if (temp_) {
    return true;
  }
  if (!unnamed_temp_unsupported(errno)) {
    return false;
  }
  for (;;) {
    next_temp_name();
    temp_.reset(::open(temp_name_.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666));
    if (temp_) {
      temp_named_ = true;
      return true;
    }
    if (errno != EEXIST) {
      return false;
    }
  }
}

void staged_output::next_temp_name() {
  // The process id keeps concurrent runs apart, the serial keeps this run's
  // names apart and steps past leftovers of a killed run.
  temp_name_.assign(directory_);
  temp_name_.append(TEMP_PREFIX);
  append_number(temp_name_, static_cast<unsigned long>(::getpid()));
  temp_name_.push_back('-');
  append_number(temp_name_, ++temp_serial_);
}

bool staged_output::commit() {
  const bool committed = finish();
  if (!committed) {
    discard();
  }
  return committed;
}

bool staged_output::finish() {
  if (!temp_ || (exists_ && !keep_attributes())) {
    return false;
  }
  if (replaces_input_ && ::fsync(temp_.get()) != 0) {
    return false;
  }
  if (!temp_named_ && !link_temp()) {
    return false;
  }
  if (!temp_.close()) {
    return false;
  }
  if (temp_name_ != target_ && ::rename(temp_name_.c_str(), target_.c_str()) != 0) {
    return false;
  }
  temp_named_ = false;
  if (replaces_input_) {
    sync_directory();
  }
  return true;
}

bool staged_output::keep_attributes() const {
  // The owner goes first: a change of owner clears set-id bits, which the
  // mode then puts back. Owner and group are kept only where permitted.
  if (::fchown(temp_.get(), existing_.st_uid, existing_.st_gid) != 0) {
    static_cast<void>(::fchown(temp_.get(), static_cast<uid_t>(-1), existing_.st_gid));
  }
  return ::fchmod(temp_.get(), existing_.st_mode & 07777) == 0;
}

bool staged_output::link_temp() {
  // A new output can take its name directly: linking fails rather than
  // replaces when someone else created the name meanwhile.
  if (!exists_ && link_as(target_)) {
    return true;
  }
  for (;;) {
    next_temp_name();
    if (link_as(temp_name_)) {
      return true;
    }
    if (errno != EEXIST) {
      return false;
    }
  }
}

bool staged_output::link_as(const std::string& name) {
  if (!link_fd(name)) {
    return false;
  }
  temp_name_.assign(name);
  temp_named_ = true;
  return true;
}

bool staged_output::link_fd(const std::string& name) {
  // Linking the descriptor itself skips a walk through /proc; kernels before
  // 6.10 allow it only to privileged callers and refuse with ENOENT, after
  // which the /proc path serves for the rest of the run.
  if (link_by_descriptor_) {
    if (::linkat(temp_.get(), "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0) {
      return true;
    }
    if (errno != ENOENT) {
      return false;
    }
    link_by_descriptor_ = false;
  }
  std::array<char, 32> proc_path{};
  constexpr std::string_view PROC_FD = "/proc/self/fd/";
  auto* end = std::copy(PROC_FD.begin(), PROC_FD.end(), proc_path.begin());
  std::to_chars(end, proc_path.end() - 1, temp_.get());
  return ::linkat(AT_FDCWD, proc_path.data(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

void staged_output::sync_directory() const {
  // The rename has happened and cannot be taken back, and the content is
  // already on disk; a failure here is not worth reporting as a lost write.
  const unique_fd directory(::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory) {
    static_cast<void>(::fsync(directory.get()));
  }
}

void staged_output::discard() noexcept {
  if (temp_named_) {
    ::unlink(temp_name_.c_str());
    temp_named_ = false;
  }
  temp_.reset();
}

}  // namespace geos
