// Who may read an output: the one rule that decides the owner, group,
// permission bits and ACL an output gets, or that it is not written at all.
//
// An output holds its input's data, so it grants read access to nobody the
// input denies it to. The input's owner, group, permission bits and ACL
// decide who that is. Where they cannot tell (an ACL that cannot be read or
// carried), the output grants less, never more.
//
// Ids are taken as the caller's namespace sees them. The id the system shows
// for a user or group that the namespace (or an id-mapped mount) does not
// map is nobody known: never the caller, the directory's owner or the
// input's owner, and never one of the caller's groups. Privileges are those
// the kernel goes by (see `privilege`), and count only over files whose
// owner and group are known.
//
// A new output belongs to the caller, who can always read and write it, so
// that the same command can be run again. It takes the input's group where
// the caller may set it (a member of that group, or with the privilege);
// otherwise its group gets nothing, since the group it happens to be
// created with (the caller's, or a set-group-ID directory's) was chosen by
// nobody. Group and other get at most what the input gives them, less the
// umask, and the input's access ACL comes with it; where that ACL cannot be
// carried, group and other get nothing. With an ACL, the input's group
// members read what its group entry allows, not what its mask allows; and
// where the output's mask ends up empty, Linux lets the ACL's named users
// and groups fall back to the other bits, which then keep reading only
// where all of them read the input. An ACL the output would inherit from a
// default ACL of its directory is replaced by the input's or removed: it
// never widens the output.
//
// A replaced output keeps its owner, group, permission bits (but the set-ID
// ones), ACL and other attributes, with the read bit of each class cleared
// unless everyone that class may hold can read the input; the class "other"
// holds the input's group wherever the new content's group is another. It
// is not written into where
//   - its directory is sticky, it is not the caller's, and the caller
//     neither owns the directory nor has the privilege over it (the rename
//     would be refused);
//   - its directory is sticky and world-writable and it belongs to neither
//     the caller nor the directory's owner, even for root (a file planted
//     there for someone else to fill);
//   - it is not the caller's and the caller cannot give the new content its
//     owner;
//   - it belongs to someone who cannot read the input: not the caller, not
//     the input's owner, not root, and let in by neither the input's group
//     bits (as a member of its group) nor its other bits (by both, where
//     the account database does not know them).
// Where its group cannot be kept, it gets nothing; where its ACL cannot,
// group and other get nothing. A file stripped in place narrows nothing
// while it keeps its group.
//
// Where the system refuses what the rule expects (an NFS server that maps
// root to nobody, a file system without ACLs), the same fallbacks apply, so
// a refusal always leaves the output with less.
//
// Nothing here touches a file: every function maps facts to a decision,
// which the driver gathers and carries out.
#pragma once

#include <cstdint>
#include <span>

