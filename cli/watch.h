// morvane-cli --watch: waits for receivers and updates each one as it is plugged, unattended.
//
// One loop on the main thread: every second it asks port discovery what is there (discovery
// lists, it never opens a port), starts a load on each watched port that appeared, polls the
// running loads every 100 ms for their lines and events, and takes Ctrl-C. Which ports it may
// touch and what has become of each one is CWatchedPorts' (watch_ports.h); everything the loop
// stands on is given to it, so tests run it on made-up port lists, scripted loads and a virtual
// clock.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "cli/multi_load.h"
#include "cli/stop_requests.h"
#include "cli/watch_ports.h"
#include "serial/enumerate_com_ports.h"
#include "session/load_session.h"

namespace morvane {

struct WatchOptions {
    WatchRules rules;
    bool verify = true;             // --no-verify turns it off
    bool skipCurrent = true;        // --force turns it off
    SLoadLogTarget log{false, {}};  // where each load's record goes
};

struct WatchDeps {
    using Clock = std::chrono::steady_clock;
    // The ports there now; throws ComEnumError when they cannot be listed.
    std::function<CArray<SSerInfo, SSerInfo&>()> discover;
    // The session of one port's load, not yet started.
    std::function<std::unique_ptr<CLoadSession>(const LoadRequest&)> makeSession;
    // Waits up to the time given for a stop request (Ctrl-C, SIGTERM, a closed terminal).
    std::function<StopRequest(std::chrono::milliseconds)> nextStop;
    std::function<Clock::time_point()> now;
};

// The product's own: EnumerateComPorts, CLoadSession (with the wire trace when asked), the stop
// requests of `stopRequests` (null: none ever come) and the steady clock.
[[nodiscard]] WatchDeps RealWatchDeps(CStopRequests* stopRequests, const GroupOutput& output);

// A plug is noticed within this time: far below the receiver's own start-up and detection, and a
// listing of the ports costs little. The systems' hot-plug notices would need a platform file
// each (and a window on Windows) to tell no more than this.
inline constexpr std::chrono::milliseconds kWatchDiscoveryPeriod{1000};

// Runs until it is asked to stop: at once while no load runs; during loads Ctrl-C warns first, as
// in a load, and a second one stops them. The worst exit status of the loads it ran (0 when
// every one was good, or none ran); a port where nothing answered ran no load.
int RunWatch(const WatchOptions& options, const GroupOutput& output, WatchDeps deps);

}  // namespace morvane
