#include "serial/com_port_map.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/temp_dir.h"

namespace morvane {
namespace {

TEST(ComPortMap, NumbersAndTtyNamesMapBothWays) {
    struct Row {
        int port;
        const char* tty;
    };
    const Row rows[] = {
        {1, "ttyS0"},     {32, "ttyS31"},  {33, "ttyUSB0"},    {64, "ttyUSB31"}, {65, "ttyACM0"},
        {96, "ttyACM31"}, {97, "ttyAMA0"}, {129, "ttyXRUSB0"}, {161, "rfcomm0"}, {192, "rfcomm31"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(TtyNameForComPort(r.port), r.tty) << r.port;
        EXPECT_EQ(ComPortForTtyName(r.tty), r.port) << r.tty;
    }
}

TEST(ComPortMap, NumbersOutsideTheRangesMapToNothing) {
    for (int port : {0, -1, 193, 1000}) {
        EXPECT_FALSE(TtyNameForComPort(port)) << port;
        EXPECT_FALSE(DevicePathForComPort(port, "")) << port;
    }
    for (const char* name :
         {"ttyS32", "ttyS", "ttyS01", "ttySx", "tty0", "ttyUSB-1", "console", "ttyS1a"}) {
        EXPECT_FALSE(ComPortForTtyName(name)) << name;
    }
}

TEST(ComPortMap, DevicesEntryNames) {
    EXPECT_EQ(ComPortForDevicesEntry("com7"), 7);
    EXPECT_EQ(ComPortForDevicesEntry("com250"), 250);
    for (const char* name : {"COM7", "com07", "lpt1"}) {
        EXPECT_FALSE(ComPortForDevicesEntry(name)) << name;
    }
}

TEST(ComPortMap, DevicesFolderEntryWinsOverTheFixedRange) {
    const testing::TempDir dir("map");
    std::filesystem::create_symlink("/dev/pts/does-not-exist", dir / "com3");
    EXPECT_EQ(DevicePathForComPort(3, dir.Path().string()),
              (dir / "com3").string());  // even when dangling
    EXPECT_EQ(DevicePathForComPort(4, dir.Path().string()), "/dev/ttyS3");
    EXPECT_EQ(DevicePathForComPort(33, ""), "/dev/ttyUSB0");
    std::ofstream(dir / "a-file") << "";
    EXPECT_EQ(DevicePathForComPort(3, (dir / "a-file").string()), "/dev/ttyS2");
}

// A devices folder that is missing or a file is said in the words a load and the port list
// share; a folder, or none named, says nothing.
TEST(ComPortMap, ADevicesFolderThatIsNoneIsSaid) {
    const testing::TempDir dir("map-dir");
    std::ofstream(dir / "a-file") << "";
    struct Row {
        std::string folder;
        const char* problem;  // empty: none
    };
    const Row rows[] = {
        {"", ""},
        {dir.Path().string(), ""},
        {(dir / "a-file").string(), ", which is not a folder: COM numbers stand for"},
        {(dir / "gone").string(), ", which does not exist: COM numbers stand for"},
    };
    for (const Row& r : rows) {
        const std::string problem = DevicesDirProblem(r.folder);
        if (*r.problem == '\0') {
            EXPECT_EQ(problem, "") << r.folder;
        } else {
            EXPECT_EQ(problem.rfind("MORVANE_DEVICES names " + r.folder + r.problem, 0), 0u)
                << problem;
        }
    }
}

}  // namespace
}  // namespace morvane
