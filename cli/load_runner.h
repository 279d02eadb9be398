// CLoadRunner: morvane-cli's one loop over the loads, probes and verifications it runs, one port
// or many.
//
// Every port gets a session of its own (its worker, record and probe cycle), so each one puts
// exactly a single load's timeline on its line, and a port that fails never stops the others.
// The loop takes the stop requests, polls every session each 100 ms and shows it through the view
// of the output's mode (runner_view.h): for people (one port as a single load is shown; several on
// a terminal one line each, redrawn in place, elsewhere every line led by its port) or as JSON
// events. When a session ends its port's
// verdict is written at once, so sessions may join and leave while others run: a watch adds a
// session for each receiver plugged, from the loop's own pass.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/runner_view.h"
#include "cli/stop_requests.h"
#include "session/load_session.h"

namespace morvane {

// Makes the session of a request (not started). `ProductSessions` makes the product's.
using SessionFactory = std::function<std::unique_ptr<CLoadSession>(const LoadRequest&)>;

// The sessions the product runs: the real port, the PC held awake with the damage warning as the
// reason, and with `trace` every port's wire written there (--trace).
[[nodiscard]] SessionFactory ProductSessions(std::ostream* trace = nullptr);

// Where the loop takes its stop requests: the next one, waiting at most the time given for it;
// None when none came. Empty: the process's own (signals, the console's control events).
using StopSource = std::function<StopRequest(std::chrono::milliseconds)>;
// The loop's time. Empty: the steady clock. Tests script both.
using RunnerClock = std::function<std::chrono::steady_clock::time_point()>;

// Told once of each port whose session ended, as it ends (on the loop's thread).
using PortEndedCallback = std::function<void(const PortEnd&)>;

struct GroupResult {
    std::vector<PortEnd> ports;  // in the order their sessions were added
    StopRequest stoppedBy = StopRequest::None;

    [[nodiscard]] std::vector<int> ExitStatuses() const;
    // The program's: the worst of the ports that count (WorstExitStatus).
    [[nodiscard]] int ExitStatus() const;
};

class CLoadRunner {
public:
    // The process's stop requests are taken from here on (and by no other thread): before any
    // session starts. How the ports are shown is chosen here, once, from `output` and `kind`.
    CLoadRunner(RunnerOutput output, RunKind kind, StopSource stops = {}, RunnerClock clock = {});
    ~CLoadRunner();
    CLoadRunner(const CLoadRunner&) = delete;
    CLoadRunner& operator=(const CLoadRunner&) = delete;

    // Starts `session` beside the others; it is shown from the next pass. On the loop's thread:
    // before Run, or from Run's `more`.
    void Add(std::unique_ptr<CLoadSession> session);

    // The line of `port`, where no session runs, reads `text` (on a terminal, until a session
    // takes the port's line over; elsewhere it is written as a line led by the port).
    void SetLine(const std::string& port, const std::string& text);
    // The receiver on `port` was unplugged after its session ended: the closing table says so.
    void Unplugged(const std::string& port);
    // A watch tries `port` again (it would not open): its next run takes the place of the one
    // that just ended in the closing table and the exit status.
    void Retrying(const std::string& port);
    // With --json: `event` about `port`, written as the port's events are.
    void Emit(const std::string& port, const nlohmann::ordered_json& event);
    // `callback` hears of each port whose session ends from now on, once its verdict is written.
    void OnPortEnded(PortEndedCallback callback) { onPortEnded_ = std::move(callback); }

    // The loop. Returns once no session runs and `more` (asked once a pass, where it may Add
    // sessions) says none will come; after a stop request it is no longer asked. A stop request
    // while no session runs ends it at once: there is no load to warn about.
    void Run(const std::function<bool()>& more = {});
    // The time on the loop's clock.
    [[nodiscard]] std::chrono::steady_clock::time_point Now() const { return clock_(); }
    // A warning on stderr, after ending whatever is drawn on the terminal so the two do not mix.
    void Warn(const std::string& text);

    // Once Run returned: the ports that ended, and with several ports the table that sums them
    // up, written for people. A watch's port is there once, with its last run and all its runs
    // counted.
    GroupResult SumUp();

private:
    struct Member;

    void Show(Member& member, bool force);
    void End(Member& member);
    PortEnd& Keep(PortEnd end);
    void TakeStop(StopRequest stop);

    RunnerOutput output_;
    RunKind kind_;
    std::unique_ptr<IRunnerView> view_;
    StopSource stops_;
    RunnerClock clock_;
    std::optional<CStopRequests> stopRequests_;
    CInterruptPolicy interrupts_;
    StopRequest stoppedBy_ = StopRequest::None;
    std::vector<std::unique_ptr<Member>> running_;
    std::vector<PortEnd> ended_;  // in the order they ended; a watch's, one per port
    std::size_t added_ = 0;
    PortEndedCallback onPortEnded_;
};

// Runs the requests side by side until every one has ended; with more than one, a table sums
// them up.
GroupResult RunGroup(const std::vector<LoadRequest>& requests, const RunnerOutput& output,
                     const SessionFactory& makeSession = {});

// --all-probed: probes the ports, then loads (as `load` asks: its record, its skip) each one
// where a receiver answered, naming them. Nothing is loaded once a stop was asked for. The exit
// status.
int LoadWhereProbed(const std::vector<int>& comPorts, const LoadRequest& load,
                    const RunnerOutput& output, const SessionFactory& makeSession = {});

}  // namespace morvane
