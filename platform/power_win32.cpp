// Windows: the thread's execution state holds off idle sleep while a load runs, and the system's
// power status tells the battery. Shutdown and log-off are held off by the window that gets
// WM_QUERYENDSESSION (session_end_win32.h): the window's own, or morvane-cli.exe's guard, which
// the awake lock holds.
#include <windows.h>

#include "platform/debug.h"
#include "platform/power.h"
#include "platform/session_end_win32.h"

namespace morvane {
namespace {

// GetSystemPowerStatus's words for "no battery" and "cannot tell".
constexpr BYTE kNoSystemBattery = 128;
constexpr BYTE kUnknown = 255;

class CWin32PowerService : public IPowerService {
public:
    CAwakeLock HoldAwake(const std::string& /*why*/) override {
        CSessionEndGuard::LoadStarted();
        const bool awake = ::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) != 0;
        if (!awake) {
            OutputDebugStringA(
                "morvane: Windows did not take the request to stay awake; the load goes on\n");
        }
        // Clears this thread's request; the thread that took the lock lets it go.
        return CAwakeLock([awake] {
            if (awake) (void)::SetThreadExecutionState(ES_CONTINUOUS);
            CSessionEndGuard::LoadEnded();
        });
    }

    SBatteryReading ReadBattery() override {
        SBatteryReading battery;
        SYSTEM_POWER_STATUS status{};
        if (::GetSystemPowerStatus(&status) == FALSE) return battery;
        if ((status.BatteryFlag & kNoSystemBattery) != 0 || status.BatteryFlag == kUnknown ||
            status.BatteryLifePercent == kUnknown)
            return battery;
        battery.known = true;
        battery.onBattery = status.ACLineStatus == 0;
        battery.percent = status.BatteryLifePercent > 100 ? 100 : status.BatteryLifePercent;
        return battery;
    }
};

}  // namespace

IPowerService& SystemPowerService() {
    static CWin32PowerService service;
    return service;
}

}  // namespace morvane
