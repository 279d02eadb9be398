#include "cli/exit_status.h"

#include <algorithm>
#include <iterator>

namespace morvane {

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
