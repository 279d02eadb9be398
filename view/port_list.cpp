#include "view/port_list.h"

#include "platform/text.h"
#include "serial/port_identity.h"

namespace morvane {

std::vector<SPortItem> PortListItems(const CArray<SSerInfo, SSerInfo&>& ports, int startPort) {
    std::vector<SPortItem> items;
    if (startPort == -1) items.push_back({ports.empty() ? kNoPortFoundText : kSelectPortText, 0});
    bool found = false;
    for (const SSerInfo& info : ports) {
        const int number = ComNumberOf(info);
        items.push_back({info.friendlyName, number});
        found = found || number == startPort;
    }
    if (startPort != -1 && !found) items.push_back({Format("COM %i", startPort), startPort});
    return items;
}

std::optional<std::vector<SPortItem>> RescanPortItems(const PortDiscovery& discover, int startPort,
                                                      const std::vector<SPortItem>& shown) {
    CArray<SSerInfo, SSerInfo&> ports;
    try {
        discover(ports);
    } catch (const ComEnumError&) {
        return std::nullopt;
    }
    std::vector<SPortItem> items = PortListItems(ports, startPort);
    if (items == shown) return std::nullopt;
    return items;
}

int IndexOfPort(const std::vector<SPortItem>& items, int port) {
    if (port == 0) return -1;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (items[i].port == port) return static_cast<int>(i);
    }
    return -1;
}

}  // namespace morvane
