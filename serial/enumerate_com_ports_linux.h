// Port discovery on Linux, with the roots it reads made explicit so tests can hand it a fake tree.
#pragma once

#include <filesystem>
#include <string>

#include "serial/enumerate_com_ports.h"

namespace morvane {

// Where discovery reads what the system knows of its ports.
struct SLinuxPortRoots {
    std::filesystem::path sysRoot = "/";  // holds sys/ and proc/tty/drivers
    std::string devicesDir;               // the MORVANE_DEVICES folder; empty for none
    std::filesystem::path byIdDir = "/dev/serial/by-id";
};

// Appends, ordered by COM number, the serial devices that <sysRoot>/sys/class/tty shows with a
// `device` link (on-board UARTs that are really there, USB adapters and modems, other serial
// drivers) under the numbers com_port_map.h gives them, and the `comN` entries of devicesDir
// that lead to a tty under their own numbers, in place of the default device of that number.
// A USB port carries its adapter's identity, a port with a link in byIdDir that link's path as
// its stable name. The records are finished: the tidying pass leaves them as they are.
void ListLinuxSerialPorts(const SLinuxPortRoots& roots, CArray<SSerInfo, SSerInfo&>& list);

}  // namespace morvane
