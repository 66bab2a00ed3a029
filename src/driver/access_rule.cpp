#include "driver/access_rule.hpp"

#include <algorithm>

namespace geos {

namespace {

constexpr uid_t ROOT = 0;
constexpr mode_t OWNER_READ_WRITE = S_IRUSR | S_IWUSR;
constexpr mode_t GROUP_BITS = S_IRWXG;
constexpr mode_t OTHER_BITS = S_IRWXO;
constexpr mode_t READ_BITS = S_IRUSR | S_IRGRP | S_IROTH;
constexpr mode_t NEW_FILE_BITS = 0666;
constexpr mode_t MODE_BITS = 07777;
constexpr mode_t SET_ID_BITS = S_ISUID | S_ISGID;

bool has(mode_t mode, mode_t bit) { return (mode & bit) != 0; }

// Who the input lets read, class by class. An ACL that stays behind may
// name anyone with less than its group or other bits say, so then only the
// owner's bit can be trusted.
struct input_readers {
  bool owner;
  bool group;
  bool other;
};
input_readers readers_of(const file_facts& input, bool acl_travels) {
  const bool bits_tell = input.acl == access_list::absent || acl_travels;
  return {has(input.mode, S_IRUSR), bits_tell && has(input.mode, S_IRGRP),
          bits_tell && has(input.mode, S_IROTH)};
}

// The read bits an output owned by `owner` may keep. A class of the output
// may read only where everyone who can fall in it reads the input: its
// group's members are the input's group only where the two groups agree
// (and include the input's owner, if that is someone else), the output's
// others may be anyone outside its owner and group, and an ACL of the
// output names people the rule cannot see.
mode_t read_bound(const file_facts& input, bool acl_travels, uid_t owner, bool same_group,
                  bool names_others) {
  const auto readers = readers_of(input, acl_travels);
  const bool anyone = readers.owner && readers.group && readers.other;
  const bool input_owner_reads = owner == input.owner || readers.owner;
  const bool group = names_others || !same_group ? anyone : readers.group && input_owner_reads;
  const bool other = readers.other && input_owner_reads && (same_group || readers.group);
  // mode_t is 16 bits on macOS: ~ promotes it to a negative int there.
  const auto granted = static_cast<mode_t>(S_IRUSR | (group ? S_IRGRP : 0) | (other ? S_IROTH : 0));
  return static_cast<mode_t>(~READ_BITS | granted);
}

// Whether `user`, who owns neither the input nor the process, reads it.
bool reads_input(uid_t user, const file_facts& input, bool member_of_input_group) {
  if (user == ROOT) {
    return true;
  }
  const auto readers = readers_of(input, false);
  return member_of_input_group ? readers.group : readers.other;
}

}  // namespace

bool caller_ids::may_set_group(gid_t group) const {
  return uid == ROOT || group == gid || std::ranges::find(groups, group) != groups.end();
}

bool may_follow_link(const struct stat& directory, uid_t link_owner, const caller_ids& caller) {
  const bool shared = has(directory.st_mode, S_ISVTX) && has(directory.st_mode, S_IWOTH);
  return !shared || link_owner == caller.uid || link_owner == directory.st_uid;
}

bool may_replace(const struct stat& directory, const file_facts& old, const file_facts& input,
                 const caller_ids& caller, bool owner_in_input_group) {
  const bool sticky = has(directory.st_mode, S_ISVTX);
  const bool shared = sticky && has(directory.st_mode, S_IWOTH);
  const bool callers = old.owner == caller.uid;
  if (sticky && !callers && directory.st_uid != caller.uid && caller.uid != ROOT) {
    return false;
  }
  if (shared && !callers && old.owner != directory.st_uid) {
    return false;
  }
  return callers || old.owner == input.owner || reads_input(old.owner, input, owner_in_input_group);
}

mode_t new_output_mode(const file_facts& input, const caller_ids& caller, bool group_set,
                       bool acl_carried) {
  if (!acl_carried) {
    return OWNER_READ_WRITE;
  }
  // As cp makes it: what the input's bits and the umask allow, and never
  // less for the caller than reading and writing.
  mode_t mode = OWNER_READ_WRITE | (NEW_FILE_BITS & input.mode & ~caller.umask);
  if (!group_set) {
    mode &= ~GROUP_BITS;
  }
  return mode & read_bound(input, true, caller.uid, group_set, false);
}

mode_t replaced_output_mode(const file_facts& old, const file_facts& input, bool in_place,
                            acl_carry acl, bool group_kept) {
  // New content loses the set-ID bits, as a write into the old file would.
  mode_t mode = old.mode & MODE_BITS & ~SET_ID_BITS;
  // Without its ACL, the group bits would grant what the ACL's mask allowed
  // and the other bits what a named entry may have denied.
  if (acl == acl_carry::lost) {
    mode &= ~(GROUP_BITS | OTHER_BITS);
  }
  if (!group_kept) {
    mode &= ~GROUP_BITS;
  }
  if (in_place) {
    return mode;
  }
  return mode &
         read_bound(input, false, old.owner, old.group == input.group, acl == acl_carry::carried);
}

}  // namespace geos
