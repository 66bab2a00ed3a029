#include "format/geos_sound.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "case_name.hpp"

namespace geos {
namespace {

using bytes = std::vector<std::byte>;

bytes b(std::string_view text) {
  bytes out;
  for (const char c : text) {
    out.push_back(static_cast<std::byte>(c));
  }
  return out;
}

const std::string SIG = "\xC7\x45\xC1\x53";
const std::string MARK = "\x02\x4A\x3A";

struct scan_case {
  const char* name;
  std::string input;
  scan_outcome expected;

  friend void PrintTo(const scan_case& c, std::ostream* os) { *os << '"' << c.name << '"'; }
};

class locate_sound_data_test : public testing::TestWithParam<scan_case> {};

TEST_P(locate_sound_data_test, classifies) {
  const auto input = b(GetParam().input);
  EXPECT_EQ(locate_sound_data(input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    cases, locate_sound_data_test,
    testing::Values(
        scan_case{"empty", "", {scan_kind::not_geos, 0}},
        scan_case{"three_signature_bytes", SIG.substr(0, 3), {scan_kind::not_geos, 0}},
        scan_case{"output_of_a_strip", MARK + "data", {scan_kind::not_geos, 0}},
        scan_case{"signature_one_byte_off", "\xC7\x45\xC1\x52" + MARK, {scan_kind::not_geos, 0}},
        scan_case{"signature_not_at_start", "x" + SIG + MARK + "d", {scan_kind::not_geos, 0}},
        scan_case{"signature_only", SIG, {scan_kind::corrupted, 0}},
        scan_case{"marker_bytes_apart", SIG + "\x02\x4A-\x3A\x02\x4A", {scan_kind::corrupted, 0}},
        scan_case{"marker_right_after_signature", SIG + MARK + "d", {scan_kind::found, 4}},
        scan_case{"first_of_two_markers",
                  SIG + "hi" + std::string(1, '\0') + MARK + MARK,
                  {scan_kind::found, 7}},
        scan_case{"marker_inside_header_text",
                  SIG + "ab" + MARK + "c" + std::string(1, '\0'),
                  {scan_kind::found, 6}},
        scan_case{"overlapping_start_bytes", SIG + "\x02\x02\x4A\x3A", {scan_kind::found, 5}},
        scan_case{"marker_is_last_three_bytes", SIG + "text" + MARK, {scan_kind::found, 8}}),
    case_name{});

TEST(locate_sound_data, looks_at_no_byte_past_the_count) {
  const auto whole = b(SIG + "xy" + MARK);
  EXPECT_EQ(locate_sound_data(std::span(whole).first(whole.size() - 1)),
            (scan_outcome{scan_kind::corrupted, 0}));
}

TEST(locate_sound_data, finds_marker_at_end_of_a_full_window) {
  auto window = b(SIG);
  window.resize(READ_LIMIT - MARK.size(), std::byte{0x02});
  for (const char c : MARK) {
    window.push_back(static_cast<std::byte>(c));
  }
  EXPECT_EQ(locate_sound_data(window), (scan_outcome{scan_kind::found, READ_LIMIT - 3}));
}

struct text_case {
  const char* name;
  std::string input;
  std::string expected;

  friend void PrintTo(const text_case& c, std::ostream* os) { *os << '"' << c.name << '"'; }
};

class header_text_test : public testing::TestWithParam<text_case> {};

TEST_P(header_text_test, extracts) {
  const auto input = b(GetParam().input);
  EXPECT_EQ(header_text(input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    cases, header_text_test,
    testing::Values(
        text_case{"up_to_first_nul_past_a_marker", SIG + "To" + MARK + "ne" + std::string(1, '\0'),
                  "To" + MARK + "ne"},
        text_case{"empty_when_nul_follows_signature", SIG + std::string(1, '\0') + MARK, ""},
        text_case{"ends_before_the_marker_without_nul", SIG + "abc" + MARK + "d", "abc"},
        text_case{"bytes_kept_as_stored", SIG + "\x1B[2J\xFF" + std::string(1, '\0'),
                  "\x1B[2J\xFF"},
        text_case{"nothing_after_signature", SIG, ""},
        text_case{"shorter_than_signature", "\xC7", ""}),
    case_name{});

// A prefix called settled gives what the whole file gives, for files made of
// the few bytes that matter: signature, marker and NUL.
TEST(settled, prefix_called_settled_gives_the_whole_files_outcome_and_text) {
  std::mt19937 random(7);
  const std::string pieces[] = {MARK, std::string(1, '\0'), "a", "\x02", "\x4A"};
  int settled_count = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string file = round % 8 == 0 ? "" : SIG;
    for (auto n = random() % 12; n > 0; --n) {
      file += pieces[random() % std::size(pieces)];
    }
    const auto whole = b(file);
    const auto prefix = std::span(whole).first(random() % (whole.size() + 1));
    const auto outcome = locate_sound_data(prefix);
    if (settled(outcome, prefix) && ++settled_count > 0) {
      ASSERT_EQ(outcome, locate_sound_data(whole)) << file;
      ASSERT_TRUE(outcome.kind != scan_kind::found || header_text(prefix) == header_text(whole));
    }
  }
  EXPECT_GT(settled_count, 2000) << "settled so rarely that every file is read twice";
}

TEST(begins_like_output, only_from_the_marker_on) {
  EXPECT_TRUE(begins_like_output(b(MARK)));
  EXPECT_FALSE(begins_like_output(b(MARK.substr(0, 2))));
  EXPECT_FALSE(begins_like_output(b("x" + MARK)));
  EXPECT_FALSE(begins_like_output(b(SIG + MARK)));
}

TEST(first_read_length, proves_the_end_of_a_short_file_and_reads_a_kilobyte_of_others) {
  EXPECT_EQ(first_read_length(0), FIRST_READ);
  EXPECT_EQ(first_read_length(10), 11U);
  EXPECT_EQ(first_read_length(READ_LIMIT - 1), READ_LIMIT);
  EXPECT_EQ(first_read_length(READ_LIMIT), FIRST_READ);
  EXPECT_EQ(first_read_length(-1), FIRST_READ);
}

}  // namespace
}  // namespace geos
