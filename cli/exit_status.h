// The exit statuses of morvane-cli, the contract scripts rely on (listed in --help).
#pragma once

#include <cstdint>

namespace morvane {

inline constexpr int kExitLoaded = 0;       // the image was sent completely
inline constexpr int kExitUsage = 1;        // the command line was wrong
inline constexpr int kExitPortFailed = 2;   // the port could not be opened (or listed)
inline constexpr int kExitNotDetected = 3;  // the receiver did not answer
inline constexpr int kExitLoadFailed = 4;   // the transfer failed, or the load ended otherwise
inline constexpr int kExitNotVerified =
    5;  // --verify: the restarted receiver did not name the new firmware
inline constexpr int kExitInterrupted = 130;  // stopped by the user (Ctrl-C twice)

// The exit status of a load that ran to its end, from the last status the load wrote.
[[nodiscard]] int ExitStatusForLoad(std::int32_t status);

}  // namespace morvane
