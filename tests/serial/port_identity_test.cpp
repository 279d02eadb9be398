// A port's COM number, name, USB ids and place; the same adapter found again after its device went
// away: by what it says of itself under any number, or by its number and device when it says
// nothing, never as another device that took the number.
#include "serial/port_identity.h"

#include <gtest/gtest.h>

#include "tests/support/ports.h"

namespace morvane {
namespace {

using testing::Port;

TEST(PortIdentity, NamesNumbersIdsAndWhere) {
    const std::pair<const char*, std::optional<int>> names[] = {
        {"COM5", 5},   {"com12", 12}, {"COM999999", 999999}, {"COM1234567", {}}, {"COM0", {}},
        {"COM05", {}}, {"COM", {}},   {"COM5:", {}},         {"(COM5)", {}},     {"", {}},
    };
    for (const auto& [name, number] : names) EXPECT_EQ(ComNumberOfName(name), number) << name;
    EXPECT_EQ(ComPortName(12), "COM12");
    EXPECT_EQ(ComNumberOf(Port(33).Device("/dev/ttyUSB0")), 33);
    EXPECT_EQ(ComNumberOf(SSerInfo{}), 0);

    // sysfs writes the ids in lower case, Device Manager and lsusb users in either.
    const std::pair<const char*, std::optional<std::uint16_t>> ids[] = {
        {"0403", 0x0403}, {"067B", 0x067b}, {"ea60", 0xea60}, {"7", 0x7},
        {"", {}},         {"04031", {}},    {"-403", {}},     {"04g3", {}},
    };
    for (const auto& [text, id] : ids) EXPECT_EQ(ParseHexId(text), id) << text;

    const std::tuple<const char*, const char*, const char*> wheres[] = {
        {"COM33", "/dev/ttyUSB0", "COM33 (/dev/ttyUSB0)"},
        {"COM33", "", "COM33"},
        {"/dev/ttyUSB0", "/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"COM7", "\\\\.\\COM7", "COM7"},  // Windows' own spelling of the name is jargon
        {"COM7", "\\\\.\\COM8", "COM7 (\\\\.\\COM8)"},
    };
    for (const auto& [label, device, where] : wheres)
        EXPECT_EQ(PortWhere(label, device), where) << where;
}

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
