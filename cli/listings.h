// What morvane-cli prints instead of loading: the port list (--list, --list --json) and the
// record of past loads (--history).
#pragma once

#include <string>
#include <vector>

#include "serial/enumerate_com_ports.h"
#include "session/load_record_file.h"

namespace morvane {

// One port for people, on one line: its number, name, device, and whether it is on USB, with
// the adapter's VID:PID, serial number and location where the system knows them:
//   COM33  FT232R USB UART (COM33)  /dev/ttyUSB0  USB 0403:6001 serial A50285BI at 1-1.2
[[nodiscard]] std::string PortListLine(const SSerInfo& port);

// One port for scripts, as one JSON object on one line:
//   {"port":"COM33","name":"FT232R USB UART (COM33)","description":"FT232R USB UART",
//    "device":"/dev/ttyUSB0","usb":{"vid":"0403","pid":"6001","serial":"A50285BI",
//    "location":"1-1.2"},"stable_name":"/dev/serial/by-id/usb-FTDI_..."}
// `usb` is null for a port that is not on USB, `stable_name` where the port has none.
[[nodiscard]] std::string PortListJson(const SSerInfo& port);

// The COM numbers --all-probed probes, in the list's order: its USB and built-in ports. Bluetooth
// ports are left out: opening one dials the paired device, which holds the probe for seconds.
[[nodiscard]] std::vector<int> PortsToProbe(const CArray<SSerInfo, SSerInfo&>& ports);

// The records as a table, oldest first: when (UTC), port, firmware before -> after, result and
// how long it took; then how many damaged lines were skipped, if any.
[[nodiscard]] std::string HistoryTable(const SLoadHistory& history);

}  // namespace morvane
