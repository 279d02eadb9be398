#include "loader/wait_pumping.h"
#include "platform/pacing.h"

namespace morvane {

// A thread here has no system message queue to serve.
void WaitServingSystemQueue(std::chrono::steady_clock::time_point deadline) {
    SleepUntil(deadline);
}

}  // namespace morvane
