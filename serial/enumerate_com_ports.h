// Port discovery: the serial ports of this PC, one record each, for the port list the user picks
// the receiver's port from. The number in a record's portName is what CCommDev2::Open takes.
//
// Each platform's file implements EnumerateComPorts (enumerate_com_ports_linux.cpp here); the
// tidying pass every method ends with lives in com_port_tidy.h.
#pragma once

#include <cstdint>
#include <stdexcept>

#include "platform/text.h"

namespace morvane {

// What a USB serial adapter says of itself, as far as the system tells it: how a bench tells
// its adapters apart and finds one again after its device re-enumerated. 0 and empty where the
// system does not know.
struct SUsbIdentity {
    std::uint16_t vid = 0;  // USB vendor id
    std::uint16_t pid = 0;  // USB product id
    CString serial;         // the adapter's serial number
    // Where it is plugged: "1-1.2" on Linux, "Port_#0002.Hub_#0001" on Windows.
    CString location;

    bool operator==(const SUsbIdentity&) const = default;
};

struct SSerInfo {
    CString devicePath;    // the path the port is opened by
    CString portName;      // "COM<n>"
    CString friendlyName;  // what the user sees
    bool isUsb = false;    // the port belongs to a USB device
    CString description;   // the device's own name
    SUsbIdentity usb;      // for a USB port, what its device says of itself
    // A name of the port that stays the same when the device comes back under another one
    // (Linux: its /dev/serial/by-id link); empty where there is none.
    CString stableName;
    // A Bluetooth serial link: opening it makes the system dial the paired device, which can
    // hold the open for seconds.
    bool isBluetooth = false;
};

// Raised when the enumeration cannot finish; what() is the message text.
class ComEnumError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Empties `list`, fills it with the ports found, tidies it. Throws ComEnumError on failure, and
// then leaves the list empty.
void EnumerateComPorts(CArray<SSerInfo, SSerInfo&>& list);

}  // namespace morvane
