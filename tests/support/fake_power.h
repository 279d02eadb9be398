// The system's power services stood in for a test: the battery reads as the test sets it, and
// the awake lock is counted instead of asking the system.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "platform/power.h"

namespace morvane::testing {

class CFakePower : public IPowerService {
public:
    CAwakeLock HoldAwake(const std::string& why) override {
        {
            const std::lock_guard<std::mutex> guard(lock_);
            why_ = why;
        }
        taken.fetch_add(1);
        held.fetch_add(1);
        return CAwakeLock([this] { held.fetch_sub(1); });
    }
    SBatteryReading ReadBattery() override {
        const std::lock_guard<std::mutex> guard(lock_);
        return battery_;
    }

    void SetBattery(const SBatteryReading& battery) {
        const std::lock_guard<std::mutex> guard(lock_);
        battery_ = battery;
    }
    [[nodiscard]] std::string Why() const {
        const std::lock_guard<std::mutex> guard(lock_);
        return why_;
    }

    std::atomic<int> taken{0};  // locks handed out
    std::atomic<int> held{0};   // of them, not yet released

private:
    mutable std::mutex lock_;
    SBatteryReading battery_;  // guarded by lock_
    std::string why_;          // guarded by lock_
};

}  // namespace morvane::testing
