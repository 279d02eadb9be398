// The items of the window's port list, worked out from what port discovery found: the same list
// in every toolkit, and the same rule for keeping the user's choice when the list is refilled.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "serial/enumerate_com_ports.h"

namespace morvane {

// The placeholder item that is not a port, and what it says when discovery found no port at all.
inline constexpr const char* kSelectPortText = "Select Comport";
inline constexpr const char* kNoPortFoundText = "No Comport Found";

// How often a window brings its port list up to date while no load runs.
inline constexpr int kPortScanMs = 1000;

struct SPortItem {
    std::string text;
    int port = 0;  // the COM number Load opens; 0 for the placeholder

    bool operator==(const SPortItem&) const = default;
};

// The list for the ports found, in their order. Without a port on the command line
// (`startPort` -1) the placeholder comes first. With one, a port that discovery did not find is
// added at the end as "COM <n>", so the port the user named can always be picked.
[[nodiscard]] std::vector<SPortItem> PortListItems(const CArray<SSerInfo, SSerInfo&>& ports,
                                                   int startPort);

// Lists the PC's ports (throws ComEnumError when discovery fails).
using PortDiscovery = std::function<void(CArray<SSerInfo, SSerInfo&>&)>;

// Discovery again for a list that shows `shown`: the new items, or nothing when the list would
// not change or discovery failed (that was said when the list was first filled; it stays as it
// is).
[[nodiscard]] std::optional<std::vector<SPortItem>> RescanPortItems(
    const PortDiscovery& discover, int startPort, const std::vector<SPortItem>& shown);

// The index of the item of `port` (a real port, not 0), or -1 when the list has none.
[[nodiscard]] int IndexOfPort(const std::vector<SPortItem>& items, int port);

}  // namespace morvane
