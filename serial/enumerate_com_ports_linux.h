// Port discovery on Linux, with the roots it reads made explicit so tests can hand it a fake tree.
#pragma once

#include <filesystem>
#include <string>

#include "serial/enumerate_com_ports.h"

namespace morvane {

// Appends, ordered by COM number, the serial devices that <sysRoot>/sys/class/tty shows with a
// `device` link (on-board UARTs that are really there, USB adapters and modems, other serial
// drivers) under the numbers com_port_map.h gives them, and the `comN` entries of devicesDir
// (the MORVANE_DEVICES folder; empty for none) under their own numbers, in place of the default
// device of that number. The records are finished: the tidying pass leaves them as they are.
void ListLinuxSerialPorts(const std::filesystem::path& sysRoot, const std::string& devicesDir,
                          CArray<SSerInfo, SSerInfo&>& list);

}  // namespace morvane
