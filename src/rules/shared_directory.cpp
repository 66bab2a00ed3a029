#include "rules/shared_directory.hpp"

namespace geos {

namespace {

// The one trust test of a shared directory, for every kind of entry.
bool trusted_owner(const directory_facts& directory, user_id owner, const caller_ids& caller) {
  return !is_shared(directory) || caller.is(owner) || caller.same_user(owner, directory.owner);
}

}  // namespace

bool is_shared(const directory_facts& directory) {
  return (directory.mode & (bits::GROUP_WRITE | bits::OTHER_WRITE)) != 0 ||
         directory.acl_grants_write;
}

directory_facts unknown_directory(const caller_ids& caller) {
  return {caller.unmapped_uid, bits::OTHER_WRITE, true};
}

bool may_follow_link(const directory_facts& directory, user_id link_owner,
                     const caller_ids& caller) {
  return trusted_owner(directory, link_owner, caller);
}

bool may_wait_for_fifo(const directory_facts& directory, user_id fifo_owner,
                       const caller_ids& caller) {
  return trusted_owner(directory, fifo_owner, caller);
}

}  // namespace geos
