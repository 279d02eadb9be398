#include "loader/wait_pumping.h"

#include <thread>

#include "loader/load_seams.h"

namespace morvane {

namespace {

thread_local IEventPump* threadPump = nullptr;

using Clock = std::chrono::steady_clock;

void SleepUntil(Clock::time_point deadline) {
    // sleep_until may wake early on some systems; the caller was promised the whole time.
    while (Clock::now() < deadline) std::this_thread::sleep_until(deadline);
}

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
        SleepUntil(deadline);
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
