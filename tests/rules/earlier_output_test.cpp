#include "rules/earlier_output.hpp"

#include <gtest/gtest.h>

#include "case_name.hpp"

namespace geos {
namespace {

struct earlier_case {
  const char* name;
  earlier_file file;
  bool replaced;
};

class earlier_output : public testing::TestWithParam<earlier_case> {};

TEST_P(earlier_output, replaced_only_where_the_tool_could_have_made_it) {
  EXPECT_EQ(could_be_an_output(GetParam().file), GetParam().replaced);
}

INSTANTIATE_TEST_SUITE_P(
    rows, earlier_output,
    testing::Values(
        earlier_case{"foreign_file_kept", {false, false, file_start::other}, false},
        earlier_case{"unreadable_file_kept", {false, false, file_start::unreadable}, false},
        earlier_case{"earlier_output_replaced", {false, false, file_start::like_output}, true},
        earlier_case{"input_itself_replaced_in_place", {true, false, file_start::other}, true},
        earlier_case{"empty_file_replaced", {false, true, file_start::unreadable}, true},
        earlier_case{
            "directory_or_device_kept", {false, true, file_start::like_output, false}, false},
        earlier_case{
            "locked_kept_even_in_place", {true, false, file_start::like_output, true, true}, false},
        earlier_case{
            "mount_point_kept", {false, true, file_start::like_output, true, false, true}, false}),
    case_name{});

TEST(compare, tells_the_input_under_another_spelling_only_on_its_device) {
  const file_identity input{1, 2, 300, 4000};
  EXPECT_EQ(compare({1, 2, 9, 9}, input), sameness::same);
  EXPECT_EQ(compare({1, 7, 300, 4000}, input), sameness::maybe);
  for (const auto& other : {file_identity{5, 2, 300, 4000}, {1, 7, 301, 4000}, {1, 7, 300, 4001}}) {
    EXPECT_EQ(compare(other, input), sameness::other);
  }
}

}  // namespace
}  // namespace geos
