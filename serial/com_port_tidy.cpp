#include "serial/com_port_tidy.h"

#include <climits>

#include "serial/port_identity.h"

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
    // A "COM" that no number follows ("TELECOM Modem", "Virtual COM Port (COM8)") is a word of
    // the device's name, not its port: the search goes on after it.
    for (std::size_t com = friendlyName.find("COM"); com != std::string_view::npos;
         com = friendlyName.find("COM", com + 3)) {
        std::size_t i = com + 3;
        while (i < friendlyName.size() && IsBlank(friendlyName[i])) ++i;
        bool negative = false;
        if (i < friendlyName.size() && (friendlyName[i] == '+' || friendlyName[i] == '-')) {
            negative = friendlyName[i++] == '-';
        }
        const std::size_t firstDigit = i;
        constexpr long long kBeyond = static_cast<long long>(INT_MAX) + 1;
        long long value = 0;
        for (; i < friendlyName.size() && friendlyName[i] >= '0' && friendlyName[i] <= '9'; ++i) {
            if (value <= kBeyond) value = value * 10 + (friendlyName[i] - '0');
        }
        if (negative) value = -value;
        if (i == firstDigit || value > INT_MAX || value < INT_MIN) continue;
        return static_cast<int>(value);
    }
    return std::nullopt;
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
            port.portName = ComPortName(*number);
        }
        ++i;
    }
}

}  // namespace morvane
