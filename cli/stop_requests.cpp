#include "cli/stop_requests.h"

namespace morvane {

CInterruptPolicy::Action CInterruptPolicy::OnInterrupt(std::chrono::steady_clock::time_point now) {
    if (stopping_) return Action::ForceExit;
    if (warnedAt_ && now - *warnedAt_ <= kGrace) {
        stopping_ = true;
        return Action::Stop;
    }
    warnedAt_ = now;
    return Action::Warn;
}

}  // namespace morvane
