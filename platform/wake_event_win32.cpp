#include <windows.h>

#include "platform/deadline_timer_win32.h"
#include "platform/pacing.h"
#include "platform/wake_event.h"

namespace morvane {

struct CWakeEvent::Impl {
    // Manual reset: once raised it stays raised for every waiter.
    HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ~Impl() {
        if (event != nullptr) ::CloseHandle(event);
    }
};

CWakeEvent::CWakeEvent() : impl_(std::make_unique<Impl>()) {}

CWakeEvent::~CWakeEvent() = default;

void CWakeEvent::Raise() { (void)::SetEvent(impl_->event); }

bool CWakeEvent::Raised() const {
    return impl_->event != nullptr && ::WaitForSingleObject(impl_->event, 0) == WAIT_OBJECT_0;
}

bool CWakeEvent::WaitUntil(std::chrono::steady_clock::time_point deadline) {
    // Without an event (the system had none to give) the wait is a plain sleep.
    if (impl_->event == nullptr) {
        SleepUntil(deadline);
        return false;
    }
    for (DWORD left = MsUntil(deadline); left > 0; left = MsUntil(deadline)) {
        // The timer, where there is one, ends the wait at the deadline itself; the time-out
        // alone ends it on the system's next timer tick.
        const HANDLE waitFor[2] = {impl_->event, DeadlineTimer(deadline)};
        const DWORD count = waitFor[1] != nullptr ? 2 : 1;
        if (::WaitForMultipleObjects(count, waitFor, FALSE, left) == WAIT_OBJECT_0) return true;
    }
    return Raised();
}

}  // namespace morvane
