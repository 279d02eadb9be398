// The product's way of finding the receiver's port again: port discovery, asked each time.
#pragma once

#include <optional>

#include "loader/load_seams.h"
#include "serial/enumerate_com_ports.h"

namespace morvane {

class CDiscoveryPortFollower : public IPortFollower {
public:
    // `comPort`: the port the load was given, which Find names until Remember noted a port.
    explicit CDiscoveryPortFollower(int comPort) : comPort_(comPort) {}

    void Remember(int comPort) override;
    [[nodiscard]] std::optional<int> Find() override;

private:
    int comPort_;
    // The port's record as discovery listed it; nothing when it was not listed (a port offered
    // by number that the system does not list), and then only opening it tells whether it is there.
    std::optional<SSerInfo> remembered_;
};

}  // namespace morvane
