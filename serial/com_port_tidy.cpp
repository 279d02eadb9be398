#include "serial/com_port_tidy.h"

#include <climits>

namespace morvane {
namespace {

bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// "Communications Port (COM1)" describes the device as "Communications Port": the text before
// the first " (" is cut off only when that bracket closes the text and something stands before it.
CString DescriptionFromFriendlyName(const CString& friendlyName) {
    const std::size_t open = friendlyName.find(" (");
    const std::size_t close = friendlyName.find(')');
    if (open != CString::npos && open > 0 && close != CString::npos &&
        close + 1 == friendlyName.size()) {
        return friendlyName.substr(0, open);
    }
    return friendlyName;
}

}  // namespace

std::optional<int> ComNumberInFriendlyName(std::string_view friendlyName) {
    const std::size_t com = friendlyName.find("COM");
    if (com == std::string_view::npos) return std::nullopt;
    std::size_t i = com + 3;
    while (i < friendlyName.size() && IsBlank(friendlyName[i])) ++i;
    bool negative = false;
    if (i < friendlyName.size() && (friendlyName[i] == '+' || friendlyName[i] == '-')) {
        negative = friendlyName[i++] == '-';
    }
    const std::size_t firstDigit = i;
    long long value = 0;
    for (; i < friendlyName.size() && friendlyName[i] >= '0' && friendlyName[i] <= '9'; ++i) {
        value = value * 10 + (friendlyName[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) return std::nullopt;
    }
    // "COM" ending an earlier word ("TELECOM Modem") gives no number, and so no port.
    if (i == firstDigit) return std::nullopt;
    if (negative) value = -value;
    if (value > INT_MAX || value < INT_MIN) return std::nullopt;
    return static_cast<int>(value);
}

void TidyComPortList(CArray<SSerInfo, SSerInfo&>& list) {
    for (std::size_t i = 0; i < list.size();) {
        SSerInfo& port = list[i];
        if (port.friendlyName.empty()) port.friendlyName = port.portName;
        if (port.description.empty())
            port.description = DescriptionFromFriendlyName(port.friendlyName);
        if (port.portName.empty()) {
            const std::optional<int> number = ComNumberInFriendlyName(port.friendlyName);
            if (!number) {
                // The next record moves into this index and is examined next.
                list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
                continue;
            }
            port.portName = Format("COM%d", *number);
        }
        ++i;
    }
}

}  // namespace morvane
