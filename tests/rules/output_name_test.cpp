#include "rules/output_name.hpp"

#include <gtest/gtest.h>

#include <string>

namespace geos {
namespace {

struct name_case {
  const char* argument;
  const char* expected;

  friend void PrintTo(const name_case& c, std::ostream* os) { *os << '"' << c.argument << '"'; }
};

class derive_output_name_test : public testing::TestWithParam<name_case> {};

TEST_P(derive_output_name_test, replaces_extension_of_last_component) {
  std::string name = "left over from an earlier, longer argument";
  derive_output_name(GetParam().argument, name);
  EXPECT_EQ(name, GetParam().expected);
  // The input is opened inside the output's directory.
  EXPECT_EQ(split_path(name).directory, split_path(GetParam().argument).directory);
}

INSTANTIATE_TEST_SUITE_P(
    cases, derive_output_name_test,
    testing::Values(name_case{"tone.snd", "tone.rng"}, name_case{"tone", "tone.rng"},
                    name_case{"a.b.c", "a.rng"}, name_case{"tone.rng", "tone.rng"},
                    name_case{"sounds/tone.snd", "sounds/tone.rng"},
                    name_case{"./tone.snd", "./tone.rng"},
                    name_case{"old.d/tone.snd", "old.d/tone.rng"},
                    name_case{"old.d/tone", "old.d/tone.rng"}, name_case{"dir/.hidden", "dir/.rng"},
                    name_case{"", ".rng"}, name_case{"-", "-.rng"},
                    name_case{"/abs.x/y.z", "/abs.x/y.rng"}, name_case{"dir/", "dir/.rng"},
                    name_case{".", ".rng"}, name_case{"/x", "/x.rng"}));

TEST(derive_output_name, has_no_length_limit) {
  const std::string stem(5000, 's');
  std::string name;
  derive_output_name(stem + ".snd", name);
  EXPECT_EQ(name, stem + ".rng");
}

}  // namespace
}  // namespace geos
