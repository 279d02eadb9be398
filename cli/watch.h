// morvane-cli --watch: waits for receivers and updates each one as it is plugged, unattended.
//
// The load runner's loop runs it. The watch hears of each load that ended as it ends, and every
// second it asks port discovery what is there (discovery lists, it never opens a port) and adds a
// session for each watched port that appeared. Which ports it may touch and what has become of
// each one is CWatchedPorts' (watch_ports.h); what a port's run came to is its verdict
// (port_outcome.h). Everything it stands on is given to it, so tests run it on made-up port
// lists, scripted loads and a virtual clock.
#pragma once

#include <chrono>
#include <functional>

#include "cli/load_runner.h"
#include "cli/watch_ports.h"
#include "serial/enumerate_com_ports.h"
#include "session/load_session.h"

namespace morvane {

// What a watch stands on; everything empty stands for the product's own.
struct WatchDeps {
    // The ports there now; throws ComEnumError when they cannot be listed. Empty: the system's.
    std::function<CArray<SSerInfo, SSerInfo&>()> discover;
    SessionFactory makeSession;
    StopSource stops;
    RunnerClock clock;
    // The ports this program left to their drivers; empty: the serial devices' own count.
    std::function<int()> abandonedPorts;
};

// A watch that has left this many ports to their drivers says so, and again at each one more.
inline constexpr int kSeveralAbandonedPorts = 3;

// A plug is noticed within this time: far below the receiver's own start-up and detection, and a
// listing of the ports costs little. The systems' hot-plug notices would need a platform file
// each (and a window on Windows) to tell no more than this.
inline constexpr std::chrono::milliseconds kWatchDiscoveryPeriod{1000};

// Runs until it is asked to stop: at once while no load runs; during loads Ctrl-C warns first, as
// in a load, and a second one stops them. Each port is loaded as `load` says (its verification,
// its skip, its record); one that would not open is tried again at the next listings before the
// watch gives up on it until it is plugged again. The worst exit status of the loads it ran (0
// when every one was good, or none ran); a port where nothing answered ran no load.
int RunWatch(const WatchRules& rules, const LoadRequest& load, const RunnerOutput& output,
             const WatchDeps& deps = {});

}  // namespace morvane
