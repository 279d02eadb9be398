#include "cli/exit_status.h"

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

}  // namespace morvane
