#include <sys/prctl.h>

#include <thread>

#include "platform/pacing.h"

namespace morvane {

// The kernel's default timer slack of 50 us would stretch every pause; the slack belongs to the
// thread, so the load's own is set and set back.
CPacingScope::CPacingScope() {
    const int slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    saved_ = slack > 0 ? static_cast<unsigned long>(slack) : 0;
    (void)prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
}

CPacingScope::~CPacingScope() {
    if (saved_ != 0) (void)prctl(PR_SET_TIMERSLACK, saved_, 0, 0, 0);
}

void SleepUntil(std::chrono::steady_clock::time_point deadline) {
    // sleep_until may wake early on some systems; the caller was promised the whole time.
    while (std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_until(deadline);
}

}  // namespace morvane
