// The exit statuses of morvane-cli, the contract scripts rely on (listed in --help).
#pragma once

#include <cstdint>
#include <vector>

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

// The worst of several exit statuses: a signal or Ctrl-C first, then a failed transfer (the
// receiver may hold no firmware), a failed verification, a receiver not found, a port that would
// not open, a usage error; 0 only when every one is 0.
[[nodiscard]] int WorstExitStatus(const std::vector<int>& statuses);

}  // namespace morvane
