#include "session/load_recorder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <tuple>

#include "record/loader_status.h"
#include "tests/support/temp_dir.h"

namespace morvane {
namespace {

using namespace std::chrono_literals;

// The record names the adapter of the port a load ran on: found by its COM name, or by the path
// a load was given (its device or its stable name).
TEST(LoadRecorder, TheAdapterOfTheLoadedPort) {
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

// A load recorded on the test's own ports and clocks: the start by the wall clock, the duration
// by the steady clock less the time a box waited for the user, the adapter as the load started
// (none when the ports could not be listed).
TEST(LoadRecorder, RecordsTheLoadOnItsPortsAndClocks) {
    const testing::TempDir dir("recorder");
    const std::string file = (dir / "loads.jsonl").string();
    CArray<SSerInfo, SSerInfo&> ports(1);
    ports[0].portName = "COM33";
    ports[0].isUsb = true;
    ports[0].usb = {0x0403, 0x6001, "A50285BI", "1-2"};
    std::chrono::steady_clock::time_point steady{};
    int scans = 0;
    SRecorderDeps deps{[&] {
                           ++scans;
                           return ports;
                       },
                       [] { return std::chrono::sys_days{2025y / 5 / 2} + 14h + 3min + 7s; },
                       [&] { return steady; }};

    CLoadRecorder off({false, file}, "morvane-cli", deps);
    off.Started("COM33", "/dev/ttyUSB0", 33);
    EXPECT_FALSE(off.Finished("loaded", STATUS_FIRMWARE_COMPLETE, "", "", SLoaderState()));
    EXPECT_EQ(scans, 0);  // a record that is off asks the system nothing

    CLoadRecorder recorder({true, file}, "morvane-cli", deps);
    recorder.Started("COM33", "/dev/ttyUSB0", 33);
    ports.clear();  // the adapter re-enumerates as the receiver restarts
    steady += 120s;
    recorder.WaitedOnUser(9s);
    SLoaderState state;
    state.SetSentBytes(136352);
    state.SetTotalBytes(136352);
    EXPECT_FALSE(recorder.Finished("verified", STATUS_FIRMWARE_COMPLETE, "1.21", "1.22", state));
    deps.ports = []() -> CArray<SSerInfo, SSerInfo&> { throw ComEnumError("no list"); };
    CLoadRecorder unlisted({true, file}, "morvane-cli", deps);
    unlisted.Started("COM33", "/dev/ttyUSB0", 33);
    EXPECT_FALSE(unlisted.Finished("verified", STATUS_FIRMWARE_COMPLETE, "1.21", "1.22", state));

    const SLoadHistory history = ReadLoadHistory(file, 10);
    ASSERT_EQ(history.records.size(), 2u);
    const SLoadRecord& r = history.records[0];
    EXPECT_EQ(r.started, IsoUtc(std::chrono::sys_days{2025y / 5 / 2} + 14h + 3min + 7s));
    EXPECT_EQ(r.ended, IsoUtc(std::chrono::sys_days{2025y / 5 / 2} + 14h + 4min + 58s));
    EXPECT_EQ(r.durationSeconds, 111.0);
    EXPECT_EQ(r.usb, (SUsbIdentity{0x0403, 0x6001, "A50285BI", "1-2"}));
    EXPECT_FALSE(history.records[1].usb);
    EXPECT_EQ(r.result, "verified");
    EXPECT_EQ(r.status, StatusText(STATUS_FIRMWARE_COMPLETE).value_or(""));
    EXPECT_EQ(std::tie(r.program, r.port, r.device, r.firmwareBefore, r.firmwareAfter),
              std::make_tuple("morvane-cli", "COM33", "/dev/ttyUSB0", "1.21", "1.22"));
    EXPECT_EQ(std::tie(r.bytesSent, r.bytesTotal, r.imageSha256, r.host),
              std::make_tuple(136352u, 136352u, CarriedImageSha256(), HostName()));
}

}  // namespace
}  // namespace morvane
