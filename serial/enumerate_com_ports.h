// Port discovery: the serial ports of this PC, one record each, for the port list the user picks
// the receiver's port from. The number in a record's portName is what CCommDev2::Open takes.
//
// Each platform's file implements EnumerateComPorts (enumerate_com_ports_linux.cpp here); the
// tidying pass every method ends with lives in com_port_tidy.h.
#pragma once

#include <stdexcept>

#include "platform/text.h"

namespace morvane {

struct SSerInfo {
    CString devicePath;    // the path the port is opened by
    CString portName;      // "COM<n>"
    CString friendlyName;  // what the user sees
    bool isUsb = false;    // the port belongs to a USB device
    CString description;   // the device's own name
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
