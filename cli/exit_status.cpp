#include "cli/exit_status.h"

#include <algorithm>
#include <iterator>

#include "record/loader_status.h"

namespace morvane {

int ExitStatusForLoad(std::int32_t status) {
    switch (status) {
        case STATUS_FIRMWARE_COMPLETE: return kExitLoaded;
        case STATUS_INVALID_PORT: return kExitPortFailed;
        case STATUS_DEVICE_NOT_DETECTED: return kExitNotDetected;
        // --skip-current: the receiver already runs the carried firmware, which is what a load
        // is for.
        case STATUS_NO_UPDATE_REQUIRED: return kExitLoaded;
        // A load that ended on any other status did not send the whole image: never report it as
        // a success, whatever the status is.
        default: return kExitLoadFailed;
    }
}

int WorstExitStatus(const std::vector<int>& statuses) {
    // From the worst down; anything not listed (a signal's status) is worse still.
    static constexpr int kOrder[] = {kExitLoadFailed, kExitNotVerified, kExitNotDetected,
                                     kExitPortFailed, kExitUsage,       kExitLoaded};
    auto rank = [](int status) {
        const auto* at = std::find(std::begin(kOrder), std::end(kOrder), status);
        return at == std::end(kOrder) ? -1 : static_cast<int>(at - std::begin(kOrder));
    };
    int worst = kExitLoaded;
    for (const int s : statuses)
        if (rank(s) < rank(worst)) worst = s;
    return worst;
}

}  // namespace morvane
