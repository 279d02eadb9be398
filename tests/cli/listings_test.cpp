#include "cli/listings.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/support/ports.h"

namespace morvane {
namespace {

// A port named as the listings' lines expect it.
testing::Port Adapter(int com) {
    const std::string name = "COM" + std::to_string(com);
    return std::move(testing::Port(com).Friendly("Adapter (" + name + ")").Description("Adapter"));
}
// The existing columns stay first (scripts and completion read them); what the system knows of
// a USB adapter follows, and only that.
TEST(Listings, OnePortALine) {
    struct Row {
        SSerInfo port;
        const char* line;
    };
    const Row rows[] = {
        {Adapter(1).Device("/dev/ttyS0"), "COM1  Adapter (COM1)  /dev/ttyS0  not USB"},
        {Adapter(33).Device("/dev/ttyUSB0").Usb(0x0403, 0x6001, "A50285BI", "1-1.2"),
         "COM33  Adapter (COM33)  /dev/ttyUSB0  USB 0403:6001 serial A50285BI at 1-1.2"},
        {Adapter(5).Device("\\\\.\\COM5").Usb(0x067b, 0x2303, "", "Port_#0002.Hub_#0001"),
         "COM5  Adapter (COM5)  \\\\.\\COM5  USB 067b:2303 at Port_#0002.Hub_#0001"},
        {Adapter(65).Device("/dev/ttyACM0").Usb(), "COM65  Adapter (COM65)  /dev/ttyACM0  USB"},
    };
    for (const Row& r : rows) EXPECT_EQ(PortListLine(r.port), r.line);
}

TEST(Listings, AllProbedLeavesOutBluetoothPorts) {
    SSerInfo bluetooth = Adapter(9).Device("\\\\.\\COM9");
    bluetooth.isBluetooth = true;
    const CArray<SSerInfo, SSerInfo&> ports = {Adapter(3).Device("\\\\.\\COM3").Usb(), bluetooth,
                                               Adapter(1).Device("\\\\.\\COM1")};
    EXPECT_EQ(PortsToProbe(ports), (std::vector<int>{3, 1}));
}

TEST(Listings, OnePortAJsonObject) {
    SSerInfo usb = Adapter(33).Device("/dev/ttyUSB0").Usb(0x0403, 0x6001, "A5\xff", "");
    usb.stableName = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A5-if00-port0";
    const auto json = nlohmann::json::parse(PortListJson(usb));
    EXPECT_EQ(json.at("port"), "COM33");
    EXPECT_EQ(json.at("name"), "Adapter (COM33)");
    EXPECT_EQ(json.at("device"), "/dev/ttyUSB0");
    EXPECT_EQ(json.at("usb").at("vid"), "0403");
    EXPECT_EQ(json.at("usb").at("serial"), "A5\xef\xbf\xbd");  // not UTF-8: replaced
    EXPECT_TRUE(json.at("usb").at("location").is_null());
    EXPECT_EQ(json.at("stable_name"), usb.stableName);

    const auto plain = nlohmann::json::parse(PortListJson(Adapter(1).Device("/dev/ttyS0")));
    EXPECT_TRUE(plain.at("usb").is_null());
    EXPECT_TRUE(plain.at("stable_name").is_null());
}

TEST(Listings, HistoryTable) {
    SLoadHistory history;
    SLoadRecord r;
    r.started = "2025-05-02T14:03:07Z";
    r.ended = "2025-05-02T14:04:58Z";
    r.port = "COM33";
    r.firmwareBefore = "1.21";
    r.firmwareAfter = "1.22";
    r.result = "verified";
    r.durationSeconds = 111.4;
    history.records.push_back(r);
    r.port = "/dev/ttyUSB1";
    r.ended = "2025-05-02T14:03:29Z";  // appended after the longer load that ended later
    r.firmwareBefore.clear();
    r.firmwareAfter.clear();
    r.result = "not-detected";
    r.durationSeconds = 21.6;
    history.records.push_back(r);
    history.damagedLines = 2;
    EXPECT_EQ(HistoryTable(history),
              "Ended (UTC)          Port          Firmware      Result        Time\n"
              "2025-05-02 14:03:29  /dev/ttyUSB1  - -> -        not-detected  0:22\n"
              "2025-05-02 14:04:58  COM33         1.21 -> 1.22  verified      1:51\n"
              "2 damaged lines skipped\n");
}

}  // namespace
}  // namespace morvane
