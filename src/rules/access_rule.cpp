#include "rules/access_rule.hpp"

#include <algorithm>

namespace geos {

namespace {

constexpr user_id ROOT = 0;
constexpr mode_bits OWNER_READ_WRITE = bits::OWNER_READ | bits::OWNER_WRITE;
constexpr mode_bits GROUP_BITS = bits::GROUP_ALL;
constexpr mode_bits OTHER_BITS = bits::OTHER_ALL;
constexpr mode_bits READ_BITS = bits::OWNER_READ | bits::GROUP_READ | bits::OTHER_READ;
constexpr mode_bits NEW_FILE_BITS = 0666;
constexpr mode_bits MODE_BITS = bits::PERMISSIONS;
constexpr mode_bits SET_ID_BITS = bits::SET_USER_ID | bits::SET_GROUP_ID;

bool has(mode_bits mode, mode_bits bit) { return (mode & bit) != 0; }

// Who the input lets read, class by class. An ACL that stays behind may
// name anyone with less than its group or other bits say, so then only the
// owner's bit can be trusted. With an ACL the group bits are its mask,
// which bounds everyone in the group class; the owning group's own members
// get no more than its group entry.
struct input_readers {
  bool owner;
  bool group_class;
  bool group_members;
  bool other;
};
input_readers readers_of(const file_facts& input, bool acl_travels) {
  const bool acl = input.acl.kind != access_list::absent;
  const bool bits_tell = !acl || acl_travels;
  const bool group_class = bits_tell && has(input.mode, bits::GROUP_READ);
  return {has(input.mode, bits::OWNER_READ), group_class,
          group_class && (!acl || input.acl.group_entry_reads),
          bits_tell && has(input.mode, bits::OTHER_READ)};
}

// Where an output's class may hold people the rule cannot tell apart.
struct output_classes {
  bool owner_is_input_owner;  // known to be the same user
  bool same_group;            // its group is known to be the input's
  bool names_others;          // an ACL of its own names people the rule cannot see
};

// The read bits an output may keep. A class of the output may read only
// where everyone who can fall in it reads the input: its group's members
// are the input's group only where the two groups agree (and include the
// input's owner, if that is someone else), and the output's others may be
// anyone outside its owner and group, the input's group members included
// where the groups differ.
mode_bits read_bound(const file_facts& input, bool acl_travels, output_classes output) {
  const auto readers = readers_of(input, acl_travels);
  const bool anyone = readers.owner && readers.group_members && readers.other;
  const bool input_owner_reads = output.owner_is_input_owner || readers.owner;
  const bool group =
      output.names_others || !output.same_group ? anyone : readers.group_class && input_owner_reads;
  const bool other =
      readers.other && input_owner_reads && (output.same_group || readers.group_members);
  const mode_bits granted =
      bits::OWNER_READ | (group ? bits::GROUP_READ : 0) | (other ? bits::OTHER_READ : 0);
  return ~READ_BITS | granted;
}

// Whether `user`, a known user who owns neither the input nor the process,
// reads it.
bool reads_input(user_id user, const file_facts& input, membership in_input_group) {
  if (user == ROOT) {
    return true;
  }
  const auto readers = readers_of(input, false);
  return (in_input_group == membership::not_member || readers.group_members) &&
         (in_input_group == membership::member || readers.other);
}

}  // namespace

bool caller_ids::is(user_id user) const { return user == uid && user != unmapped_uid; }

bool caller_ids::same_user(user_id user, user_id other) const {
  return user == other && user != unmapped_uid;
}

bool caller_ids::privileged(privilege wanted, user_id owner, group_id group) const {
  return (privileges & wanted) != 0 && owner != unmapped_uid && group != unmapped_gid;
}

bool caller_ids::may_set_group(group_id group) const {
  if (group == unmapped_gid) {
    return false;
  }
  return group == gid || std::ranges::find(groups, group) != groups.end() ||
         (privileges & CHANGE_OWNERSHIP) != 0;
}

bool may_replace(const directory_facts& directory, const file_facts& old, const file_facts& input,
                 const caller_ids& caller, membership owner_in_input_group) {
  const bool sticky = has(directory.mode, bits::STICKY);
  const bool callers = caller.is(old.owner);
  if (sticky && !callers && !caller.is(directory.owner) &&
      !caller.privileged(REPLACE_IN_STICKY, old.owner, old.group)) {
    return false;
  }
  if (sticky && has(directory.mode, bits::OTHER_WRITE) && !callers &&
      !caller.same_user(old.owner, directory.owner)) {
    return false;
  }
  if (callers) {
    return true;
  }
  // The new content is the caller's until it is given the old owner.
  if (!caller.privileged(CHANGE_OWNERSHIP, old.owner, old.group)) {
    return false;
  }
  return old.owner == input.owner || reads_input(old.owner, input, owner_in_input_group);
}

mode_bits new_output_mode(const file_facts& input, const caller_ids& caller, bool group_set,
                          bool acl_carried) {
  if (!acl_carried) {
    return OWNER_READ_WRITE;
  }
  // As cp makes it: what the input's bits and the umask allow, and never
  // less for the caller than reading and writing.
  mode_bits mode = OWNER_READ_WRITE | (NEW_FILE_BITS & input.mode & ~caller.umask);
  if (!group_set) {
    mode &= ~GROUP_BITS;
  }
  mode &= read_bound(input, true, {caller.is(input.owner), group_set, false});
  // The group bits of a file with an ACL are its mask; Linux gives an ACL
  // with an empty mask no say, so that its named users and groups get the
  // other bits.
  const bool named_read = input.acl.named_entries_read && has(input.mode, bits::GROUP_READ);
  if (input.acl.kind != access_list::absent && (mode & GROUP_BITS) == 0 && !named_read) {
    mode &= ~bits::OTHER_READ;
  }
  return mode;
}

mode_bits replaced_output_mode(const file_facts& old, const file_facts& input,
                               const caller_ids& caller, bool in_place, acl_carry acl,
                               group_id new_group) {
  // New content loses the set-ID bits, as a write into the old file would.
  mode_bits mode = old.mode & MODE_BITS & ~SET_ID_BITS;
  // Without its ACL, the group bits would grant what the ACL's mask allowed
  // and the other bits what a named entry may have denied.
  if (acl == acl_carry::lost) {
    mode &= ~(GROUP_BITS | OTHER_BITS);
  }
  const bool group_kept = new_group == old.group && new_group != caller.unmapped_gid;
  if (!group_kept) {
    mode &= ~GROUP_BITS;
  }
  if (in_place && group_kept) {
    return mode;
  }
  // In place, the input is the old output, whose ACL (if any) came along
  // and whose group's members now fall among the others.
  auto source = in_place ? old : input;
  if (in_place) {
    source.acl.kind = acl == acl_carry::none ? access_list::absent : access_list::present;
  }
  const bool same_group = new_group == source.group && new_group != caller.unmapped_gid;
  return mode & read_bound(source, false,
                           {caller.same_user(old.owner, source.owner), same_group,
                            !in_place && acl == acl_carry::carried});
}

}  // namespace geos
