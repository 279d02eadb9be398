#include <thread>

#include "platform/pacing.h"

namespace morvane {

void SleepUntil(std::chrono::steady_clock::time_point deadline) {
    // sleep_until may wake early on some systems; the caller was promised the whole time.
    while (std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_until(deadline);
}

// The kernel's timers keep time to well under a millisecond for an ordinary thread.
CPacingScope::CPacingScope() = default;

CPacingScope::~CPacingScope() = default;

}  // namespace morvane
