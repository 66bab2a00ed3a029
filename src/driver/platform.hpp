// Where POSIX systems differ: the calls that Linux, macOS and the BSDs offer
// beyond POSIX, or that a kernel or a sandbox may refuse, behind one set of
// functions. Each has a POSIX fallback that gives the same result, or a
// result that grants less, where the system lacks the faster or finer call;
// which one a build uses is decided at configure time (geos_config.h), and
// only platform.cpp looks at that. Plain POSIX calls are made where they are
// needed.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <csignal>
#include <cstddef>
#include <optional>
#include <span>

#include "driver/unique_fd.hpp"
#include "rules/access_rule.hpp"

namespace geos::platform {

// The ids the system shows for a user and a group that the process's user
// namespace, or an id-mapped mount, does not map (Linux's overflow ids),
// read once. Where the system does not say, 65534, the usual nobody.
struct unmapped_ids {
  uid_t uid;
  gid_t gid;
};
[[nodiscard]] unmapped_ids unmapped();

// The privileges (of access_rule.hpp's `privilege`) this process holds:
// where the system reports effective capabilities, the ones they grant,
// read once; elsewhere all of them for uid 0 and none for anyone else.
[[nodiscard]] unsigned held_privileges();

// Opens the directory `path` (relative to the directory `at`) as a base for
// the *at calls. Where reading it is refused, a descriptor good for lookups
// only is returned where the system has one; such a descriptor cannot be
// flushed. Invalid, with errno set, on failure.
[[nodiscard]] unique_fd open_directory(int at, const char* path);

// An existing name, as seen without following a symbolic link.
struct entry {
  struct stat status;
  bool locked;      // immutable or append-only: it can be neither replaced nor removed
  bool mount_root;  // something is mounted on it: a rename cannot replace it
};

// The status of `name` in `dir` (whose own status is `dir_status`), not
// following a final symbolic link. std::nullopt with errno set on failure.
// Where the kernel lacks, or a filter refuses, statx (a C library's stand-in
// for it tells no attributes), and in builds without it, Linux is asked for
// the immutable and append-only attributes by an ioctl on an open
// descriptor: the name is opened for reading where it is a regular file.
// `locked` is false where nothing can tell: another system without them, a
// file this user may not read; a mount is then recognised by a change of
// device.
[[nodiscard]] std::optional<entry> stat_entry(int dir, const struct stat& dir_status,
                                              const char* name);

// The status of the open file `fd`, `locked` as stat_entry tells it (a
// locked directory lets names be added but none renamed or removed; one
// open for lookups only cannot be asked without statx); `mount_root` is
// false.
[[nodiscard]] std::optional<entry> stat_open(int fd);

// A new regular file in `dir` without a name, open for writing, created
// with `mode` (less the umask, or as a default ACL says). Only this process
// can reach it. Invalid, with errno set, where none can be made: the system
// or the file system may have no such files (errno varies with the kernel),
// or no file at all can be made there.
[[nodiscard]] unique_fd open_unnamed(int dir, mode_t mode);

// Gives the unnamed file `fd` the name `name` in `dir`. Fails, with errno
// EEXIST, where the name exists; never replaces it.
[[nodiscard]] bool link_unnamed(int fd, int dir, const char* name);

// Copies up to `length` bytes from `in` at `*offset` to the current position
// of `out` without passing them through this process. Returns the count
// copied (advancing `*offset` and the position of `out`), 0 at the end of
// `in`, or -1 with errno set; errno is ENOSYS where the system cannot copy
// this way at all.
[[nodiscard]] ssize_t kernel_copy(int in, off_t* offset, int out, std::size_t length);

// Whether wait_readable() waits for a FIFO's writer: on Linux, a FIFO
// opened without waiting reports no end until a writer has come. Elsewhere
// a FIFO's open must wait for it.
[[nodiscard]] bool waits_for_a_writer();

// Waits until `fd` can be read, with the signal mask `during` in force for
// the wait alone (taken and given back in one step, as ppoll does).
// Returns a positive count when ready, or -1 with errno set (EINTR for a
// signal; ENOSYS where waits_for_a_writer() is false).
[[nodiscard]] int wait_readable(int fd, const sigset_t& during);

// Flushes the file or directory `fd` to the storage medium itself, where
// the system distinguishes that from a plain fsync; otherwise fsync.
[[nodiscard]] bool sync_to_medium(int fd);

enum class write_back { done, failed, unsupported };

// Starts writing the range [start, start + length) of `fd` back to its
// medium, and then waits until the range of the same length before it
// (where `start` leaves room for one) is written back, so that the wait is
// for data whose writing began a step earlier. The device's own cache is
// left to the final flush. `failed` where writing back failed, which a
// later flush may no longer report; `unsupported` where the system, the
// file system or a filter has no such call: the final flush then does it all.
[[nodiscard]] write_back write_back_step(int fd, off_t start, off_t length);

// A range of an input that may hold data: [start, end).
struct extent {
  off_t start;
  off_t end;
};

// The first range at or after `from` that holds data, skipping holes, or
// std::nullopt where only holes (or nothing) follow `from`. Where the system
// or the file system cannot tell holes apart, everything from `from` on
// counts as data ({from, the largest offset}).
[[nodiscard]] std::optional<extent> next_data(int fd, off_t from);

// What the ACL of the directory `dir` means for the files in it.
struct directory_access_lists {
  // A file newly created there may carry an access ACL of its own (from a
  // default ACL, or inherited entries of an NFSv4 ACL). True where this
  // cannot be told.
  bool inherited;
  // An entry may let someone other than the owner add or rename entries
  // where the permission bits do not say so: an NFSv4 or a macOS ACL. A
  // POSIX ACL never does, since the mask that lets a named entry write is
  // the group write bit. False where the system has no interface for ACLs.
  bool grant_write;
};
[[nodiscard]] directory_access_lists access_lists_of_directory(int dir);

// What the access ACL of the open file `fd` grants, as far as it can be
// told: `unknown` where it cannot be read, where it is of a kind this
// program cannot read or carry (NFSv4's), or where the system has no
// interface for ACLs.
[[nodiscard]] access_list_facts access_list_of(int fd);

// Gives the open file `to` the access ACL of the open file `from`, which
// has one, in place of any it has. `scratch` (at least 64 KiB) holds it on
// the way. False where it cannot be read or set.
[[nodiscard]] bool copy_access_list(int from, int to, std::span<std::byte> scratch);

// Removes any access ACL of the open file `fd`. False where it may still
// have one: the removal failed, it is of a kind that cannot be removed
// (NFSv4's), or the system has no interface for it.
[[nodiscard]] bool drop_access_list(int fd);

// Gives the file `to` the ACL and extended attributes of `name` in `dir`
// (not following a link), as far as the file system and the caller's rights
// allow; other extended attributes that cannot be set are passed over. The
// working directory is left alone. `old`, where not -1, is that file open
// for reading: they are read from it, without a lookup.
// Where the old file has no ACL and `to` may have one of its own
// (`drop_own_access_list`), that one is removed. `scratch` (at least
// 128 KiB) holds the names and values on the way. Where the system has no
// interface for these, or the old file has an NFSv4 ACL (which is not
// carried), the ACL counts as lost: nobody can tell what it was.
[[nodiscard]] acl_carry carry_attributes(int dir, const char* name, int old, int to,
                                         bool drop_own_access_list, std::span<std::byte> scratch);

}  // namespace geos::platform
