#include "session/load_record.h"

#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <vector>

#include "session/system_log.h"

namespace morvane {
namespace {

TEST(LoadRecord, TimesAreIsoUtcToTheSecond) {
    using namespace std::chrono;
    EXPECT_EQ(IsoUtc(system_clock::time_point{}), "1970-01-01T00:00:00Z");
    EXPECT_EQ(IsoUtc(sys_days{2025y / 5 / 2} + 14h + 3min + 7s + 999ms), "2025-05-02T14:03:07Z");
    EXPECT_EQ(IsoUtc(sys_days{2024y / 2 / 29} + 23h + 59min + 59s), "2024-02-29T23:59:59Z");
}

SLoadRecord VerifiedLoad() {
    SLoadRecord r;
    r.started = "2025-05-02T14:03:07Z";
    r.ended = "2025-05-02T14:04:58Z";
    r.program = "morvane-cli";
    r.version = "1.0.0.0";
    r.host = "bench-3";
    r.port = "COM33";
    r.device = "/dev/ttyUSB0";
    r.usb = SUsbIdentity{0x0403, 0x6001, "A50285BI", "1-1.2"};
    r.firmwareBefore = "1.21";
    r.firmwareAfter = "1.22";
    r.result = "verified";
    r.status = "Status: Firmware Update Complete";
    r.bytesSent = 136352;
    r.bytesTotal = 136352;
    r.imageSha256 = "ab12";
    r.durationSeconds = 111.24;
    return r;
}

// The line is the file's contract with scripts: every field, in order, null where not known.
TEST(LoadRecord, ARecordIsOneJsonLine) {
    EXPECT_EQ(
        LoadRecordLine(VerifiedLoad()),
        R"({"started":"2025-05-02T14:03:07Z","ended":"2025-05-02T14:04:58Z",)"
        R"("program":"morvane-cli","version":"1.0.0.0","host":"bench-3","port":"COM33",)"
        R"("device":"/dev/ttyUSB0","usb":{"vid":"0403","pid":"6001","serial":"A50285BI",)"
        R"("location":"1-1.2"},"firmware_before":"1.21","firmware_after":"1.22",)"
        R"("result":"verified","status":"Status: Firmware Update Complete",)"
        R"("bytes_sent":136352,"bytes_total":136352,"image_sha256":"ab12","duration_s":111.2})"
        "\n");

    SLoadRecord unknown = VerifiedLoad();
    unknown.usb = std::nullopt;
    unknown.firmwareBefore.clear();
    unknown.firmwareAfter.clear();
    unknown.host = "bad\xff";  // not UTF-8
    const std::string line = LoadRecordLine(unknown);
    ASSERT_EQ(line.find('\n'), line.size() - 1);
    const auto json = nlohmann::json::parse(line);
    EXPECT_TRUE(json.at("usb").is_null());
    EXPECT_TRUE(json.at("firmware_before").is_null());
    EXPECT_TRUE(json.at("firmware_after").is_null());

    SLoadRecord partial = VerifiedLoad();
    partial.usb = SUsbIdentity{0x067b, 0, "", ""};
    EXPECT_EQ(nlohmann::json::parse(LoadRecordLine(partial)).at("usb").dump(),
              R"({"location":null,"pid":null,"serial":null,"vid":"067b"})");
}

TEST(LoadRecord, LinesReadBackOrAreDamaged) {
    const std::string line = LoadRecordLine(VerifiedLoad());
    const std::optional<SLoadRecord> back = ParseLoadRecord(line);
    ASSERT_TRUE(back);
    EXPECT_EQ(LoadRecordLine(*back), line);

    for (const std::string& damaged :
         {std::string(), line.substr(0, line.size() / 2), std::string("[1,2]"),
          std::string(R"({"port":"COM5","result":"loaded"})"),
          std::string(R"({"started":1,"port":"COM5","result":"loaded"})"),
          std::string("\x00\x01", 2)}) {
        EXPECT_FALSE(ParseLoadRecord(damaged)) << damaged;
    }
}

// The journal's fields are what a query selects on: the names, what an unknown leaves out, the
// priority by how the load ended, a summary on one line.
TEST(SystemLog, JournalFieldsOfARecord) {
    const auto load = [](const char* result, bool usb, const char* before, const char* after) {
        SLoadRecord r = VerifiedLoad();
        r.result = result;
        if (!usb) r.usb.reset();
        r.firmwareBefore = before;
        r.firmwareAfter = after;
        return r;
    };
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
        "MORVANE_STATUS=Status: Firmware Update Complete",
        "MORVANE_BYTES_SENT=136352",
        "MORVANE_BYTES_TOTAL=136352",
        "MORVANE_IMAGE_SHA256=ab12",
        "MORVANE_DURATION_S=111.2",
    };
    struct Row {
        SLoadRecord record;
        std::string message;
        const char* priority;
        std::vector<std::string> middle;  // between the port's device and the status
    };
    const Row rows[] = {
        {load("verified", true, "1.21", "1.22"),
         "COM33 (USB A50285BI): verified, firmware 1.21 -> 1.22, 111.2 s",
         "6",
         {"MORVANE_USB_VID=0403", "MORVANE_USB_PID=6001", "MORVANE_USB_SERIAL=A50285BI",
          "MORVANE_USB_LOCATION=1-1.2", "MORVANE_FIRMWARE_BEFORE=1.21",
          "MORVANE_FIRMWARE_AFTER=1.22", "MORVANE_RESULT=verified"}},
        {load("probed", false, "1.21", ""),
         "COM33: probed, firmware 1.21 before, 111.2 s",
         "6",
         {"MORVANE_FIRMWARE_BEFORE=1.21", "MORVANE_RESULT=probed"}},
        {load("not-detected", false, "", ""),
         "COM33: not-detected, 111.2 s",
         "4",
         {"MORVANE_RESULT=not-detected"}},
        {load("not-verified", false, "1.21", ""),
         "COM33: not-verified, firmware 1.21 before, 111.2 s",
         "3",
         {"MORVANE_FIRMWARE_BEFORE=1.21", "MORVANE_RESULT=not-verified"}},
        {load("failed", false, "", "1.22\nb"),
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
