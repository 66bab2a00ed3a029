#include "driver/platform.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include "geos_config.h"

#if HAVE_STATX_ATTRIBUTES || HAVE_STATX_SYSCALL
#include <sys/sysmacros.h>
#endif
#if !HAVE_STATX_ATTRIBUTES && HAVE_STATX_SYSCALL
#include <sys/syscall.h>

#include <linux/stat.h>
#endif
#if HAVE_LINUX_XATTR
#include <sys/xattr.h>
#endif
#if HAVE_PPOLL_FIFO
#include <poll.h>
#endif
#if HAVE_FS_IOC_GETFLAGS
#include <sys/ioctl.h>

#include <linux/fs.h>
#endif
#if HAVE_ACL_EXTENDED
#include <sys/acl.h>

#include <copyfile.h>
#endif

namespace geos::platform {

namespace {

constexpr off_t LARGEST_OFFSET = std::numeric_limits<off_t>::max();

// Linux's defaults for its overflow ids, and nobody's ids on most systems.
constexpr unsigned long USUAL_NOBODY = 65534;

// Bits of Linux's capability sets.
constexpr unsigned CAP_CHOWN_BIT = 0;
constexpr unsigned CAP_FOWNER_BIT = 3;

// The start of a small file of the system's, such as one under /proc, read
// into `into`; empty where it cannot be read.
std::string_view read_system_file(const char* path, std::span<char> into) {
  const unique_fd fd(::open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC));
  std::size_t count = 0;
  while (fd && count < into.size()) {
    const auto got = ::read(fd.get(), into.data() + count, into.size() - count);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    count += static_cast<std::size_t>(got);
  }
  return {into.data(), count};
}

unsigned long number_in(const char* path) {
  std::array<char, 32> text{};
  const auto read = read_system_file(path, text);
  unsigned long value = USUAL_NOBODY;
  static_cast<void>(std::from_chars(read.data(), read.data() + read.size(), value));
  return value;
}

unsigned read_privileges() {
  // /proc/self/status holds the effective set as "CapEff:\t" and 16 hex
  // digits; it is a few kilobytes long.
  std::array<char, 8192> text{};
  const auto status = read_system_file("/proc/self/status", text);
  constexpr std::string_view FIELD = "\nCapEff:\t";
  const auto at = status.find(FIELD);
  std::uint64_t effective = 0;
  if (at == std::string_view::npos || std::from_chars(status.data() + at + FIELD.size(),
                                                      status.data() + status.size(), effective, 16)
                                              .ec != std::errc{}) {
    return ::geteuid() == 0 ? ALL_PRIVILEGES : NO_PRIVILEGE;
  }
  const auto holds = [effective](unsigned bit) { return ((effective >> bit) & 1U) != 0; };
  return (holds(CAP_CHOWN_BIT) ? CHANGE_OWNERSHIP : NO_PRIVILEGE) |
         (holds(CAP_FOWNER_BIT) ? REPLACE_IN_STICKY : NO_PRIVILEGE);
}

// Opens a directory for lookups only, with search permission alone: POSIX
// calls it O_SEARCH, which glibc does not define.
#if HAVE_O_PATH
constexpr int LOOKUP_ONLY = O_PATH;
#elif HAVE_O_SEARCH
constexpr int LOOKUP_ONLY = O_SEARCH;
#endif

#if HAVE_LINKAT_EMPTY_PATH || HAVE_LINUX_XATTR
// "/proc/self/fd/N" or "/proc/self/fd/N/name": reaches an open file, or a
// name in an open directory, by a path, for calls that take no descriptor.
class proc_path {
 public:
  proc_path(int fd, std::string_view name) {
    constexpr std::string_view PREFIX = "/proc/self/fd/";
    auto* end = std::copy(PREFIX.begin(), PREFIX.end(), text_.begin());
    end = std::to_chars(end, text_.end(), fd).ptr;
    if (!name.empty() && name.size() < static_cast<std::size_t>(text_.end() - end - 1)) {
      *end++ = '/';
      end = std::copy(name.begin(), name.end(), end);
    }
    *end = '\0';
  }
  [[nodiscard]] const char* c_str() const { return text_.data(); }

