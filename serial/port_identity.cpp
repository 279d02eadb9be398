#include "serial/port_identity.h"

#include "platform/text.h"

namespace morvane {
namespace {

// The digits of a COM number, as many as the highest number a port is given by (--com's bound).
constexpr std::size_t kMaxComDigits = 6;

bool SameUsbSerial(const SUsbIdentity& a, const SUsbIdentity& b) {
    return !a.serial.empty() && a.serial == b.serial && a.vid == b.vid && a.pid == b.pid;
}

// Another device that took the number: it names itself, and not as the port we knew.
bool NamesAnother(const SSerInfo& was, const SSerInfo& port) {
    return (!was.stableName.empty() && !port.stableName.empty() &&
            was.stableName != port.stableName) ||
           (!was.usb.serial.empty() && !port.usb.serial.empty() &&
            !SameUsbSerial(was.usb, port.usb));
}

}  // namespace

std::optional<int> ComNumberOfName(std::string_view name) {
    if (name.size() < 4 || !EqualsNoCase(name.substr(0, 3), "COM")) return std::nullopt;
    const std::string_view digits = name.substr(3);
    if (digits.size() > kMaxComDigits || digits[0] == '0') return std::nullopt;
    int value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

CString ComPortName(int number) { return Format("COM%d", number); }

int ComNumberOf(const SSerInfo& port) { return ComNumberOfName(port.portName).value_or(0); }

std::optional<std::uint16_t> ParseHexId(std::string_view text) {
    if (text.empty() || text.size() > 4) return std::nullopt;
    unsigned value = 0;
    for (const char c : text) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        value = value * 16 + digit;
    }
    return static_cast<std::uint16_t>(value);
}

bool SameAdapter(const SSerInfo& a, const SSerInfo& b) {
    return (!a.stableName.empty() && a.stableName == b.stableName) || SameUsbSerial(a.usb, b.usb);
}

std::optional<int> FindPortAgain(const SSerInfo& was, const CArray<SSerInfo, SSerInfo&>& now) {
    for (const SSerInfo& port : now) {
        if (SameAdapter(was, port)) return ComNumberOfName(port.portName);
    }
    for (const SSerInfo& port : now) {
        if (port.portName == was.portName && port.devicePath == was.devicePath &&
            !NamesAnother(was, port)) {
            return ComNumberOfName(port.portName);
        }
    }
    return std::nullopt;
}

std::string PortWhere(const std::string& label, const std::string& devicePath) {
    const bool tellsMore =
        !devicePath.empty() && devicePath != label && devicePath != "\\\\.\\" + label;
    return tellsMore ? label + " (" + devicePath + ")" : label;
}

}  // namespace morvane
