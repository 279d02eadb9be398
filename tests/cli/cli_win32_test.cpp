// What morvane-cli takes differently on Windows: port names.
#include <gtest/gtest.h>

#include <string>

#include "cli/cli_args.h"
#include "cli/cli_platform.h"

namespace morvane {
namespace {

TEST(CliWin32, PortTakesComNamesOnly) {
    struct Row {
        const char* text;
        int comPort;  // 0: refused
    };
    const Row rows[] = {
        {"COM5", 5},    {"\\\\.\\COM7", 7}, {"\\\\.\\com255", 255},
        {"COM1234", 0}, {"/dev/ttyS0", 0},  {"\\\\.\\", 0},
    };
    for (const Row& row : rows) {
        const PortArgument port = ReadPortArgument(row.text);
        EXPECT_EQ(port.comPort, row.comPort) << row.text;
        EXPECT_EQ(port.error.empty(), row.comPort != 0) << row.text;
    }

    const CliOptions byName = ParseCommandLine({"morvane-cli", "--port", "\\\\.\\COM12"});
    EXPECT_EQ(byName.action, CliAction::Load);
    EXPECT_EQ(byName.comPort, 12);
    const CliOptions wrong = ParseCommandLine({"morvane-cli", "--port", "/dev/ttyUSB0"});
    EXPECT_EQ(wrong.action, CliAction::Exit);
    EXPECT_EQ(wrong.exitStatus, 1);
    EXPECT_NE(wrong.errText.find("COM5"), std::string::npos) << wrong.errText;
}

}  // namespace
}  // namespace morvane
