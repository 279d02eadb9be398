#include "session/system_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace morvane {
namespace {

SLoadRecord Load(const char* result, bool usb, const char* before, const char* after) {
    SLoadRecord r;
    r.started = "2025-05-02T14:03:07Z";
    r.ended = "2025-05-02T14:04:58Z";
    r.program = "morvane-cli";
    r.version = "1.0.0.0";
    r.host = "bench-3";
    r.port = "COM33";
    r.device = "/dev/ttyUSB0";
    if (usb) r.usb = SUsbIdentity{0x0403, 0x6001, "A50285BI", ""};
    r.firmwareBefore = before;
    r.firmwareAfter = after;
    r.result = result;
    r.status = "Status: 100% sent";
    r.bytesSent = 136352;
    r.bytesTotal = 136352;
    r.imageSha256 = "ab12";
    r.durationSeconds = 111.24;
    return r;
}

// The journal's fields are what a query selects on: the names, what an unknown leaves out, the
// priority by how the load ended.
TEST(SystemLog, JournalFieldsOfARecord) {
    const std::vector<std::string> common = {
        "MORVANE_STARTED=2025-05-02T14:03:07Z",
        "MORVANE_ENDED=2025-05-02T14:04:58Z",
        "MORVANE_PROGRAM=morvane-cli",
        "MORVANE_VERSION=1.0.0.0",
        "MORVANE_HOST=bench-3",
        "MORVANE_PORT=COM33",
        "MORVANE_DEVICE=/dev/ttyUSB0",
    };
    const std::vector<std::string> tail = {
        "MORVANE_STATUS=Status: 100% sent", "MORVANE_BYTES_SENT=136352",
        "MORVANE_BYTES_TOTAL=136352",       "MORVANE_IMAGE_SHA256=ab12",
        "MORVANE_DURATION_S=111.2",
    };
    struct Row {
        SLoadRecord record;
        std::string message;
        const char* priority;
        std::vector<std::string> middle;  // between the port's device and the status
    };
    const Row rows[] = {
        {Load("verified", true, "1.21", "1.22"),
         "COM33 (USB A50285BI): verified, firmware 1.21 -> 1.22, 111.2 s",
         "6",
         {"MORVANE_USB_VID=0403", "MORVANE_USB_PID=6001", "MORVANE_USB_SERIAL=A50285BI",
          "MORVANE_FIRMWARE_BEFORE=1.21", "MORVANE_FIRMWARE_AFTER=1.22",
          "MORVANE_RESULT=verified"}},
        {Load("not-detected", false, "", ""),
         "COM33: not-detected, 111.2 s",
         "4",
         {"MORVANE_RESULT=not-detected"}},
        {Load("not-verified", false, "1.21", ""),
         "COM33: not-verified, firmware 1.21 before, 111.2 s",
         "3",
         {"MORVANE_FIRMWARE_BEFORE=1.21", "MORVANE_RESULT=not-verified"}},
        {Load("failed", false, "", "1.22\nb"),
         "COM33: failed, firmware 1.22 b after, 111.2 s",
         "3",
         {"MORVANE_FIRMWARE_AFTER=1.22\nb", "MORVANE_RESULT=failed"}},
    };
    for (const Row& r : rows) {
        std::vector<std::string> expected = {
            "MESSAGE=" + r.message,
            std::string("MESSAGE_ID=") + kLoadRecordMessageId,
            std::string("PRIORITY=") + r.priority,
            "SYSLOG_IDENTIFIER=morvane",
        };
        expected.insert(expected.end(), common.begin(), common.end());
        expected.insert(expected.end(), r.middle.begin(), r.middle.end());
        expected.insert(expected.end(), tail.begin(), tail.end());
        EXPECT_EQ(JournalFields(r.record), expected) << r.message;
    }
}

}  // namespace
}  // namespace morvane