namespace geos {

// Ids and permission bits as the system reports them: 32 bits for ids on
// every system this builds on, the low 12 bits of st_mode for the mode
// (file-type bits are ignored). The bits are POSIX's fixed values.
using user_id = std::uint32_t;
using group_id = std::uint32_t;
using mode_bits = std::uint32_t;

namespace bits {
inline constexpr mode_bits SET_USER_ID = 04000;
inline constexpr mode_bits SET_GROUP_ID = 02000;
inline constexpr mode_bits STICKY = 01000;
inline constexpr mode_bits OWNER_READ = 0400;
inline constexpr mode_bits OWNER_WRITE = 0200;
inline constexpr mode_bits GROUP_ALL = 0070;
inline constexpr mode_bits GROUP_READ = 0040;
inline constexpr mode_bits GROUP_WRITE = 0020;
inline constexpr mode_bits OTHER_ALL = 0007;
inline constexpr mode_bits OTHER_READ = 0004;
inline constexpr mode_bits OTHER_WRITE = 0002;
inline constexpr mode_bits PERMISSIONS = 07777;
}  // namespace bits

// What the rules need to know of a directory that holds an input, an
// output, a link or a FIFO.
struct directory_facts {
  user_id owner = 0;
  mode_bits mode = 0;
  // An ACL entry may let someone other than its owner add or rename
  // entries (where the permission bits do not tell it).
  bool acl_grants_write = false;
};

// Whether a file carries an access ACL beyond its permission bits.
enum class access_list {
  absent,   // none: the permission bits say everything
  present,  // there is one
  unknown,  // it could not be read, or the system has no interface for it
};

// What the rule needs to know of a file's ACL: whether there is one and,
// with one, whether its entry for the owning group grants reading and
// whether every entry for a named user or group does (false where that is
// not known).
struct access_list_facts {
  access_list kind = access_list::absent;
  bool group_entry_reads = false;
  bool named_entries_read = false;
};

// What the rule needs to know of a file.
struct file_facts {
  user_id owner = 0;
  group_id group = 0;
  mode_bits mode = 0;  // st_mode; with an ACL, the group bits are its mask
  access_list_facts acl{};
};

// What the kernel lets a process do beyond what permission bits and ACLs
// allow: on Linux its effective capabilities, elsewhere everything for uid 0.
enum privilege : unsigned {
  NO_PRIVILEGE = 0,
  CHANGE_OWNERSHIP = 1,   // CAP_CHOWN: give a file any owner and group
  REPLACE_IN_STICKY = 2,  // CAP_FOWNER: rename over another's file in a sticky directory
  ALL_PRIVILEGES = 3,
};

// The effective ids of the process that writes the outputs, as its
// namespace sees them.
struct caller_ids {
  user_id uid;
  group_id gid;
  std::span<const group_id> groups;  // supplementary groups
  mode_bits umask;
  unsigned privileges;  // of `privilege`
  // The ids shown for users and groups the namespace does not map.
  user_id unmapped_uid;
  group_id unmapped_gid;

  // Whether `user` is known to be the caller: never an unmapped id.
  [[nodiscard]] bool is(user_id user) const;
  // Whether `user` is someone known, and `other` that same user.
  [[nodiscard]] bool same_user(user_id user, user_id other) const;
  // Whether the caller holds `wanted` over a file of `owner` and `group`:
  // only where both are known.
  [[nodiscard]] bool privileged(privilege wanted, user_id owner, group_id group) const;
  // Whether files of this caller may be given `group`: a known group of
  // its own, or any known group with CHANGE_OWNERSHIP.
  [[nodiscard]] bool may_set_group(group_id group) const;
};

// Whether a user is a member of a group, as the account database says.
enum class membership {
  member,
  not_member,
  unknown,  // the user has no account: any group may be theirs
};

// Whether an existing output `old` in `directory` may be replaced with the
// data of `input` (see above). `owner_in_input_group` says whether the old
// output's owner is a member of the input's group; it is looked at only
// where that owner is known and neither the caller, the input's owner nor
// root.
[[nodiscard]] bool may_replace(const directory_facts& directory, const file_facts& old,
                               const file_facts& input, const caller_ids& caller,
                               membership owner_in_input_group);

// The permission bits of a new output for `input`. `group_set`: its group
// is the input's. `acl_carried`: the output has exactly the input's ACL, or
// none where the input has none.
[[nodiscard]] mode_bits new_output_mode(const file_facts& input, const caller_ids& caller,
                                        bool group_set, bool acl_carried);

// How the old output's ACL came over to the new content.
enum class acl_carry {
  none,     // the old output had none
  carried,  // it had one, now on the new content
  lost,     // it could not be read or carried
};

// The permission bits of the new content of `old`, which holds `input`'s
// data: the old bits less the set-ID ones, narrowed as above. `in_place`:
// the input is the old output itself, whose ACL `acl` tells (the input's
// own is then not looked at); it narrows nothing while its group stays.
// `new_group`: the group the new content has.
[[nodiscard]] mode_bits replaced_output_mode(const file_facts& old, const file_facts& input,
                                             const caller_ids& caller, bool in_place, acl_carry acl,
                                             group_id new_group);

}  // namespace geos
