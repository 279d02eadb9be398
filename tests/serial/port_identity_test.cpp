// A port found again after its device went away: by what it says of itself under any number, or
// by its number and device when it says nothing, never as another device that took the number.
#include "serial/port_identity.h"

#include <gtest/gtest.h>

namespace morvane {
namespace {

SSerInfo Port(int number, CString devicePath, CString stableName = {}, CString serial = {}) {
    SSerInfo p;
    p.portName = "COM" + std::to_string(number);
    p.devicePath = std::move(devicePath);
    p.stableName = std::move(stableName);
    p.usb.serial = std::move(serial);
    if (!p.usb.serial.empty()) {
        p.isUsb = true;
        p.usb.vid = 0x1546;
        p.usb.pid = 0x01a8;
    }
    return p;
}

TEST(FindPortAgain, ByWhatThePortSaysOfItselfElseByItsNumberAndDevice) {
    const CString byId = "/dev/serial/by-id/usb-Tundro_W6_0042-if00";
    const SSerInfo receiver = Port(65, "/dev/ttyACM0", byId, "0042");
    const SSerInfo bare = Port(5, "/tmp/devices/com5");
    SSerInfo otherVendor = Port(66, "/dev/ttyACM1", {}, "0042");
    otherVendor.usb.vid = 0x0403;
    struct Row {
        const char* name;
        SSerInfo was;
        CArray<SSerInfo, SSerInfo&> now;
        std::optional<int> found;
    };
    const Row rows[] = {
        {"gone", receiver, {Port(1, "/dev/ttyS0")}, std::nullopt},
        {"back as it was", receiver, {Port(1, "/dev/ttyS0"), receiver}, 65},
        {"back under another number", receiver, {Port(66, "/dev/ttyACM1", byId, "0042")}, 66},
        {"back without its stable name yet", receiver, {Port(66, "/dev/ttyACM1", {}, "0042")}, 66},
        {"its number, not yet named", receiver, {Port(65, "/dev/ttyACM0")}, 65},
        {"its number taken by another adapter",
         receiver,
         {Port(65, "/dev/ttyACM0", "/dev/serial/by-id/usb-Other-if00", "7")},
         std::nullopt},
        {"the same serial number from another vendor", receiver, {otherVendor}, std::nullopt},
        {"a link made again", bare, {Port(5, "/tmp/devices/com5")}, 5},
        {"its number on another device", bare, {Port(5, "/dev/ttyS4")}, std::nullopt},
    };
    for (const Row& row : rows) EXPECT_EQ(FindPortAgain(row.was, row.now), row.found) << row.name;
}

}  // namespace
}  // namespace morvane
