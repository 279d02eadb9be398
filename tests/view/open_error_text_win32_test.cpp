// What the user is told on Windows when a COM port will not open.
#include <gtest/gtest.h>

#include <string>

#include "serial/open_error_facts.h"
#include "view/open_error_text.h"

namespace morvane {
namespace {

// Every failure names the port as the user named it and says what to do on Windows, never
// with Linux's remedies.
TEST(OpenErrorTextWin32, EachReasonIsExplainedInWindowsTerms) {
    struct Row {
        OpenErrorKind kind;
        int osError;
        const char* says;
    };
    const Row rows[] = {
        {OpenErrorKind::NoSuchDevice, 2, "no such port"},
        {OpenErrorKind::Busy, 5, "access denied, the port is in use by another program"},
        {OpenErrorKind::Busy, 32, "in use by another program"},
        // The port taken as a serial mouse has no program to close.
        {OpenErrorKind::Busy, 5, "\"Microsoft Serial BallPoint\""},
        {OpenErrorKind::Busy, 32, "\"Serial Enumerator\" in the port's Properties"},
        {OpenErrorKind::PermissionDenied, 5, "access denied"},
    };
    for (const Row& row : rows) {
        const OpenError error{row.kind, "\\\\.\\COM5", "System text", row.osError, {}};
        const std::string text = ExplainOpenError(error, "COM5", 5, GatherOpenErrorFacts(error));
        EXPECT_EQ(text.rfind("Cannot open COM5", 0), 0U) << text;
        EXPECT_NE(text.find(row.says), std::string::npos) << text;
    }
    for (const OpenErrorKind kind :
         {OpenErrorKind::None, OpenErrorKind::NoSuchDevice, OpenErrorKind::PermissionDenied,
          OpenErrorKind::Busy, OpenErrorKind::NotSerial, OpenErrorKind::SettingsRefused,
          OpenErrorKind::Other}) {
        const OpenError error{kind, "\\\\.\\COM5", "System text", 5, {}};
        for (const PortChoice choice : {PortChoice::CommandLine, PortChoice::PortList}) {
            const std::string text =
                ExplainOpenError(error, "COM5", 5, GatherOpenErrorFacts(error), choice);
            for (const char* linux : {"/dev", "dialout", "sudo", "tty"})
                EXPECT_EQ(text.find(linux), std::string::npos) << text;
        }
    }
}

}  // namespace
}  // namespace morvane
