#include "driver/staged_output.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <grp.h>
#include <pwd.h>

#include "driver/driver.hpp"

namespace geos {

namespace {

// As many links as the kernel follows before it gives up with ELOOP.
constexpr int MAX_LINK_HOPS = 40;

constexpr std::string_view TEMP_PREFIX = ".geos-unwrap-";
constexpr mode_t PRIVATE_MODE = 0600;
constexpr auto UNCHANGED_OWNER = static_cast<uid_t>(-1);

void append_number(std::string& to, unsigned long number) {
  std::array<char, 24> digits{};
  auto* const end = std::to_chars(digits.begin(), digits.end(), number).ptr;
  to.append(digits.data(), end);
}

bool names_a_file(std::string_view name) { return !name.empty() && name != "." && name != ".."; }

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether `old` may be the file `input` under another spelling of its name:
// case-insensitive file systems through FUSE (exFAT) number each spelling
// apart. A file that only looks alike costs a flush too many.
bool looks_like(const struct stat& old, const struct stat& input) {
  return old.st_dev == input.st_dev && old.st_size == input.st_size &&
         old.st_mtime == input.st_mtime;
}

// Whether `user` is a member of `group`, as the account databases say.
// Looked up only for an output that belongs to a third user, so rarely.
membership belongs_to(uid_t user, gid_t group) {
  const passwd* const account = ::getpwuid(user);
  if (account == nullptr) {
    return membership::unknown;
  }
  if (account->pw_gid == group) {
    return membership::member;
  }
  const std::string_view name(account->pw_name);
  const ::group* const entry = ::getgrgid(group);
  for (char* const* member = entry != nullptr ? entry->gr_mem : nullptr;
       member != nullptr && *member != nullptr; ++member) {
    if (name == *member) {
      return membership::member;
    }
  }
  return membership::not_member;
}

}  // namespace

this_process::this_process()
    : ids_{::geteuid(),
           ::getegid(),
           {},
           ::umask(0),
           platform::held_privileges(),
           platform::unmapped().uid,
           platform::unmapped().gid} {
  static_cast<void>(::umask(ids_.umask));
  const int count = ::getgroups(0, nullptr);
  groups_ = try_allocate<gid_t>(static_cast<std::size_t>(std::max(count, 0)));
  const int got = groups_ ? ::getgroups(count, groups_.get()) : 0;
  ids_.groups = {groups_.get(), static_cast<std::size_t>(std::max(got, 0))};
}

output_directory::output_directory(std::size_t longest_path) {
  // Rebuilt for every file; reserving once keeps a long batch from
  // allocating per file.
  path_.reserve(longest_path);
  scratch_path_.reserve(longest_path);
}

bool output_directory::use(std::string_view path) {
  if (fd_ && path == path_ && (path.empty() || still_leads_here(path))) {
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

bool output_directory::still_leads_here(std::string_view path) {
  // The directory may have been renamed, or a link in the path switched,
  // since the last argument: the path is followed again.
  scratch_path_.assign(path);
  struct stat now {};
  return ::fstatat(platform::starting_directory(), scratch_path_.c_str(), &now, 0) == 0 &&
         same_file(now, status_);
}

bool output_directory::open_at(int at, std::string_view path) {
  scratch_path_.assign(path);
  auto opened = platform::open_directory(at, scratch_path_.c_str());
  const auto found = opened ? platform::stat_open(opened.get()) : std::nullopt;
  if (!found) {
    return false;
  }
  fd_ = std::move(opened);
  status_ = found->status;
  locked_ = found->locked;
  creates_with_access_list_.reset();
  return true;
}

bool output_directory::creates_with_access_list() {
  if (!creates_with_access_list_) {
    creates_with_access_list_ = platform::creates_with_access_list(fd_.get());
  }
  return *creates_with_access_list_;
}

staged_output::staged_output(const caller_ids& caller) : caller_(caller) {
  target_.reserve(PATH_MAX);
  link_text_.reserve(PATH_MAX);
  // The process id keeps concurrent runs apart, the serial keeps this run's
  // names apart and steps past leftovers of a killed run.
  temp_prefix_.assign(TEMP_PREFIX);
  append_number(temp_prefix_, static_cast<unsigned long>(::getpid()));
  temp_prefix_.push_back('-');
  temp_name_.reserve(PATH_MAX);
}

bool staged_output::create(output_directory& dir, const char* name, int input_fd,
                           const struct stat& input) {
  discard();
  input_fd_ = input_fd;
  if (!resolve(dir, name)) {
    return false;
  }
  replaces_input_ = existing_ && same_file(existing_->status, input);
  durable_ = replaces_input_ || (existing_ && looks_like(existing_->status, input));
  // Replacing the input itself narrows nothing, so its ACL need not be
  // looked at.
  input_ = {input.st_uid, input.st_gid, input.st_mode,
            replaces_input_ ? access_list_facts{} : platform::access_list_of(input_fd)};
  if (existing_ && !replaceable()) {
    return false;
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
    if (!may_follow_link(dir_->status(), existing_->status.st_uid, caller_) || !follow_link()) {
      return false;
    }
  }
  return false;
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
  if (!S_ISREG(old.st_mode) || existing_->locked || existing_->mount_root || dir_->locked()) {
    return false;
  }
  const bool third_user = !replaces_input_ && !caller_.is(old.st_uid) && old.st_uid != input_.owner;
  if (!may_replace(dir_->status(), old_facts(), input_, caller_,
                   third_user ? belongs_to(old.st_uid, input_.group) : membership::not_member)) {
    return false;
  }
  // A truncating open would need write permission; keeping that rule keeps
  // a read-only output from being replaced behind its owner's back. For its
  // owner the owner's bit decides, as the kernel would; others are asked of
  // the kernel.
  const bool owner_may_write = caller_.is(old.st_uid) && (old.st_mode & S_IWUSR) != 0;
  return owner_may_write || ::faccessat(dir_->fd(), target_.c_str(), W_OK, AT_EACCESS) == 0;
}

file_facts staged_output::old_facts() const {
  const auto& old = existing_->status;
  return {old.st_uid, old.st_gid, old.st_mode, {access_list::unknown}};
}

bool staged_output::open_temp() {
  // Nobody else can reach an unnamed file, so it may be created with the
  // mode it is most likely to end with; a named one stays private until it
  // is complete. Where no unnamed file can be made, for whatever reason, a
  // named one is tried: what refuses both refuses it too. A locked directory
  // would keep a named one's second name.
  const mode_t mode =
      existing_ ? replaced_output_mode(old_facts(), input_, caller_, replaces_input_,
                                       acl_carry::none, existing_->status.st_gid)
                : new_output_mode(input_, caller_, caller_.may_set_group(input_.group), true);
  temp_ = platform::open_unnamed(dir_->fd(), mode);
  if (temp_) {
    temp_mode_ = mode & ~caller_.umask;
  } else if (dir_->locked() || !open_named_temp()) {
    return false;
  }
  temp_mode_known_ = !dir_->creates_with_access_list();
  return true;
}

bool staged_output::open_named_temp() {
  for (;;) {
    next_temp_name();
    temp_.reset(::openat(dir_->fd(), temp_name_.c_str(),
                         O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, PRIVATE_MODE));
    if (temp_) {
      temp_named_ = true;
      temp_mode_ = PRIVATE_MODE & ~caller_.umask;
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

bool staged_output::commit(std::span<std::byte> scratch, unique_fd input) {
  // The directory in use may change with the next file; a named temporary
  // can only be removed from it now.
  const bool committed = finish(scratch, input);
  if (!committed) {
    discard();
  }
  return committed;
}

bool staged_output::finish(std::span<std::byte> scratch, unique_fd& input) {
  if (!(existing_ ? set_replaced_attributes(scratch) : set_new_attributes(scratch))) {
    return false;
  }
  if (durable_ && !platform::sync_to_medium(temp_.get())) {
    return false;
  }
  // Renaming over another spelling of a file still open crashes the exFAT
  // daemon of FUSE; nothing needs the input any more.
  input.reset();
  input_fd_ = -1;
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
  if (durable_) {
    // The rename has happened and cannot be taken back, and the content is
    // on the medium already; a failure here is not worth reporting as a
    // lost write (nor can a lookup-only descriptor be flushed).
    static_cast<void>(platform::sync_to_medium(dir_->fd()));
  }
  return true;
}

bool staged_output::set_new_attributes(std::span<std::byte> scratch) {
  const bool acl_carried = carry_input_access_list(scratch);
  // The temporary has this user's group, or the directory's; only where
  // the two agree is its group certain without a change.
  const bool settable = caller_.may_set_group(input_.group);
  const bool group_certain =
      settable && dir_->status().st_gid == caller_.gid && input_.group == caller_.gid;
  const bool group_set =
      group_certain || (settable && ::fchown(temp_.get(), UNCHANGED_OWNER, input_.group) == 0);
  return set_mode(new_output_mode(input_, caller_, group_set, acl_carried),
                  input_.acl.kind == access_list::present);
}

// Whether the temporary now has the input's access ACL, or none where the
// input has none; whatever it may have inherited from its directory is
// replaced.
bool staged_output::carry_input_access_list(std::span<std::byte> scratch) {
  if (input_.acl.kind == access_list::present) {
    return platform::copy_access_list(input_fd_, temp_.get(), scratch);
  }
  return input_.acl.kind == access_list::absent &&
         (!dir_->creates_with_access_list() || platform::drop_access_list(temp_.get()));
}

bool staged_output::set_replaced_attributes(std::span<std::byte> scratch) {
  const auto& old = existing_->status;
  const auto carried =
      platform::carry_attributes(dir_->fd(), dir_->status(), target_.c_str(), temp_.get(),
                                 dir_->creates_with_access_list(), scratch);
  // The temporary belongs to this user and, depending on the system and
  // the directory's set-group-ID bit, to this user's group or the
  // directory's; only where both agree is its group certain.
  const bool chown_needed = old.st_uid != caller_.uid || old.st_gid != caller_.gid ||
                            dir_->status().st_gid != caller_.gid;
  const bool group_kept = !chown_needed || ::fchown(temp_.get(), old.st_uid, old.st_gid) == 0 ||
                          ::fchown(temp_.get(), UNCHANGED_OWNER, old.st_gid) == 0;
  // Where the old group could not be kept, the new content has whichever
  // group the system gave it, and its others may hold the input's group.
  struct stat temp {};
  if (!group_kept && ::fstat(temp_.get(), &temp) != 0) {
    return false;
  }
  return set_mode(replaced_output_mode(old_facts(), input_, caller_, replaces_input_, carried,
                                       group_kept ? old.st_gid : temp.st_gid),
                  carried != acl_carry::none);
}

// Setting an ACL rewrites the mode, so the mode is set last, and skipped
// only where the temporary is known to have it already.
bool staged_output::set_mode(mode_t mode, bool rewritten) {
  if (!rewritten && temp_mode_known_ && temp_mode_ == mode) {
    return true;
  }
  return ::fchmod(temp_.get(), mode) == 0;
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
  // Closed first: FUSE keeps a file removed while open under a hidden name
  // of its own (.fuse_hidden*) until it is closed.
  temp_.reset();
  if (temp_named_) {
    ::unlinkat(dir_->fd(), temp_name_.c_str(), 0);
    temp_named_ = false;
  }
}

}  // namespace geos
