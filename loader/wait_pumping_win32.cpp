// The waits on Windows. WaitPumping serves the calling thread's message queue until the
// deadline: it dispatches what is queued, then blocks until the next message arrives or the time
// is up, so a window whose thread waits keeps painting and answering without a processor
// spinning. A thread that registered a pump of its own (a framework's event loop) is served by
// that pump instead. The plain sleep is the system's Sleep.
#include <windows.h>

#include <chrono>

#include "loader/load_seams.h"
#include "loader/wait_pumping.h"

namespace morvane {
namespace {

thread_local IEventPump* threadPump = nullptr;

using Clock = std::chrono::steady_clock;

DWORD MsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
}

void ServeMessages() {
    MSG message;
    while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&message);
        ::DispatchMessageA(&message);
    }
}

// Sleep counts in the system's timer ticks and may end a little early; the caller was promised
// the whole time.
void SleepUntil(Clock::time_point deadline) {
    for (DWORD left = MsUntil(deadline); left > 0; left = MsUntil(deadline)) ::Sleep(left);
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
    if (threadPump != nullptr) {
        while (Clock::now() < deadline) threadPump->PumpUntil(deadline);
        return;
    }
    for (;;) {
        ServeMessages();
        const DWORD left = MsUntil(deadline);
        if (left == 0) return;
        (void)::MsgWaitForMultipleObjectsEx(0, nullptr, left, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

IWaits& RealWaits() {
    static CRealWaits waits;
    return waits;
}

}  // namespace morvane
