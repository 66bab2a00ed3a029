#include "driver/process_identity.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <grp.h>
#include <pwd.h>
#include <string_view>
#include <type_traits>

#include "driver/platform.hpp"

namespace geos {

// The rule's ids are the system's, bit for bit.
static_assert(std::is_same_v<uid_t, user_id> && std::is_same_v<gid_t, group_id>);

this_process::this_process()
    : ids_{::geteuid(),
           ::getegid(),
           {},
           ::umask(0),
           platform::held_privileges(),
           platform::unmapped().uid,
           platform::unmapped().gid} {
  static_cast<void>(::umask(static_cast<mode_t>(ids_.umask)));
  const int count = ::getgroups(0, nullptr);
  groups_ = try_allocate<group_id>(static_cast<std::size_t>(std::max(count, 0)));
  const int got = groups_ ? ::getgroups(count, groups_.get()) : 0;
  ids_.groups = {groups_.get(), static_cast<std::size_t>(std::max(got, 0))};
}

// Looked up only for an output that belongs to a third user, so rarely.
membership belongs_to(user_id user, group_id group) {
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

}  // namespace geos
