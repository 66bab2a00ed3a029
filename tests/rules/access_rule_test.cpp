#include "rules/access_rule.hpp"

#include <gtest/gtest.h>

#include <array>
#include <optional>

#include "case_name.hpp"

namespace geos {
namespace {

constexpr user_id ME = 1000;
constexpr user_id OTHER = 2000;
constexpr group_id TEAM = 50;
constexpr user_id UNMAPPED = 65534;
constexpr std::array<group_id, 2> MY_GROUPS{ME, TEAM};
constexpr auto PRESENT = access_list::present;

directory_facts directory(mode_bits mode, user_id owner = ME) { return {owner, mode}; }

// Root holds every privilege, others none, unless told otherwise.
caller_ids caller(user_id uid = ME, mode_bits umask = 022,
                  std::optional<unsigned> privileges = {}) {
  const unsigned held = privileges.value_or(uid == 0 ? ALL_PRIVILEGES : NO_PRIVILEGE);
  return {uid, ME, MY_GROUPS, umask, held, UNMAPPED, UNMAPPED};
}

struct new_case {
  const char* name;
  file_facts input;
  mode_bits umask;
  bool group_set;
  bool acl_carried;
  mode_bits expected;
  friend void PrintTo(const new_case& c, std::ostream* os) { *os << c.name; }
};

class new_output : public testing::TestWithParam<new_case> {};

TEST_P(new_output, grants_nobody_the_input_denies) {
  const auto& row = GetParam();
  EXPECT_EQ(new_output_mode(row.input, caller(ME, row.umask), row.group_set, row.acl_carried),
            row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    rows, new_output,
    testing::Values(
        // clang-format off
        new_case{"group_not_set_gets_nothing", {ME, OTHER, 0664}, 0, false, true, 0604},
        new_case{"carried_acl_keeps_mask_and_other", {ME, ME, 0654, {PRESENT}}, 0, true, true, 0644},
        new_case{"acl_named_entry_denied_falls_among_others_with_an_empty_mask",
                 {ME, OTHER, 0644, {PRESENT, true, false}}, 0, false, true, 0600},
        new_case{"acl_group_entry_that_reads_lets_other_keep_read",
                 {ME, OTHER, 0644, {PRESENT, true, true}}, 0, false, true, 0604},
        new_case{"acl_named_entries_keep_their_say_while_the_mask_is_not_empty",
                 {ME, ME, 0644, {PRESENT, true, false}}, 0, true, true, 0644},
        new_case{"acl_not_carried_leaves_only_the_caller", {ME, ME, 0644, {PRESENT}}, 0, true, false,
                 0600}),
    // clang-format on
    case_name{});

// What is known of a replacement beyond the statuses.
enum facts : unsigned {
  MEMBER = 1,  // the old output's owner is in the input's group
  IN_PLACE = 2,
  OLD_ACL = 4,  // the old output's ACL was carried
  ACL_LOST = 8,
  GROUP_LOST = 16,  // the new content has another group than the old output
  CHOWN_ONLY = 32,  // the caller, root or not, holds only the privilege to change owners
  NO_ACCOUNT = 64,  // nobody can tell the groups of the old output's owner
};
constexpr group_id ANOTHER_GROUP = 77;
constexpr int REFUSED = -1;

struct replace_case {
  const char* name;
  directory_facts directory;
  user_id caller;
  file_facts old;
  file_facts input;
  unsigned facts;
  int expected;  // the mode, or REFUSED
  friend void PrintTo(const replace_case& c, std::ostream* os) { *os << c.name; }
};

class replaced_output : public testing::TestWithParam<replace_case> {};

TEST_P(replaced_output, keeps_what_it_had_narrowed_to_the_input) {
  const auto& row = GetParam();
  const auto has = [&](unsigned fact) { return (row.facts & fact) != 0; };
  const auto ids =
      caller(row.caller, 022, has(CHOWN_ONLY) ? std::optional(CHANGE_OWNERSHIP) : std::nullopt);
  const auto member = has(MEMBER)       ? membership::member
                      : has(NO_ACCOUNT) ? membership::unknown
                                        : membership::not_member;
  const bool allowed = may_replace(row.directory, row.old, row.input, ids, member);
  ASSERT_EQ(allowed, row.expected != REFUSED);
  if (allowed) {
    const auto acl =
        has(OLD_ACL) ? acl_carry::carried : (has(ACL_LOST) ? acl_carry::lost : acl_carry::none);
    EXPECT_EQ(replaced_output_mode(row.old, row.input, ids, has(IN_PLACE), acl,
                                   has(GROUP_LOST) ? ANOTHER_GROUP : row.old.group),
              static_cast<mode_bits>(row.expected));
  }
}

const auto PLAIN = directory(0755);
const auto SHARED = directory(01777, 0);

INSTANTIATE_TEST_SUITE_P(rows, replaced_output,
                         testing::Values(
                             // clang-format off
        replace_case{"in_place_narrows_nothing_but_set_id", PLAIN, ME, {ME, ME, 06750},
                     {ME, ME, 06750}, IN_PLACE, 0750},
        replace_case{"lost_acl_clears_group_and_other", PLAIN, ME, {ME, ME, 0664},
                     {ME, ME, 0644}, ACL_LOST, 0600},
        replace_case{"group_not_kept_clears_group", PLAIN, ME, {ME, ME, 0664}, {ME, ME, 0644},
                     GROUP_LOST, 0604},
        replace_case{"carried_acl_may_name_those_the_input_shuts_out", PLAIN, ME, {ME, ME, 0640},
                     {ME, ME, 0640}, OLD_ACL, 0600},
        replace_case{"in_place_group_not_kept_keeps_other_its_group_had", PLAIN, ME,
                     {ME, TEAM, 0644}, {ME, TEAM, 0644}, IN_PLACE | GROUP_LOST, 0604},
        replace_case{"third_user_in_the_input_group_it_shuts_out_refused", PLAIN, 0,
                     {OTHER, OTHER, 0666}, {ME, TEAM, 0604}, MEMBER, REFUSED},
        replace_case{"third_user_outside_the_input_group_refused", PLAIN, 0, {OTHER, OTHER, 0666},
                     {ME, TEAM, 0640}, 0, REFUSED},
        replace_case{"roots_output_kept_for_a_caller_who_may_change_owners", PLAIN, ME,
                     {0, 0, 0644}, {ME, ME, 0600}, CHOWN_ONLY, 0600},
        replace_case{"third_user_let_in_by_input_group_kept", PLAIN, 0, {OTHER, TEAM, 0660},
                     {ME, TEAM, 0640}, MEMBER, 0660},
        replace_case{"third_user_let_in_as_other_kept", PLAIN, 0, {OTHER, OTHER, 0644},
                     {ME, ME, 0644}, 0, 0644},
        replace_case{"third_user_without_account_let_in_by_group_and_other", PLAIN, 0,
                     {OTHER, OTHER, 0644}, {ME, ME, 0644}, NO_ACCOUNT, 0644},
        replace_case{"own_output_in_shared_directory_kept", SHARED, ME, {ME, ME, 0644},
                     {ME, ME, 0644}, 0, 0644},
        replace_case{"sticky_directory_owner_may_replace", directory(01775, 0), 0,
                     {OTHER, ME, 0666}, {ME, ME, 0644}, CHOWN_ONLY, 0666},
        replace_case{"root_may_replace_in_sticky_directory", directory(01775, OTHER), 0,
                     {OTHER, ME, 0644}, {OTHER, ME, 0644}, 0, 0644},
        replace_case{"directory_owners_file_in_shared_directory_kept", directory(01777, OTHER),
                     0, {OTHER, ME, 0644}, {OTHER, ME, 0644}, 0, 0644}),
                         // clang-format on
                         case_name{});

}  // namespace
}  // namespace geos
