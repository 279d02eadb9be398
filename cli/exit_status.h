// The exit statuses of morvane-cli, the contract scripts rely on (listed in --help): a load's
// are its end's (session/load_outcome.h), and these two the program's own.
#pragma once

#include <vector>

#include "session/load_outcome.h"

namespace morvane {

inline constexpr int kExitUsage = 1;          // the command line was wrong
inline constexpr int kExitInterrupted = 130;  // stopped by the user (Ctrl-C twice)

// The worst of several exit statuses: a signal or Ctrl-C first, then a failed transfer (the
// receiver may hold no firmware), a failed verification, a receiver not found, a port that would
// not open, a usage error; 0 only when every one is 0.
[[nodiscard]] int WorstExitStatus(const std::vector<int>& statuses);

}  // namespace morvane
