#include "session/load_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "record/loader_status.h"
#include "session/system_log.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;

TEST(LoadLog, ResultWordOfEveryEnd) {
    struct Row {
        SRunEnd end;
        const char* word;
    };
    const Row rows[] = {
        {{.status = STATUS_FIRMWARE_COMPLETE}, "loaded"},
        {{.status = STATUS_FIRMWARE_COMPLETE, .verifyRan = true, .verified = true}, "verified"},
        {{.status = STATUS_FIRMWARE_COMPLETE, .verifyRan = true}, "not-verified"},
        {{.status = STATUS_DEVICE_NOT_DETECTED}, "not-detected"},
        {{.status = STATUS_INVALID_PORT}, "open-failed"},
        {{.status = STATUS_BLOCK_FAILED}, "failed"},
        {{.status = STATUS_UPDATING_FIRMWARE}, "failed"},    // ended before the image was out
        {{.status = STATUS_NO_UPDATE_REQUIRED}, "skipped"},  // already current, left alone
        {{.failed = true, .status = STATUS_UPDATING_FIRMWARE}, "failed"},
        {{.cancelled = true, .status = STATUS_UPDATING_FIRMWARE}, "stopped"},
        {{.cancelled = true, .status = STATUS_FIRMWARE_COMPLETE, .verifyRan = true}, "stopped"},
        {{.probeOnly = true, .status = STATUS_CONNECTED, .answered = true}, "probed"},
        {{.probeOnly = true, .status = STATUS_DEVICE_NOT_DETECTED}, "not-detected"},
        {{.probeOnly = true, .status = STATUS_INVALID_PORT}, "open-failed"},
    };
    for (const Row& r : rows) EXPECT_STREQ(LoadResultWord(r.end), r.word) << r.word;
}

TEST(LoadLog, TimesAreIsoUtcToTheSecond) {
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
TEST(LoadLog, ARecordIsOneJsonLine) {
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

TEST(LoadLog, LinesReadBackOrAreDamaged) {
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

// The record names the adapter of the port a load ran on: found by its COM name, or by the path
// a load was given (its device or its stable name).
TEST(LoadLog, TheAdapterOfTheLoadedPort) {
    CArray<SSerInfo, SSerInfo&> ports(2);
    ports[0].portName = "COM1";
    ports[0].devicePath = "/dev/ttyS0";
    ports[1].portName = "COM33";
    ports[1].devicePath = "/dev/ttyUSB0";
    ports[1].stableName = "/dev/serial/by-id/usb-FTDI-if00-port0";
    ports[1].isUsb = true;
    ports[1].usb = {0x0403, 0x6001, "A50285BI", "1-2"};
    EXPECT_EQ(UsbIdentityInPortList(ports, 33, ""), ports[1].usb);
    EXPECT_EQ(UsbIdentityInPortList(ports, 0, "/dev/ttyUSB0"), ports[1].usb);
    EXPECT_EQ(UsbIdentityInPortList(ports, 0, "/dev/serial/by-id/usb-FTDI-if00-port0"),
              ports[1].usb);
    EXPECT_FALSE(UsbIdentityInPortList(ports, 1, ""));               // not on USB
    EXPECT_FALSE(UsbIdentityInPortList(ports, 34, "/dev/ttyUSB0"));  // the number decides
    EXPECT_FALSE(UsbIdentityInPortList(ports, 0, ""));
}

class LoadLogFile : public ::testing::Test {
protected:
    void SetUp() override {
        // Unique to this run: the clock's count, as the tests also run where there is no getpid.
        dir_ = fs::temp_directory_path() /
               ("morvane-log-" +
                std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

// The folders are made; the last records are read back, oldest first, past a damaged line; a
// target that is off writes nothing.
TEST_F(LoadLogFile, AppendsAndReadsTheLastRecords) {
    const std::string path = (dir_ / "bench" / "shared" / "loads.jsonl").string();
    EXPECT_FALSE(ReadLoadHistory(path, 20).found);
    SLoadRecord record = VerifiedLoad();
    for (const char* port : {"COM5", "COM6", "COM7"}) {
        record.port = port;
        EXPECT_EQ(AppendLoadRecord({true, path}, record), "");
        if (record.port == "COM6") std::ofstream(path, std::ios::app) << "{\"started\":\"2025-05\n";
    }
    EXPECT_EQ(AppendLoadRecord({false, path}, record), "");

    const SLoadHistory history = ReadLoadHistory(path, 2);
    EXPECT_TRUE(history.found);
    EXPECT_EQ(history.damagedLines, 1u);
    ASSERT_EQ(history.records.size(), 2u);
    EXPECT_EQ(history.records[0].port, "COM6");
    EXPECT_EQ(history.records[1].port, "COM7");
    EXPECT_EQ(ReadLoadHistory(path, 20).records.size(), 3u);
}

// Programs writing to one file side by side: every line still a whole record.
TEST_F(LoadLogFile, AppendsFromSeveralWritersNeverInterleave) {
    const std::string path = (dir_ / "loads.jsonl").string();
    SLoadRecord record = VerifiedLoad();
    record.status.assign(3000, 's');  // a long line, written in one piece all the same
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w) {
        writers.emplace_back([&] {
            for (int i = 0; i < 50; ++i) EXPECT_EQ(AppendLoadRecord({true, path}, record), "");
        });
    }
    for (std::thread& t : writers) t.join();
    const SLoadHistory history = ReadLoadHistory(path, 1000);
    EXPECT_EQ(history.damagedLines, 0u);
    EXPECT_EQ(history.records.size(), 200u);
}

TEST_F(LoadLogFile, AFileThatCannotBeWrittenSaysWhy) {
    fs::create_directories(dir_);
    std::ofstream(dir_ / "a-file") << "";
    const std::string error =
        AppendLoadRecord({true, (dir_ / "a-file" / "loads.jsonl").string()}, VerifiedLoad());
    EXPECT_NE(error.find((dir_ / "a-file").string()), std::string::npos) << error;
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
