// The product's way of finding the receiver's port again: port discovery, asked each time.
#pragma once

#include <functional>
#include <optional>
#include <utility>

#include "loader/load_seams.h"
#include "serial/enumerate_com_ports.h"

namespace morvane {

class CDiscoveryPortFollower : public IPortFollower {
public:
    // Lists the system's ports; throws ComEnumError when it cannot.
    using Discovery = std::function<void(CArray<SSerInfo, SSerInfo&>&)>;

    // `comPort`: the port the load was given, which Find names until Remember noted a port.
    // `discover`: the system's port discovery unless a test hands in its own.
    explicit CDiscoveryPortFollower(int comPort, Discovery discover = EnumerateComPorts)
        : comPort_(comPort), discover_(std::move(discover)) {}

    void Remember(int comPort) override;
    [[nodiscard]] std::optional<int> Find() override;

private:
    int comPort_;
    Discovery discover_;
    // The port's record as discovery listed it; nothing when it was not listed (a port offered
    // by number that the system does not list), and then only opening it tells whether it is there.
    std::optional<SSerInfo> remembered_;
};

}  // namespace morvane
