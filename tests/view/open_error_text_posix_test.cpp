// What the user is told on Linux when a port will not open.
#include <gtest/gtest.h>

#include <sstream>

#include "view/open_error_text.h"

namespace morvane {
namespace {

OpenError Error(OpenErrorKind kind, const char* path, const char* osText) {
    OpenError e;
    e.kind = kind;
    e.devicePath = path;
    e.osText = osText;
    return e;
}

OpenErrorFacts Facts(std::string group, bool listed, std::vector<std::string> holders,
                     std::string owner = {}, bool groupMayOpen = true) {
    OpenErrorFacts facts;
    facts.ownerGroup = std::move(group);
    facts.userListedInGroup = listed;
    facts.holders = std::move(holders);
    facts.ownerUser = std::move(owner);
    facts.groupMayOpen = groupMayOpen;
    return facts;
}

// The failures Linux words its own way name the device and say what to do; the OS text is kept.
TEST(OpenErrorTextPosix, EachReasonSaysWhatToDo) {
    struct Row {
        OpenError error;
        OpenErrorFacts facts;
        std::vector<const char*> mustSay;
        std::vector<const char*> mustNotSay;
    };
    const Row rows[] = {
        {Error(OpenErrorKind::NoSuchDevice, "/dev/ttyUSB0", "No such file or directory"),
         {},
         {"COM33 (/dev/ttyUSB0)", "no such device", "No such file or directory",
          "morvane-cli --list", "cable"},
         {"usermod"}},
        {Error(OpenErrorKind::PermissionDenied, "/dev/ttyUSB0", "Permission denied"),
         Facts("dialout", false, {}),
         {"COM33 (/dev/ttyUSB0)", "permission denied", "'dialout'",
          "sudo usermod -aG dialout $USER", "log out and log in again"},
         {"newgrp", "--list"}},
        {Error(OpenErrorKind::PermissionDenied, "/dev/ttyUSB0", "Permission denied"),
         Facts("uucp", false, {}),
         {"'uucp'", "sudo usermod -aG uucp $USER"},
         {"dialout"}},
        {Error(OpenErrorKind::PermissionDenied, "/dev/ttyUSB0", "Permission denied"),
         Facts("dialout", true, {}),
         {"You are a member", "log out and log in again", "newgrp dialout"},
         {"usermod"}},
        {Error(OpenErrorKind::PermissionDenied, "/dev/ttyUSB0", "Permission denied"),
         {},
         {"permission denied", "sudo usermod -aG dialout $USER"},
         {}},
        // A device only its owner may open (root:root 0600): no group would help.
        {Error(OpenErrorKind::PermissionDenied, "/dev/ttyS0", "Permission denied"),
         Facts("root", false, {}, "root", false),
         {"the user 'root' and the group 'root'", "would not help", "Run the load as 'root'"},
         {"usermod", "newgrp"}},
        {Error(OpenErrorKind::PermissionDenied, "/dev/ttyS0", "Permission denied"),
         Facts("dialout", false, {}, "root", false),
         {"only\n  'root' may open it"},
         {"usermod"}},
        // A device of the terminals' group: joining 'tty' is never the advice.
        {Error(OpenErrorKind::PermissionDenied, "/dev/ttyS4", "Permission denied"),
         Facts("tty", true, {}),
         {"'dialout'", "sudo usermod -aG dialout $USER"},
         {"'tty'", "-aG tty", "newgrp", "You are a member"}},
        {Error(OpenErrorKind::Busy, "/dev/ttyUSB0", "Resource temporarily unavailable"),
         Facts("", false, {"minicom (pid 4242)"}),
         {"COM33 (/dev/ttyUSB0): the port is in use (Resource temporarily unavailable)",
          "held by minicom (pid 4242): close that program"},
         {"Another program", "usermod"}},
        {Error(OpenErrorKind::Busy, "/dev/ttyUSB0", "Device or resource busy"),
         {},
         {"in use (Device or resource busy)", "Another program holds it: close it"},
         {}},
    };
    for (const Row& r : rows) {
        const std::string text = ExplainOpenError(r.error, "COM33", 33, r.facts);
        SCOPED_TRACE(text);
        for (const char* s : r.mustSay) EXPECT_NE(text.find(s), std::string::npos) << s;
        for (const char* s : r.mustNotSay) EXPECT_EQ(text.find(s), std::string::npos) << s;
        EXPECT_EQ(text.back(), '\n');
    }
}

TEST(OpenErrorTextPosix, ANumberThatMapsToNoDeviceSaysSoAndShowsTheRanges) {
    const std::string text = ExplainOpenError(Error(OpenErrorKind::NoSuchDevice, "", ""), "COM300",
                                              300, OpenErrorFacts{});
    EXPECT_NE(text.find("COM300: that number stands for no serial device"), std::string::npos)
        << text;
    EXPECT_NE(text.find("ttyUSB0-31 = COM33-64"), std::string::npos) << text;
}

TEST(OpenErrorTextPosix, APathNamedByTheUserIsNotRepeated) {
    const std::string text =
        ExplainOpenError(Error(OpenErrorKind::NoSuchDevice, "/dev/ttyACM3", "No such file"),
                         "/dev/ttyACM3", 0, OpenErrorFacts{});
    EXPECT_NE(text.find("Cannot open /dev/ttyACM3: there is no such device"), std::string::npos)
        << text;
}

// The words, whatever the line breaks.
std::string Words(const std::string& text) {
    std::istringstream in(text);
    std::string words;
    for (std::string word; in >> word;) words += word + ' ';
    return words;
}

// The window's box leaves the wrapping to the box; a command to type keeps a line of its own.
TEST(OpenErrorTextPosix, TheWindowsBoxUnwrapsTheExplanation) {
    const OpenError busy = Error(OpenErrorKind::Busy, "/dev/ttyUSB0", "Device or resource busy");
    const OpenErrorFacts held = Facts("", false, {"minicom (pid 4242)"});
    EXPECT_EQ(OpenFailureNotice(busy, 33, held).detail,
              "Cannot open COM33 (/dev/ttyUSB0): the port is in use (Device or resource busy).\n"
              "It is held by minicom (pid 4242): close that program, then run the load again.\n");
    const OpenError denied = Error(OpenErrorKind::PermissionDenied, "/dev/ttyUSB0", "");
    const std::string box = OpenFailureNotice(denied, 33, OpenErrorFacts{}).detail;
    EXPECT_EQ(Words(box), Words(ExplainOpenError(denied, "COM33", 33, OpenErrorFacts{})));
    EXPECT_NE(box.find("join it with:\n      sudo usermod -aG dialout $USER\nthen log out"),
              std::string::npos)
        << box;
}

}  // namespace
}  // namespace morvane
