// What the system can tell about a port that would not open, beyond the error itself: who owns
// the device, whether its group may open it and whether the user is listed in that group, and the
// programs that hold it. The explanation the user reads is worded from these facts
// (view/open_error_text.h); each platform gathers them its own way (open_error_facts_posix.cpp,
// open_error_facts_win32.cpp).
#pragma once

#include <string>
#include <vector>

#include "serial/serial_device.h"

namespace morvane {

struct OpenErrorFacts {
    std::string ownerGroup;            // group that owns the device ("dialout"); empty if unknown
    bool userListedInGroup = false;    // the user is a member in the group database already
    std::vector<std::string> holders;  // programs holding the device: "minicom (pid 1234)"
    std::string ownerUser;             // user that owns the device ("root"); empty if unknown
    bool groupMayOpen = true;          // the device's mode lets its group read and write it
};

// Looks up the facts the explanation of `error` needs (only what its kind needs: the owning
// group for permission denied, the holders for busy).
[[nodiscard]] OpenErrorFacts GatherOpenErrorFacts(const OpenError& error);

// The processes other than this one that hold `devicePath`: by a lock on it (/proc/locks) or,
// failing that, by an open descriptor (/proc/*/fd). At most a few, as "name (pid N)".
[[nodiscard]] std::vector<std::string> ProgramsHoldingDevice(const std::string& devicePath);

}  // namespace morvane
