#include <condition_variable>
#include <mutex>

#include "platform/wake_event.h"

namespace morvane {

struct CWakeEvent::Impl {
    mutable std::mutex lock;
    std::condition_variable wake;
    bool raised = false;  // guarded by lock
};

CWakeEvent::CWakeEvent() : impl_(std::make_unique<Impl>()) {}

CWakeEvent::~CWakeEvent() = default;

void CWakeEvent::Raise() {
    {
        const std::lock_guard<std::mutex> guard(impl_->lock);
        impl_->raised = true;
    }
    impl_->wake.notify_all();
}

bool CWakeEvent::Raised() const {
    const std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->raised;
}

bool CWakeEvent::WaitUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> guard(impl_->lock);
    return impl_->wake.wait_until(guard, deadline, [this] { return impl_->raised; });
}

}  // namespace morvane
