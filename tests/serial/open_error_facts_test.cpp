#include "serial/open_error_facts.h"

#include <gtest/gtest.h>

namespace morvane {
namespace {

TEST(OpenErrorFacts, NoHoldersOfADeviceThatIsNotThere) {
    EXPECT_TRUE(ProgramsHoldingDevice("/nonexistent/morvane-device").empty());
    EXPECT_TRUE(ProgramsHoldingDevice("").empty());
}

}  // namespace
}  // namespace morvane
