// A port found again after its device went away: by what it says of itself under any number, or
// by its number and device when it says nothing, never as another device that took the number.
#include "serial/port_identity.h"

#include <gtest/gtest.h>

#include "tests/support/ports.h"

namespace morvane {
namespace {

using testing::Port;

TEST(FindPortAgain, ByWhatThePortSaysOfItselfElseByItsNumberAndDevice) {
    const CString byId = "/dev/serial/by-id/usb-Tundro_W6_0042-if00";
    const SSerInfo receiver =
        Port(65).Device("/dev/ttyACM0").Stable(byId).Usb(0x1546, 0x01a8, "0042");
    const SSerInfo bare = Port(5).Device("/tmp/devices/com5");
    SSerInfo otherVendor = Port(66).Device("/dev/ttyACM1").Usb(0x1546, 0x01a8, "0042");
    otherVendor.usb.vid = 0x0403;
    struct Row {
        const char* name;
        SSerInfo was;
        CArray<SSerInfo, SSerInfo&> now;
        std::optional<int> found;
    };
    const Row rows[] = {
        {"gone", receiver, {Port(1).Device("/dev/ttyS0")}, std::nullopt},
        {"back as it was", receiver, {Port(1).Device("/dev/ttyS0"), receiver}, 65},
        {"back under another number",
         receiver,
         {Port(66).Device("/dev/ttyACM1").Stable(byId).Usb(0x1546, 0x01a8, "0042")},
         66},
        {"back without its stable name yet",
         receiver,
         {Port(66).Device("/dev/ttyACM1").Usb(0x1546, 0x01a8, "0042")},
         66},
        {"its number, not yet named", receiver, {Port(65).Device("/dev/ttyACM0")}, 65},
        {"its number taken by another adapter",
         receiver,
         {Port(65)
              .Device("/dev/ttyACM0")
              .Stable("/dev/serial/by-id/usb-Other-if00")
              .Usb(0x1546, 0x01a8, "7")},
         std::nullopt},
        {"the same serial number from another vendor", receiver, {otherVendor}, std::nullopt},
        {"a link made again", bare, {Port(5).Device("/tmp/devices/com5")}, 5},
        {"its number on another device", bare, {Port(5).Device("/dev/ttyS4")}, std::nullopt},
    };
    for (const Row& row : rows) EXPECT_EQ(FindPortAgain(row.was, row.now), row.found) << row.name;
}

}  // namespace
}  // namespace morvane
