#include "serial/port_identity.h"

#include "serial/com_port_tidy.h"

namespace morvane {
namespace {

bool SameUsbSerial(const SUsbIdentity& a, const SUsbIdentity& b) {
    return !a.serial.empty() && a.serial == b.serial && a.vid == b.vid && a.pid == b.pid;
}

bool NamesItself(const SSerInfo& was, const SSerInfo& port) {
    return (!was.stableName.empty() && was.stableName == port.stableName) ||
           SameUsbSerial(was.usb, port.usb);
}

// Another device that took the number: it names itself, and not as the port we knew.
bool NamesAnother(const SSerInfo& was, const SSerInfo& port) {
    return (!was.stableName.empty() && !port.stableName.empty() &&
            was.stableName != port.stableName) ||
           (!was.usb.serial.empty() && !port.usb.serial.empty() &&
            !SameUsbSerial(was.usb, port.usb));
}

}  // namespace

std::optional<int> FindPortAgain(const SSerInfo& was, const CArray<SSerInfo, SSerInfo&>& now) {
    for (const SSerInfo& port : now) {
        if (NamesItself(was, port)) return ComNumberInFriendlyName(port.portName);
    }
    for (const SSerInfo& port : now) {
        if (port.portName == was.portName && port.devicePath == was.devicePath &&
            !NamesAnother(was, port)) {
            return ComNumberInFriendlyName(port.portName);
        }
    }
    return std::nullopt;
}

}  // namespace morvane
