// What makes a port the port it is: its COM number and the name written for it, the USB adapter
// behind it, and knowing it again after its device went away and came back (a receiver with a USB
// serial port of its own drops the port while it restarts, and the system may give it back under
// another number when the old one was taken meanwhile). Every program, the watch, the follower and
// the record of loads read a port through these, so they agree on what a name and an id mean.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "serial/enumerate_com_ports.h"

namespace morvane {

// The COM number a port's name stands for: "COM12" gives 12, "com12" too (Windows takes its port
// names in either case). Nothing for anything else: no number, a leading zero ("COM05" would be
// a second spelling of one port), COM0, more than six digits, or anything after the digits.
[[nodiscard]] std::optional<int> ComNumberOfName(std::string_view name);

// The name written for a COM number: "COM12".
[[nodiscard]] CString ComPortName(int number);

// The COM number a discovered port opens by; 0 when its name stands for none.
[[nodiscard]] int ComNumberOf(const SSerInfo& port);

// A USB id as sysfs, lsusb, Device Manager and the record of loads write it: up to four hex
// digits in either case ("0403", "10C4", "ea60"), nothing else.
[[nodiscard]] std::optional<std::uint16_t> ParseHexId(std::string_view text);

// Whether two ports name the same adapter: by a stable name, or by a USB serial number with the
// same vendor and product. A port with neither could be any device, and is the same as none.
[[nodiscard]] bool SameAdapter(const SSerInfo& a, const SSerInfo& b);

// The COM number under which the port `was` shows in `now`. A port that names itself (the same
// adapter) is that port under any number. Otherwise the same number on the same device path is
// the same port, unless it names itself as another one. Nothing while no record in `now` is the
// port.
[[nodiscard]] std::optional<int> FindPortAgain(const SSerInfo& was,
                                               const CArray<SSerInfo, SSerInfo&>& now);

// A port as the user is told where something happened: its label ("COM5", or the path given)
// and, when it says something more, the device it stands for: "COM5 (/dev/ttyUSB0)". The device
// adds nothing when it is unknown or the label itself, nor when it is only Windows' spelling of
// the label ("COM7 (\\.\COM7)" would be jargon).
[[nodiscard]] std::string PortWhere(const std::string& label, const std::string& devicePath);

}  // namespace morvane
