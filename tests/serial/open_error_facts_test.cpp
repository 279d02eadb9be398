#include "serial/open_error_facts.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

namespace morvane {
namespace {

TEST(OpenErrorFacts, NoHoldersOfADeviceThatIsNotThere) {
    EXPECT_TRUE(ProgramsHoldingDevice("/nonexistent/morvane-device").empty());
    EXPECT_TRUE(ProgramsHoldingDevice("").empty());
}

// A device that only its owner may open: the facts name the owner and say its group may not.
TEST(OpenErrorFacts, NameTheOwnerOfADeviceItsGroupMayNotOpen) {
    const std::string path = ::testing::TempDir() + "morvane-owned-device";
    std::ofstream(path).put('x');
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    OpenError error;
    error.kind = OpenErrorKind::PermissionDenied;
    error.devicePath = path;
    const OpenErrorFacts facts = GatherOpenErrorFacts(error);
    const passwd* me = getpwuid(getuid());
    ASSERT_NE(me, nullptr);
    EXPECT_EQ(facts.ownerUser, me->pw_name);
    EXPECT_FALSE(facts.groupMayOpen);
    EXPECT_FALSE(facts.ownerGroup.empty());
    ASSERT_EQ(chmod(path.c_str(), 0660), 0);
    EXPECT_TRUE(GatherOpenErrorFacts(error).groupMayOpen);
    std::remove(path.c_str());
}

}  // namespace
}  // namespace morvane