 private:
  std::array<char, 32 + NAME_MAX + 1> text_{};
};
#endif

#if HAVE_LINUX_XATTR
constexpr const char* ACCESS_LIST = "system.posix_acl_access";
constexpr const char* NFS4_ACCESS_LIST = "system.nfs4_acl";
constexpr const char* CAPABILITIES = "security.capability";
constexpr std::size_t LIST_LIMIT = std::size_t{64} * 1024;  // XATTR_LIST_MAX and XATTR_SIZE_MAX

// An access ACL as Linux stores it: a 4-byte version, then 8-byte entries
// of a 2-byte tag, 2-byte permissions and a 4-byte id, little-endian.
constexpr std::size_t ACL_HEADER_SIZE = 4;
constexpr std::size_t ACL_ENTRY_SIZE = 8;
constexpr unsigned ACL_USER = 0x02;
constexpr unsigned ACL_GROUP_OBJ = 0x04;
constexpr unsigned ACL_GROUP = 0x08;
constexpr unsigned ACL_READ = 0x04;
constexpr unsigned BITS_PER_BYTE = 8;

unsigned little_endian_16(std::span<const std::byte> bytes, std::size_t at) {
  return std::to_integer<unsigned>(bytes[at]) |
         (std::to_integer<unsigned>(bytes[at + 1]) << BITS_PER_BYTE);
}

access_list_facts present_access_list(std::span<const std::byte> acl) {
  access_list_facts facts{access_list::present, false, true};
  for (auto at = ACL_HEADER_SIZE; at + ACL_ENTRY_SIZE <= acl.size(); at += ACL_ENTRY_SIZE) {
    const auto tag = little_endian_16(acl, at);
    const bool reads = (little_endian_16(acl, at + 2) & ACL_READ) != 0;
    if (tag == ACL_GROUP_OBJ) {
      facts.group_entry_reads = reads;
    } else if (tag == ACL_USER || tag == ACL_GROUP) {
      facts.named_entries_read = facts.named_entries_read && reads;
    }
  }
  return facts;
}

// NFSv4 clients show the server's ACL under this name, where POSIX ACLs
// are not supported. Its deny entries are beyond what this program reads.
bool has_nfs4_access_list(int fd) { return ::fgetxattr(fd, NFS4_ACCESS_LIST, nullptr, 0) > 0; }

// Where the attributes of the old file are read from: a path to it, which
// needs no permission on the file, or else (no path) an open descriptor.
struct attribute_source {
  const char* path;
  int fd;

