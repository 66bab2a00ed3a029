#include "driver/run.hpp"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace geos
