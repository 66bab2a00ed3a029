// Who may read an output: the one rule that decides the owner, group,
// permission bits and ACL an output gets, or that it is not written at all.
//
// An output holds its input's data, so it grants read access to nobody the
// input denies it to. The input's owner, group, permission bits and ACL
// decide who that is. Where they cannot tell (an ACL that cannot be read or
// carried), the output grants less, never more.
//
// A new output belongs to the caller, who can always read and write it, so
// that the same command can be run again. It takes the input's group where
// the caller may set it (root, or a member of that group); otherwise its
// group gets nothing, since the group it happens to be created with (the
// caller's, or a set-group-ID directory's) was chosen by nobody. Group and
// other get at most what the input gives them, less the umask, and the
// input's access ACL comes with it; where that ACL cannot be carried, group
// and other get nothing. An ACL the output would inherit from a default ACL
// of its directory is replaced by the input's or removed: it never widens
// the output.
//
// A replaced output keeps its owner, group, permission bits (but the set-ID
// ones), ACL and other attributes, with the read bit of each class cleared
// unless everyone that class may hold can read the input. It is not written
// into where
//   - its directory is sticky, it is not the caller's, and the caller
//     neither owns the directory nor is root (the rename would be refused);
//   - its directory is sticky and world-writable and it belongs to neither
//     the caller nor the directory's owner, even for root (a file planted
//     there for someone else to fill);
//   - it belongs to someone who cannot read the input: not the caller, not
//     the input's owner, not root, and let in by neither the input's group
//     bits (as a member of its group) nor its other bits.
// Where its group cannot be kept, it gets nothing; where its ACL cannot,
// group and other get nothing.
//
// Where the system refuses what the rule expects (an NFS server that maps
// root to nobody, a file system without ACLs), the same fallbacks apply, so
// a refusal always leaves the output with less.
//
// Nothing here touches a file: every function maps statuses to a decision,
// which staged_output carries out.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <span>

namespace geos {

// Whether a file carries an access ACL beyond its permission bits.
enum class access_list {
  absent,   // none: the permission bits say everything
  present,  // there is one
  unknown,  // it could not be read, or the system has no interface for it
};

// What the rule needs to know of a file.
struct file_facts {
  uid_t owner = 0;
  gid_t group = 0;
  mode_t mode = 0;  // st_mode; with an ACL, the group bits are its mask
  access_list acl = access_list::absent;
};

// The effective ids of the process that writes the outputs.
struct caller_ids {
  uid_t uid;
  gid_t gid;
  std::span<const gid_t> groups;  // supplementary groups
  mode_t umask;

  // Whether files of this caller may be given `group`: root may give any,
  // others only their own groups.
  [[nodiscard]] bool may_set_group(gid_t group) const;
};

// Whether a symbolic link owned by `link_owner` in `directory` may be
// followed: anywhere but in a sticky world-writable directory, and there
// only where it belongs to the caller or to the directory's owner.
[[nodiscard]] bool may_follow_link(const struct stat& directory, uid_t link_owner,
                                   const caller_ids& caller);

// Whether an existing output `old` in `directory` may be replaced with the
// data of `input` (see above). `owner_in_input_group` says whether the old
// output's owner is a member of the input's group; it is looked at only
// where that owner is neither the caller, the input's owner nor root.
[[nodiscard]] bool may_replace(const struct stat& directory, const file_facts& old,
                               const file_facts& input, const caller_ids& caller,
                               bool owner_in_input_group);

// The permission bits of a new output for `input`. `group_set`: its group
// is the input's. `acl_carried`: the output has exactly the input's ACL, or
// none where the input has none.
[[nodiscard]] mode_t new_output_mode(const file_facts& input, const caller_ids& caller,
                                     bool group_set, bool acl_carried);

// How the old output's ACL came over to the new content.
enum class acl_carry {
  none,     // the old output had none
  carried,  // it had one, now on the new content
  lost,     // it could not be read or carried
};

// The permission bits of the new content of `old`, which holds `input`'s
// data: the old bits less the set-ID ones, narrowed as above. `in_place`:
// the input is the old output itself, which narrows nothing. `group_kept`:
// the old output's group is on the new content.
[[nodiscard]] mode_t replaced_output_mode(const file_facts& old, const file_facts& input,
                                          bool in_place, acl_carry acl, bool group_kept);

}  // namespace geos
