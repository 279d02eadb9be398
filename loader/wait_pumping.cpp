#include "loader/wait_pumping.h"

#include "loader/load_seams.h"
#include "platform/pacing.h"

namespace morvane {

namespace {

thread_local IEventPump* threadPump = nullptr;

using Clock = std::chrono::steady_clock;

class CRealWaits final : public IWaits {
public:
    void WaitPumping(unsigned ms) override { morvane::WaitPumping(ms); }
    void Sleep(unsigned ms) override { SleepUntil(Clock::now() + std::chrono::milliseconds(ms)); }
};

}  // namespace

void SetThreadEventPump(IEventPump* pump) { threadPump = pump; }

IEventPump* ThreadEventPump() { return threadPump; }

void WaitPumping(unsigned ms) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    if (threadPump == nullptr) {
        WaitServingSystemQueue(deadline);
        return;
    }
    // The pump returns after it served something or at the deadline; either way the wait goes
    // on until the deadline has passed.
    while (Clock::now() < deadline) threadPump->PumpUntil(deadline);
}

IWaits& RealWaits() {
    static CRealWaits waits;
    return waits;
}

}  // namespace morvane
