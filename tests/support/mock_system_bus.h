// A system bus of the test's own: a private dbus-daemon with logind and UPower stood in by
// python3-dbusmock's templates, so that the power services are tested without the machine's bus
// (a container or CI has none). DBUS_SYSTEM_BUS_ADDRESS points this process, and the programs it
// starts with Env(), at it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/sim_process.h"

namespace morvane::testing {

struct SInhibitor {
    std::string what, who, why, mode;
};

class CMockSystemBus {
public:
    // Starts the bus alone; Ready() says whether it came up.
    CMockSystemBus();
    ~CMockSystemBus();
    CMockSystemBus(const CMockSystemBus&) = delete;
    CMockSystemBus& operator=(const CMockSystemBus&) = delete;

    [[nodiscard]] bool Ready() const { return !address_.empty(); }
    [[nodiscard]] std::vector<std::string> Env() const {
        return {"DBUS_SYSTEM_BUS_ADDRESS=" + address_};
    }

    // Each starts its stand-in and waits until it answers on the bus.
    bool StartLogind();
    bool StartUPower();

    // logind's inhibitors as it lists them.
    [[nodiscard]] std::vector<SInhibitor> Inhibitors() const;
    // True once an inhibitor by `who` for `what` is (or, with held false, is no longer) listed.
    [[nodiscard]] bool WaitForInhibitor(const std::string& who, const std::string& what,
                                        bool held) const;
    // UPower's display device: UPower's numbers for its type and state.
    bool SetDisplayDevice(bool present, unsigned type, unsigned state, double percentage);

private:
    bool StartTemplate(const char* name, const char* busName, std::unique_ptr<ChildProcess>& mock);

    std::unique_ptr<ChildProcess> daemon_;
    std::unique_ptr<ChildProcess> logind_;
    std::unique_ptr<ChildProcess> upower_;
    std::string address_;
    std::string previousAddress_;
    bool hadPreviousAddress_ = false;
};

}  // namespace morvane::testing
