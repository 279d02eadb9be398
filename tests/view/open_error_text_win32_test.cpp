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
        {OpenErrorKind::PermissionDenied, 5, "access denied"},
        {OpenErrorKind::SettingsRefused, 87, "refused the line settings"},
        {OpenErrorKind::None, 0, "could not be opened"},
    };
    for (const Row& row : rows) {
        const OpenError error{row.kind, "\\\\.\\COM5", "System text", row.osError, {}};
        const std::string text = ExplainOpenError(error, "COM5", 5, GatherOpenErrorFacts(error));
        EXPECT_EQ(text.rfind("Cannot open COM5", 0), 0U) << text;
        EXPECT_NE(text.find(row.says), std::string::npos) << text;
        for (const char* linux : {"/dev", "dialout", "sudo", "tty"})
            EXPECT_EQ(text.find(linux), std::string::npos) << text;
    }
}

// The window's box sends the user to its port list, not to morvane-cli's options.
TEST(OpenErrorTextWin32, TheWindowsBoxNamesNoCommandLineOption) {
    for (const OpenErrorKind kind :
         {OpenErrorKind::NoSuchDevice, OpenErrorKind::NotSerial, OpenErrorKind::SettingsRefused}) {
        const OpenError error{kind, "\\\\.\\COM5", "System text", 0, {}};
        const std::string box = OpenFailureNotice(error, 5, OpenErrorFacts{}).detail;
        EXPECT_EQ(box.find("--"), std::string::npos) << box;
        EXPECT_NE(box.find("Com Port list"), std::string::npos) << box;
    }
}

}  // namespace
}  // namespace morvane
