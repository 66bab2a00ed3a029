#include "rules/shared_directory.hpp"

#include <gtest/gtest.h>

#include <array>

#include "case_name.hpp"

namespace geos {
namespace {

constexpr user_id ME = 1000;
constexpr user_id OTHER = 2000;
constexpr user_id UNMAPPED = 65534;
constexpr std::array<group_id, 1> MY_GROUPS{ME};

const caller_ids CALLER{ME, ME, MY_GROUPS, 022, NO_PRIVILEGE, UNMAPPED, UNMAPPED};

struct trust_case {
  const char* name;
  directory_facts directory;
  user_id entry_owner;
  bool trusted;
};

class entry_in : public testing::TestWithParam<trust_case> {};

TEST_P(entry_in, shared_directory_trusts_only_the_caller_and_its_owner) {
  const auto& row = GetParam();
  EXPECT_EQ(may_follow_link(row.directory, row.entry_owner, CALLER), row.trusted);
  EXPECT_EQ(may_wait_for_fifo(row.directory, row.entry_owner, CALLER), row.trusted);
}

INSTANTIATE_TEST_SUITE_P(
    rows, entry_in,
    testing::Values(
        // clang-format off
        trust_case{"private_directory_anyones", {0, 0755}, OTHER, true},
        trust_case{"read_only_directory_anyones", {OTHER, 0555}, OTHER, true},
        trust_case{"sticky_world_writable_third_users", {0, 01777}, OTHER, false},
        trust_case{"group_writable_third_users", {0, 0775}, OTHER, false},
        trust_case{"set_group_id_team_directory_third_users", {0, 02775}, OTHER, false},
        trust_case{"sticky_group_writable_third_users", {0, 03770}, OTHER, false},
        trust_case{"world_writable_not_sticky_third_users", {0, 0707}, OTHER, false},
        trust_case{"acl_that_grants_write_third_users", {0, 0755, true}, OTHER, false},
        trust_case{"unopened_directory_third_users", unknown_directory(CALLER), OTHER, false},
        trust_case{"unopened_directory_callers", unknown_directory(CALLER), ME, true},
        trust_case{"shared_callers", {0, 02775}, ME, true},
        trust_case{"shared_directory_owners", {OTHER, 01777}, OTHER, true},
        trust_case{"shared_unmapped_owner_is_nobody", {UNMAPPED, 01777}, UNMAPPED, false}),
    // clang-format on
    case_name{});

}  // namespace
}  // namespace geos
