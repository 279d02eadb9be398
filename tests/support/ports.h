// A port as discovery lists it, for the tests that make up port lists: "COM<n>" or the name given,
// and whatever else the test sets, one field a call:
//   Port(33).Device("/dev/ttyUSB0").Usb(0x0403, 0x6001, "A1")
// It is an SSerInfo, and is stored as one.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "serial/enumerate_com_ports.h"

namespace morvane::testing {

struct Port : SSerInfo {
    explicit Port(int com) { portName = "COM" + std::to_string(com); }
    Port(CString name, CString friendly) {
        portName = std::move(name);
        friendlyName = std::move(friendly);
    }

    Port& Device(CString path) {
        devicePath = std::move(path);
        return *this;
    }
    Port& Friendly(CString name) {
        friendlyName = std::move(name);
        return *this;
    }
    Port& Description(CString text) {
        description = std::move(text);
        return *this;
    }
    Port& Stable(CString name) {
        stableName = std::move(name);
        return *this;
    }
    // A port of a USB device, with what the device says of itself.
    Port& Usb(std::uint16_t vid = 0, std::uint16_t pid = 0, CString serial = {},
              CString location = {}) {
        isUsb = true;
        usb = {vid, pid, std::move(serial), std::move(location)};
        return *this;
    }
};

}  // namespace morvane::testing
