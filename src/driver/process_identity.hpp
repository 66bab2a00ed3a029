// Who this process is, as the access rule needs it, and what the account
// databases say of other users.
#pragma once

#include "driver/heap.hpp"
#include "rules/access_rule.hpp"

namespace geos {

// The effective ids, supplementary groups, umask, privileges and the ids
// the system shows for unmapped users and groups, read once at
// construction. Where memory for the groups cannot be had, none are known,
// so that the caller is taken to be in fewer groups, never more.
class this_process {
 public:
  this_process();
  this_process(const this_process&) = delete;
  this_process& operator=(const this_process&) = delete;
  this_process(this_process&&) = delete;
  this_process& operator=(this_process&&) = delete;
  ~this_process() = default;

  [[nodiscard]] const caller_ids& ids() const noexcept { return ids_; }

 private:
  heap_array<group_id> groups_;
  caller_ids ids_;
};

// Whether `user` is a member of `group`, as the account databases say:
// `unknown` where the user has no account.
[[nodiscard]] membership belongs_to(user_id user, group_id group);

}  // namespace geos
