// What every system says alike when a port will not open, and the window's box around it.
#include "view/open_error_text.h"

#include <gtest/gtest.h>

#include <string>

namespace morvane {
namespace {

// The reasons no system words its own way: the port, the reason and the OS text, then advice.
TEST(OpenErrorText, TheReasonsEverySystemSharesNameThePortAndKeepTheOsText) {
    struct Row {
        OpenErrorKind kind;
        const char* says;
        const char* advice;  // in morvane-cli's words
    };
    const Row rows[] = {
        {OpenErrorKind::NotSerial, ": it is not a serial port (os text).\n", "--list"},
        {OpenErrorKind::SettingsRefused, ": the port refused the line settings (os text).\n",
         "check --list."},
        {OpenErrorKind::Other, " (os text).\n", ""},
        {OpenErrorKind::None, ": the port could not be opened", "no other program uses the port"},
    };
    for (const Row& row : rows) {
        const OpenError error{row.kind, "", "os text", 0, {}};
        const std::string text = ExplainOpenError(error, "COM33", 33, OpenErrorFacts{});
        SCOPED_TRACE(text);
        EXPECT_EQ(text.rfind(std::string("Cannot open COM33") + row.says, 0), 0U);
        EXPECT_NE(text.find(row.advice), std::string::npos);
        EXPECT_EQ(text.back(), '\n');
    }
}

// The window's box says the same, but sends the user to its port list, not to options.
TEST(OpenErrorText, TheWindowsBoxNamesNoCommandLineOption) {
    for (const OpenErrorKind kind :
         {OpenErrorKind::NoSuchDevice, OpenErrorKind::NotSerial, OpenErrorKind::SettingsRefused}) {
        const OpenError error{kind, "", "os text", 0, {}};
        const SNotice notice = OpenFailureNotice(error, 33, OpenErrorFacts{});
        SCOPED_TRACE(notice.detail);
        EXPECT_EQ(notice.text, "Invalid Comport, or Comport in use!");
        EXPECT_EQ(notice.detail.find("--"), std::string::npos);
        EXPECT_NE(notice.detail.find("Com Port list"), std::string::npos);
        const std::string cli = ExplainOpenError(error, "COM33", 33, OpenErrorFacts{});
        EXPECT_EQ(notice.detail.substr(0, notice.detail.find('\n')), cli.substr(0, cli.find('\n')));
    }
}

}  // namespace
}  // namespace morvane
