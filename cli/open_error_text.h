// What morvane-cli tells the user when the port cannot be opened: which device the port is,
// why it failed, and what to do about it.
//
// The wording is a pure function of the error and a few facts about the device, so every case
// can be checked without the system; GatherOpenErrorFacts asks the system for those facts.
#pragma once

#include <string>
#include <vector>

#include "serial/serial_device.h"

namespace morvane {

struct OpenErrorFacts {
    std::string ownerGroup;            // group that owns the device ("dialout"); empty if unknown
    bool userListedInGroup = false;    // the user is a member in the group database already
    std::vector<std::string> holders;  // programs holding the device: "minicom (pid 1234)"
};

// `portLabel` names the port as the user named it: "COM5", or the path given with --port.
// `comPort` is the number (0 for --port). Several lines, each ending in '\n'.
[[nodiscard]] std::string ExplainOpenError(const OpenError& error, const std::string& portLabel,
                                           int comPort, const OpenErrorFacts& facts);

// Looks up the facts the explanation of `error` needs (only what its kind needs: the owning
// group for permission denied, the holders for busy).
[[nodiscard]] OpenErrorFacts GatherOpenErrorFacts(const OpenError& error);

// The processes other than this one that hold `devicePath`: by a lock on it (/proc/locks) or,
// failing that, by an open descriptor (/proc/*/fd). At most a few, as "name (pid N)".
[[nodiscard]] std::vector<std::string> ProgramsHoldingDevice(const std::string& devicePath);

}  // namespace morvane
