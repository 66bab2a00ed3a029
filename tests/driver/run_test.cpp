#include "driver/run.hpp"

#include <gtest/gtest.h>

#include <string>

namespace geos {
namespace {

// The name as invoked, or, for the empty vector that only a direct call can
// hand over (the kernel gives every exec'd program an argv[0]), the tool's.
TEST(run, usage_names_the_program_as_invoked_or_else_the_tool) {
  for (const char* invoked : {"./odd name", static_cast<const char*>(nullptr)}) {
    const char* const argv[] = {invoked, nullptr};
    testing::internal::CaptureStdout();
    EXPECT_EQ(run(invoked != nullptr ? 1 : 0, argv), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              std::string("Usage: ") + (invoked != nullptr ? invoked : "geos-unwrap") +
                  " [soundfile1] [soundfile2] [...]\n");
  }
}

}  // namespace
}  // namespace geos