  [[nodiscard]] ssize_t list(std::span<std::byte> into) const {
    auto* const data = reinterpret_cast<char*>(into.data());
    return path == nullptr ? ::flistxattr(fd, data, into.size())
                           : ::llistxattr(path, data, into.size());
  }
  [[nodiscard]] ssize_t get(const char* name, std::span<std::byte> into) const {
    return path == nullptr ? ::fgetxattr(fd, name, into.data(), into.size())
                           : ::lgetxattr(path, name, into.data(), into.size());
  }
};

acl_carry copy_listed(const attribute_source& from, std::string_view names, int to,
                      bool drop_own_access_list, std::span<std::byte> values) {
  auto result = acl_carry::none;
  for (auto at = names.find('\0'); at != std::string_view::npos; at = names.find('\0')) {
    const char* const name = names.data();
    names.remove_prefix(at + 1);
    // File capabilities belong to the old content, as a write would drop them.
    if (std::strcmp(name, CAPABILITIES) == 0) {
      continue;
    }
    if (std::strcmp(name, NFS4_ACCESS_LIST) == 0) {
      result = acl_carry::lost;
      continue;
    }
    const bool access_list = std::strcmp(name, ACCESS_LIST) == 0;
    const auto size = from.get(name, values);
    const bool copied =
        size >= 0 && ::fsetxattr(to, name, values.data(), static_cast<std::size_t>(size), 0) == 0;
    if (access_list) {
      result = copied ? acl_carry::carried : acl_carry::lost;
    }
  }
  if (result == acl_carry::none && drop_own_access_list && !drop_access_list(to)) {
    return acl_carry::lost;
  }
  return result;
}
#endif

#if HAVE_FS_IOC_GETFLAGS
// glibc takes an ioctl's request as unsigned long, musl as int.
template <class>
struct request_of;
template <class Request>
struct request_of<int (*)(int, Request, ...)> {
  using type = Request;
};
template <class Request>
struct request_of<int (*)(int, Request, ...) noexcept> {
  using type = Request;
};
using ioctl_request = request_of<decltype(&::ioctl)>::type;

bool locked_by_flags(int fd) {
  int flags = 0;
  return ::ioctl(fd, static_cast<ioctl_request>(FS_IOC_GETFLAGS), &flags) == 0 &&
         (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0;
}

// Without statx, Linux tells the attributes by an ioctl on an open file. A
// directory in use is open already (one open for lookups only takes no
// ioctl, and counts as not locked); an entry is opened for it only where
// it is a regular file, the only kind of output that could be replaced at
// all, without waiting for a lease or taking a controlling terminal. One
// this user may not read counts as not locked.
bool locked_by_ioctl(int dir, const char* name, const struct stat& status) {
  if (name == nullptr) {
    return locked_by_flags(dir);
  }
  const unique_fd opened(
      S_ISREG(status.st_mode)
          ? ::openat(dir, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC)
          : -1);
  return opened && locked_by_flags(opened.get());
}
#endif

// The status of `name` in `dir`, not following a final link, or of `dir`
// itself where `name` is null. A mount point is recognised where `parent`,
// the status of `dir`, is given.
std::optional<entry> stat_portably(int dir, const char* name, const struct stat* parent) {
  entry found{};
  const auto result = name == nullptr ? ::fstat(dir, &found.status)
                                      : ::fstatat(dir, name, &found.status, AT_SYMLINK_NOFOLLOW);
  if (result != 0) {
    return std::nullopt;
  }
#if HAVE_ST_FLAGS
  found.locked =
      (found.status.st_flags & (UF_IMMUTABLE | SF_IMMUTABLE | UF_APPEND | SF_APPEND)) != 0;
#elif HAVE_FS_IOC_GETFLAGS
  found.locked = locked_by_ioctl(dir, name, found.status);
#endif
  found.mount_root = parent != nullptr && found.status.st_dev != parent->st_dev;
  return found;
}

#if HAVE_STATX_ATTRIBUTES || HAVE_STATX_SYSCALL
// statx tells the immutable and append-only attributes, and a mount point
// where the file system knows it.
std::optional<entry> stat_extended(int dir, const char* name, const struct stat* parent) {
  struct statx extended {};
  const int flags = AT_NO_AUTOMOUNT | (name == nullptr ? AT_EMPTY_PATH : AT_SYMLINK_NOFOLLOW);
  const char* const path = name == nullptr ? "" : name;
#if HAVE_STATX_ATTRIBUTES
  const auto result = ::statx(dir, path, flags, STATX_BASIC_STATS, &extended);
#else
  const auto result = ::syscall(SYS_statx, dir, path, flags, STATX_BASIC_STATS, &extended);
#endif
  if (result != 0) {
    return std::nullopt;
  }
  entry found{};
  auto& status = found.status;
  status.st_mode = extended.stx_mode;
  status.st_uid = extended.stx_uid;
  status.st_gid = extended.stx_gid;
  status.st_dev = makedev(extended.stx_dev_major, extended.stx_dev_minor);
  status.st_ino = extended.stx_ino;
  status.st_nlink = extended.stx_nlink;
  status.st_size = static_cast<off_t>(extended.stx_size);
  status.st_mtim.tv_sec = static_cast<time_t>(extended.stx_mtime.tv_sec);
  status.st_mtim.tv_nsec = static_cast<long>(extended.stx_mtime.tv_nsec);
  const auto known = extended.stx_attributes_mask & extended.stx_attributes;
  found.locked = (known & (STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND)) != 0;
#if HAVE_FS_IOC_GETFLAGS
  // Where the kernel lacks statx, glibc and musl make one up from fstatat,
  // which tells no attribute at all; since 5.8 the kernel tells at least
  // whether any file is a mount's root.
  if (extended.stx_attributes_mask == 0) {
    found.locked = locked_by_ioctl(dir, name, status);
  }
#endif
  const bool mount_told = (extended.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0;
  found.mount_root = mount_told ? (known & STATX_ATTR_MOUNT_ROOT) != 0
                                : parent != nullptr && status.st_dev != parent->st_dev;
  return found;
}

// Kernels before 4.11 lack statx, and seccomp filters of some container
// runtimes refuse it; either holds for the whole run.
std::optional<entry> stat_at(int dir, const char* name, const struct stat* parent) {
  static bool refused = false;
  if (!refused) {
    auto found = stat_extended(dir, name, parent);
    if (found || (errno != ENOSYS && errno != EPERM)) {
      return found;
    }
    refused = true;
  }
  return stat_portably(dir, name, parent);
}
#else
std::optional<entry> stat_at(int dir, const char* name, const struct stat* parent) {
  return stat_portably(dir, name, parent);
}
#endif

#if HAVE_ACL_EXTENDED
// macOS copies ACL and extended attributes in one call, from a descriptor.
acl_carry copy_all_metadata(int dir, const char* name, int old, int to, bool drop_own_access_list) {
  const unique_fd opened(
      old >= 0 ? -1 : ::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  const int from = old >= 0 ? old : opened.get();
  const auto had = from >= 0 ? access_list_of(from).kind : access_list::unknown;
  if (had == access_list::unknown ||
      ::fcopyfile(from, to, nullptr, COPYFILE_ACL | COPYFILE_XATTR) != 0) {
    return acl_carry::lost;
  }
  if (had == access_list::absent) {
    return drop_own_access_list && !drop_access_list(to) ? acl_carry::lost : acl_carry::none;
  }
  return acl_carry::carried;
}
#elif !HAVE_LINUX_XATTR
// Without an interface for them, nobody can tell what an ACL said.
acl_carry copy_all_metadata(int dir, const char* name, int old, int to, bool drop_own_access_list) {
  static_cast<void>(dir);
  static_cast<void>(name);
  static_cast<void>(old);
  static_cast<void>(to);
  static_cast<void>(drop_own_access_list);
  return acl_carry::lost;
}
#endif

}  // namespace

unmapped_ids unmapped() {
  static const unmapped_ids ids{static_cast<uid_t>(number_in("/proc/sys/kernel/overflowuid")),
                                static_cast<gid_t>(number_in("/proc/sys/kernel/overflowgid"))};
  return ids;
}

unsigned held_privileges() {
  static const unsigned held = read_privileges();
  return held;
}

unique_fd open_directory(int at, const char* path) {
  unique_fd dir(::openat(at, path, O_RDONLY | O_DIRECTORY | O_NOCTTY | O_CLOEXEC));
#if HAVE_O_PATH || HAVE_O_SEARCH
  if (!dir && errno == EACCES) {
    dir.reset(::openat(at, path, LOOKUP_ONLY | O_DIRECTORY | O_CLOEXEC));
  }
#endif
  return dir;
}

std::optional<entry> stat_entry(int dir, const struct stat& dir_status, const char* name) {
  return stat_at(dir, name, &dir_status);
}

std::optional<entry> stat_open(int fd) { return stat_at(fd, nullptr, nullptr); }

unique_fd open_unnamed(int dir, mode_t mode) {
#if HAVE_O_TMPFILE
  return unique_fd(::openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
#else
  static_cast<void>(dir);
  static_cast<void>(mode);
  errno = EOPNOTSUPP;
  return {};
#endif
}

bool link_unnamed(int fd, int dir, const char* name) {
#if HAVE_LINKAT_EMPTY_PATH
  // Linking the descriptor itself skips a walk through /proc; kernels before
  // 6.10 allow it only to privileged callers and refuse with ENOENT, after
  // which the /proc path serves for the rest of the run.
  static bool by_descriptor = true;
  if (by_descriptor) {
    if (::linkat(fd, "", dir, name, AT_EMPTY_PATH) == 0) {
      return true;
    }
    if (errno != ENOENT) {
      return false;
    }
    by_descriptor = false;
  }
  return ::linkat(AT_FDCWD, proc_path(fd, {}).c_str(), dir, name, AT_SYMLINK_FOLLOW) == 0;
#else
  static_cast<void>(fd);
  static_cast<void>(dir);
  static_cast<void>(name);
  errno = EOPNOTSUPP;
  return false;
#endif
}

ssize_t kernel_copy(int in, off_t* offset, int out, std::size_t length) {
#if HAVE_COPY_FILE_RANGE
  return ::copy_file_range(in, offset, out, nullptr, length, 0);
#else
  static_cast<void>(in);
  static_cast<void>(offset);
  static_cast<void>(out);
  static_cast<void>(length);
  errno = ENOSYS;
  return -1;
#endif
}

bool waits_for_a_writer() { return HAVE_PPOLL_FIFO != 0; }

int wait_readable(int fd, const sigset_t& during) {
#if HAVE_PPOLL_FIFO
  pollfd readable{fd, POLLIN, 0};
  return ::ppoll(&readable, 1, nullptr, &during);
#else
  static_cast<void>(fd);
  static_cast<void>(during);
  errno = ENOSYS;
  return -1;
#endif
}

bool sync_to_medium(int fd) {
#if HAVE_F_FULLFSYNC
  // Only a file system that does not know the request falls back; a failed
  // flush stays a failure.
  if (::fcntl(fd, F_FULLFSYNC) == 0) {
    return true;
  }
  if (errno != ENOTSUP && errno != EINVAL && errno != ENOTTY) {
    return false;
  }
#endif
  return ::fsync(fd) == 0;
}

write_back write_back_step(int fd, off_t start, off_t length) {
#if HAVE_SYNC_FILE_RANGE
  constexpr unsigned WAIT_FOR_IT =
      SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
  if (::sync_file_range(fd, start, length, SYNC_FILE_RANGE_WRITE) == 0 &&
      (start < length || ::sync_file_range(fd, start - length, length, WAIT_FOR_IT) == 0)) {
    return write_back::done;
  }
  // Kernels before 2.6.17 and seccomp filters refuse the call; a file that
  // cannot be written back by range is no failure of its data.
  const bool refused = errno == ENOSYS || errno == EPERM || errno == EINVAL || errno == ESPIPE;
  return refused ? write_back::unsupported : write_back::failed;
#else
  static_cast<void>(fd);
  static_cast<void>(start);
  static_cast<void>(length);
  return write_back::unsupported;
#endif
}

std::optional<extent> next_data(int fd, off_t from) {
#if HAVE_SEEK_DATA
  const auto start = ::lseek(fd, from, SEEK_DATA);
  if (start < 0) {
    if (errno == ENXIO) {
      return std::nullopt;
    }
    return extent{from, LARGEST_OFFSET};
  }
  const auto end = ::lseek(fd, start, SEEK_HOLE);
  return extent{start, end > start ? end : LARGEST_OFFSET};
#else
  static_cast<void>(fd);
  return extent{from, LARGEST_OFFSET};
#endif
}

directory_access_lists access_lists_of_directory(int dir) {
#if HAVE_LINUX_XATTR
  const auto size = ::fgetxattr(dir, "system.posix_acl_default", nullptr, 0);
  if (size < 0 && errno == EOPNOTSUPP) {
    // Its allow entries may grant anyone anything.
    const bool nfs4 = has_nfs4_access_list(dir);
    return {nfs4, nfs4};
  }
  return {size > 0 || (size < 0 && errno != ENODATA), false};
#elif HAVE_ACL_EXTENDED
  // Inheritable entries of macOS, and allow entries that may add files.
  return {true, access_list_of(dir).kind != access_list::absent};
#else
  // Default ACLs this build cannot read; nothing tells of others' writes.
  static_cast<void>(dir);
  return {true, false};
#endif
}

access_list_facts access_list_of(int fd) {
#if HAVE_LINUX_XATTR
  // Most ACLs are a few entries; a longer one still counts as present.
  std::array<std::byte, 1024> value{};
  const auto size = ::fgetxattr(fd, ACCESS_LIST, value.data(), value.size());
  if (size > 0) {
    return present_access_list(std::span(value).first(static_cast<std::size_t>(size)));
  }
  if (errno == ERANGE) {
    return {access_list::present};
  }
  // A file system without POSIX ACLs holds none, unless it is NFSv4's.
  if (errno == EOPNOTSUPP) {
    return {has_nfs4_access_list(fd) ? access_list::unknown : access_list::absent};
  }
  return {errno == ENODATA ? access_list::absent : access_list::unknown};
#elif HAVE_ACL_EXTENDED
  // Its entries are allowed or denied before the permission bits, which
  // therefore say nothing sure of the group.
  acl_t const acl = ::acl_get_fd_np(fd, ACL_TYPE_EXTENDED);
  if (acl == nullptr) {
    return {errno == ENOENT ? access_list::absent : access_list::unknown};
  }
  ::acl_free(acl);
  return {access_list::present};
#else
  static_cast<void>(fd);
  return {access_list::unknown};
#endif
}

bool copy_access_list(int from, int to, std::span<std::byte> scratch) {
#if HAVE_LINUX_XATTR
  const auto size = ::fgetxattr(from, ACCESS_LIST, scratch.data(), scratch.size());
  return size > 0 &&
         ::fsetxattr(to, ACCESS_LIST, scratch.data(), static_cast<std::size_t>(size), 0) == 0;
#elif HAVE_ACL_EXTENDED
  static_cast<void>(scratch);
  return ::fcopyfile(from, to, nullptr, COPYFILE_ACL) == 0;
#else
  static_cast<void>(from);
  static_cast<void>(to);
  static_cast<void>(scratch);
  return false;
#endif
}

bool drop_access_list(int fd) {
#if HAVE_LINUX_XATTR
  if (::fremovexattr(fd, ACCESS_LIST) == 0 || errno == ENODATA) {
    return true;
  }
  return errno == EOPNOTSUPP && !has_nfs4_access_list(fd);
#elif HAVE_ACL_EXTENDED
  acl_t const empty = ::acl_init(0);
  const bool dropped = empty != nullptr && ::acl_set_fd_np(fd, empty, ACL_TYPE_EXTENDED) == 0;
  if (empty != nullptr) {
    ::acl_free(empty);
  }
  return dropped;
#else
  static_cast<void>(fd);
  return false;
#endif
}

acl_carry carry_attributes(int dir, const char* name, int old, int to, bool drop_own_access_list,
                           std::span<std::byte> scratch) {
#if HAVE_LINUX_XATTR
  // Without a descriptor, a path through /proc reaches the name inside the
  // directory held open, whatever became of its path.
  const proc_path through_proc(dir, name);
  attribute_source from{old >= 0 ? nullptr : through_proc.c_str(), old};
  const auto names = scratch.first(LIST_LIMIT);
  auto listed = from.list(names);
  unique_fd opened;
  if (listed < 0 && errno == EOPNOTSUPP) {
    return acl_carry::none;
  }
  if (listed < 0 && old < 0) {
    // No /proc: the file itself, where this user may open it.
    opened.reset(::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    from = {nullptr, opened.get()};
    listed = opened ? from.list(names) : -1;
  }
  if (listed < 0) {
    return acl_carry::lost;
  }
  const std::string_view list(reinterpret_cast<const char*>(names.data()),
                              static_cast<std::size_t>(listed));
  return copy_listed(from, list, to, drop_own_access_list, scratch.subspan(LIST_LIMIT));
#else
  static_cast<void>(scratch);
  return copy_all_metadata(dir, name, old, to, drop_own_access_list);
#endif
}

}  // namespace geos::platform
