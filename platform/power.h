// The system's power services a load leans on: keeping the PC awake and running while the image
// goes out, and the battery's charge before a load starts. A PC that sleeps, shuts down or runs
// flat in the middle of a transfer leaves the receiver without firmware. power_linux.cpp (logind
// and UPower over D-Bus) and power_win32.cpp implement SystemPowerService(); tests stand a fake in.
#pragma once

#include <functional>
#include <string>
#include <utility>

namespace morvane {

// What the system says of the battery the PC runs on.
struct SBatteryReading {
    bool known = false;      // false: no battery, or the system would not tell
    bool onBattery = false;  // running from the battery, not from the mains
    int percent = 0;         // the charge left, 0 to 100, when known

    bool operator==(const SBatteryReading&) const = default;
};

// Below this charge a PC on battery may shut itself down before a load of a few minutes ends.
inline constexpr int kLowestBatteryPercentForLoad = 10;

// True when a load must not start on this reading unless the user insists: on battery and below
// the lowest charge. On the mains, or without a battery, nothing stands in the way.
[[nodiscard]] constexpr bool BatteryTooLowToLoad(const SBatteryReading& battery) {
    return battery.known && battery.onBattery && battery.percent < kLowestBatteryPercentForLoad;
}

// Keeps the PC awake and running until destroyed (or moved from). An empty lock holds nothing:
// where the system refused, the load goes on without it.
class CAwakeLock {
public:
    CAwakeLock() = default;
    explicit CAwakeLock(std::function<void()> release) : release_(std::move(release)) {}
    ~CAwakeLock() { Release(); }
    CAwakeLock(CAwakeLock&& other) noexcept : release_(std::exchange(other.release_, nullptr)) {}
    CAwakeLock& operator=(CAwakeLock&& other) noexcept {
        if (this != &other) {
            Release();
            release_ = std::exchange(other.release_, nullptr);
        }
        return *this;
    }
    CAwakeLock(const CAwakeLock&) = delete;
    CAwakeLock& operator=(const CAwakeLock&) = delete;

    [[nodiscard]] bool Held() const { return static_cast<bool>(release_); }
    // Lets go now; harmless when already released.
    void Release() {
        if (release_) std::exchange(release_, nullptr)();
    }

private:
    std::function<void()> release_;
};

class IPowerService {
public:
    virtual ~IPowerService() = default;

    // Holds off sleep and shutdown for as long as the lock lives. `why` is what the system shows
    // the user who tries to shut down. Windows ties the request to the calling thread: take and
    // release the lock on the same thread, the one that runs the load.
    [[nodiscard]] virtual CAwakeLock HoldAwake(const std::string& why) = 0;
    // Asks the system now; a system without a battery, or that will not tell, reads as unknown.
    [[nodiscard]] virtual SBatteryReading ReadBattery() = 0;
};

// The system's own, for the life of the program; safe to call from any thread.
[[nodiscard]] IPowerService& SystemPowerService();

}  // namespace morvane
