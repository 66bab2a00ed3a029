#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <stdlib.h>

#include "driver/driver.hpp"

namespace geos {
namespace {

// The kernel gives every exec'd program an argv[0]; only a direct call can
// hand over an empty vector.
TEST(run, empty_argument_vector_prints_usage_with_the_tool_name) {
  const char* const argv[] = {nullptr};
  testing::internal::CaptureStdout();
  const int status = run(0, argv);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Usage: geos-unwrap [soundfile1] [soundfile2] [...]\n");
  EXPECT_EQ(status, 1);
}

// Replacing an output reads its attributes from inside its directory; the
// caller of run() finds its working directory as it left it.
TEST(run, working_directory_is_where_it_was_after_an_output_elsewhere_was_replaced) {
  std::string dir = (std::filesystem::temp_directory_path() / "geos-unwrap-run-XXXXXX").string();
  ASSERT_NE(::mkdtemp(dir.data()), nullptr);
  std::filesystem::create_directory(dir + "/sub");
  std::ofstream(dir + "/sub/a.snd") << std::string("\xC7\x45\xC1\x53t\0\x02\x4A\x3Ax", 10);
  std::ofstream(dir + "/sub/a.rng") << "old";
  const auto before = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  const char* const argv[] = {"geos-unwrap", "sub/a.snd", nullptr};
  testing::internal::CaptureStdout();
  EXPECT_EQ(run(2, argv), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Stripping 'sub/a.snd' (t) to 'sub/a.rng'.\n");
  EXPECT_EQ(std::filesystem::current_path(), dir);
  std::filesystem::current_path(before);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace geos
