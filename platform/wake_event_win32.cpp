#include <windows.h>

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
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return Raised();
        const DWORD ms = static_cast<DWORD>(left.count());
        // Without an event (the system had none to give) the wait is a plain sleep.
        if (impl_->event == nullptr) {
            ::Sleep(ms);
            continue;
        }
        if (::WaitForSingleObject(impl_->event, ms) == WAIT_OBJECT_0) return true;
    }
}

}  // namespace morvane
