#include "rules/report_lines.hpp"

#include <gtest/gtest.h>

#include <string>

#include "case_name.hpp"

namespace geos {
namespace {

std::string shown(std::string_view field, field_origin from, bool terminal) {
  std::string out;
  while (!field.empty()) {
    const auto part = show_start(field, from, terminal);
    out.append(part.shown);
    field.remove_prefix(part.taken);
  }
  return out;
}

constexpr auto FILE_TEXT = field_origin::file;
constexpr auto NAME = field_origin::caller;

struct mask_case {
  const char* name;
  std::string_view field;
  field_origin from;
  std::string_view into_pipe;
  std::string_view on_terminal;
};

class field_shown : public testing::TestWithParam<mask_case> {};

TEST_P(field_shown, lets_no_file_add_a_line_or_act_on_a_terminal) {
  const auto& row = GetParam();
  EXPECT_EQ(shown(row.field, row.from, false), row.into_pipe);
  EXPECT_EQ(shown(row.field, row.from, true), row.on_terminal);
}

INSTANTIATE_TEST_SUITE_P(
    rows, field_shown,
    testing::Values(
        // clang-format off
        mask_case{"name_passes_byte_for_byte_but_on_a_terminal", "t\x1B[31m\x7F\n\xFF.snd", NAME,
                  "t\x1B[31m\x7F\n\xFF.snd", "t?[31m???.snd"},
        mask_case{"name_in_utf8_passes_everywhere", "caf\xC3\xA9", NAME, "caf\xC3\xA9", "caf\xC3\xA9"},
        mask_case{"c0_del_and_line_breaks_of_a_file", "h\x07i\x1Bx\r\n\t\x7F", FILE_TEXT,
                  "h?i?x????", "h?i?x????"},
        mask_case{"c1_controls_but_not_the_first_printable_after", "\xC2\x9B\xC2\x9F\xC2\xA0",
                  FILE_TEXT, "??\xC2\xA0", "??\xC2\xA0"},
        mask_case{"bidirectional_overrides_and_isolates_but_not_their_neighbours",
                  "\xE2\x80\xA9\xE2\x80\xAA\xE2\x80\xAE\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xA6"
                  "\xE2\x81\xA9\xE2\x81\xAA", FILE_TEXT,
                  "\xE2\x80\xA9??\xE2\x80\xAF\xE2\x81\xA5??\xE2\x81\xAA",
                  "\xE2\x80\xA9??\xE2\x80\xAF\xE2\x81\xA5??\xE2\x81\xAA"},
        mask_case{"stray_overlong_and_past_f4_pass_a_pipe_as_a_legacy_text",
                  "\xFF\xC0\xAF\xF8\x88\xF5\x80\x80\x80", FILE_TEXT,
                  "\xFF\xC0\xAF\xF8\x88\xF5\x80\x80\x80", "?????????"},
        mask_case{"first_and_last_of_each_range_with_narrowed_second_byte",
                  "\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\xEF\xBF\xBD",
                  FILE_TEXT,
                  "\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\xEF\xBF\xBD",
                  "\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\xEF\xBF\xBD"},
        mask_case{"just_outside_each_narrowed_range_one_mark_a_byte",
                  "\xE0\x9F\xBF\xED\xA0\x80\xF0\x8F\xBF\xBF\xF4\x90\x80\x80", FILE_TEXT,
                  "\xE0\x9F\xBF\xED\xA0\x80\xF0\x8F\xBF\xBF\xF4\x90\x80\x80", "??????????????"},
        mask_case{"sequence_cut_short_by_a_continuation_or_the_end", "\xE2\x82" "a\xF0\x90\x80",
                  FILE_TEXT, "\xE2\x82" "a\xF0\x90\x80", "??a???"}),
    // clang-format on
    case_name{});

TEST(taken_back, only_a_line_cut_short_in_a_file_not_opened_for_appending) {
  EXPECT_EQ(taken_back("a\nbc", report_sink::regular_file), 2U);
  EXPECT_EQ(taken_back("abc", report_sink::regular_file), 3U);
  EXPECT_EQ(taken_back("a\n", report_sink::regular_file), 0U);
  EXPECT_EQ(taken_back("a\nbc", report_sink::appended_file), 0U);
  EXPECT_EQ(taken_back("a\nbc", report_sink::other), 0U);
}

}  // namespace
}  // namespace geos
