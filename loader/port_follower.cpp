#include "loader/port_follower.h"

#include "platform/text.h"
#include "serial/port_identity.h"

namespace morvane {

void CDiscoveryPortFollower::Remember(int comPort) {
    comPort_ = comPort;
    remembered_.reset();
    CArray<SSerInfo, SSerInfo&> ports;
    try {
        discover_(ports);
    } catch (const ComEnumError&) {
        return;
    }
    const CString name = ComPortName(comPort);
    for (const SSerInfo& port : ports) {
        if (port.portName == name) remembered_ = port;
    }
}

std::optional<int> CDiscoveryPortFollower::Find() {
    if (!remembered_) return comPort_;
    CArray<SSerInfo, SSerInfo&> ports;
    try {
        discover_(ports);
    } catch (const ComEnumError&) {
        // Discovery cannot tell; opening the port will.
        return comPort_;
    }
    return FindPortAgain(*remembered_, ports);
}

}  // namespace morvane
