// WaitPumping on a thread without a pump of ours serves the thread's message queue until the
// deadline: it dispatches what is queued, then blocks until the next message arrives or the time
// is up, so a window whose thread waits keeps painting and answering without a processor
// spinning.
#include <windows.h>

#include "loader/wait_pumping.h"
#include "platform/deadline_timer_win32.h"

namespace morvane {
namespace {

void ServeMessages() {
    MSG message;
    while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&message);
        ::DispatchMessageA(&message);
    }
}

}  // namespace

void WaitServingSystemQueue(std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        ServeMessages();
        const DWORD left = MsUntil(deadline);
        if (left == 0) return;
        // The timer, where there is one, ends the wait at the deadline itself; the time-out
        // alone ends it on the system's next timer tick.
        const HANDLE timer = DeadlineTimer(deadline);
        (void)::MsgWaitForMultipleObjectsEx(timer != nullptr ? 1 : 0,
                                            timer != nullptr ? &timer : nullptr, left, QS_ALLINPUT,
                                            MWMO_INPUTAVAILABLE);
    }
}

}  // namespace morvane
