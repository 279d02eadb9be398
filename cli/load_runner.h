// CLoadRunner: morvane-cli's one loop over the loads, probes and verifications it runs, one port
// or many.
//
// Every port gets a session of its own (its worker, record and probe cycle), so each one puts
// exactly a single load's timeline on its line, and a port that fails never stops the others.
// The loop takes the stop requests, polls every session each 100 ms and shows it: for people
// (one port as a single load is shown; several on a terminal one line each, redrawn in place,
// elsewhere every line led by its port) and as JSON events. When a session ends its port's
// verdict is written at once, so sessions may join and leave while others run.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/port_outcome.h"
#include "cli/port_rows.h"
#include "cli/progress_view.h"
#include "cli/stop_requests.h"
#include "session/load_session.h"

namespace morvane {

struct RunnerOutput {
    std::ostream* out = nullptr;  // stdout
    std::ostream* err = nullptr;  // stderr
    ReporterStyle style;          // of stdout
    bool json = false;            // events on `out`, the text for people on `err`
    bool trace = false;           // every port's wire trace on `err`
    // Every port is named on its lines (rows on a terminal): more than one port, or ports that
    // come and go.
    bool manyPorts = false;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

    // Where the text for people goes.
    [[nodiscard]] std::ostream& Human() const { return json ? *err : *out; }
};

// How one port's session ended.
struct PortEnd {
    std::size_t index = 0;  // the order its session was added in
    std::string label;
    LoadRequest request;
    LoadOutcome outcome;
    PortVerdict verdict;
};

// Makes the session of a request (not started); empty: the product's (CLoadRunner::Session).
using SessionFactory = std::function<std::unique_ptr<CLoadSession>(const LoadRequest&)>;

class CLoadRunner {
public:
    // Stop requests are taken from here on (and by no other thread): before any session starts.
    explicit CLoadRunner(RunnerOutput output);
    ~CLoadRunner();
    CLoadRunner(const CLoadRunner&) = delete;
    CLoadRunner& operator=(const CLoadRunner&) = delete;

    // The session the product runs for `request`: the real port, its wire traced with --trace,
    // the PC held awake with the damage warning as the reason.
    [[nodiscard]] std::unique_ptr<CLoadSession> Session(const LoadRequest& request) const;

    // Starts `session` beside the others; it is shown from the next pass. On the loop's thread:
    // before Run, or from Run's `more`.
    void Add(std::unique_ptr<CLoadSession> session);

    // The loop. Returns once no session runs and `more` (asked once a pass, where it may Add
    // sessions) says none will come; after a stop request it is no longer asked.
    void Run(const std::function<bool()>& more = {});

    // The ports whose sessions ended, in the order they ended.
    [[nodiscard]] const std::vector<PortEnd>& Ended() const { return ended_; }
    // What stopped the sessions; None while nothing did.
    [[nodiscard]] StopRequest StoppedBy() const { return stoppedBy_; }

private:
    struct Member;

    void Show(Member& member, bool force);
    void End(Member& member);
    void TakeStop(StopRequest stop);
    void Warn(const std::string& text);

    RunnerOutput output_;
    CStopRequests stopRequests_;
    CInterruptPolicy interrupts_;
    StopRequest stoppedBy_ = StopRequest::None;
    std::optional<CPortRows> rows_;
    std::vector<std::unique_ptr<Member>> running_;
    std::vector<PortEnd> ended_;
    std::size_t added_ = 0;
};

struct GroupResult {
    std::vector<PortEnd> ports;  // in the order of the requests
    StopRequest stoppedBy = StopRequest::None;

    [[nodiscard]] std::vector<int> ExitStatuses() const;
};

// Runs the requests side by side until every one has ended; with more than one, a table sums
// them up.
GroupResult RunGroup(const std::vector<LoadRequest>& requests, RunnerOutput output,
                     const SessionFactory& makeSession = {});

// --all-probed: probes the ports, then loads (as `load` asks: its record, its skip) each one
// where a receiver answered, naming them. Nothing is loaded once a stop was asked for. The exit
// status.
int LoadWhereProbed(const std::vector<int>& comPorts, const LoadRequest& load,
                    const RunnerOutput& output, const SessionFactory& makeSession = {});

}  // namespace morvane
