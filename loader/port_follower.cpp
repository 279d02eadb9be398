#include "loader/port_follower.h"

#include "platform/debug.h"
#include "platform/text.h"
#include "serial/port_identity.h"

namespace morvane {

void CDiscoveryPortFollower::Remember(int comPort) {
    comPort_ = comPort;
    remembered_.reset();
    CArray<SSerInfo, SSerInfo&> ports;
    try {
        discover_(ports);
    } catch (const ComEnumError& e) {
        OutputDebugStringA(
            Format("morvane: COM%d: followed by its number, the ports could not be listed: %s\n",
                   comPort, e.what())
                .c_str());
        return;
    }
    const CString name = ComPortName(comPort);
    for (const SSerInfo& port : ports) {
        if (port.portName == name) remembered_ = port;
    }
    if (!remembered_) {
        OutputDebugStringA(
            Format("morvane: COM%d: followed by its number, discovery does not list it (%zu "
                   "ports listed)\n",
                   comPort, ports.size())
                .c_str());
    }
}

std::optional<int> CDiscoveryPortFollower::Find() {
    if (!remembered_) return comPort_;
    CArray<SSerInfo, SSerInfo&> ports;
    try {
        discover_(ports);
    } catch (const ComEnumError& e) {
        // Discovery cannot tell; opening the port will.
        OutputDebugStringA(
            Format("morvane: COM%d: taken as it was, the ports could not be listed: %s\n", comPort_,
                   e.what())
                .c_str());
        return comPort_;
    }
    const std::optional<int> found = FindPortAgain(*remembered_, ports);
    if (!found) {
        const SSerInfo& was = *remembered_;
        OutputDebugStringA(Format("morvane: COM%d: not found again among %zu ports (device %s, "
                                  "stable name '%s', USB serial '%s')\n",
                                  comPort_, ports.size(), was.devicePath.c_str(),
                                  was.stableName.c_str(), was.usb.serial.c_str())
                               .c_str());
    }
    return found;
}

}  // namespace morvane
