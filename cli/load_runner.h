// CLoadRunner: morvane-cli's one loop over the loads, probes and verifications it runs, one port
// or many.
//
// Every port gets a session of its own (its worker, record and probe cycle), so each one puts
// exactly a single load's timeline on its line, and a port that fails never stops the others.
// The loop takes the stop requests, polls every session each 100 ms and shows it: for people
// (one port as a single load is shown; several on a terminal one line each, redrawn in place,
// elsewhere every line led by its port) and as JSON events. When a session ends its port's
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
    // The ports were taken up as they appeared (a watch): each keeps its line once its session
    // ended, saying what became of the receiver, and one where no receiver answered is left alone
    // without a word.
    bool watching = false;
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
    bool unplugged = false;  // its receiver was unplugged after the session ended (a watch)
};

// Makes the session of a request (not started); empty: the product's (CLoadRunner::Session).
using SessionFactory = std::function<std::unique_ptr<CLoadSession>(const LoadRequest&)>;

// Where the loop takes its stop requests and its time; either one empty: the process's own stop
// requests (signals, the console's control events) and the steady clock. Tests script both.
struct RunnerClock {
    // The next stop request, waiting at most the time given for one; None when none came.
    std::function<StopRequest(std::chrono::milliseconds)> nextStop;
    std::function<std::chrono::steady_clock::time_point()> now;
};

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
    // session starts.
    explicit CLoadRunner(RunnerOutput output, RunnerClock clock = {});
    ~CLoadRunner();
    CLoadRunner(const CLoadRunner&) = delete;
    CLoadRunner& operator=(const CLoadRunner&) = delete;

    // The session the product runs for `request`: the real port, its wire traced with --trace,
    // the PC held awake with the damage warning as the reason.
    [[nodiscard]] std::unique_ptr<CLoadSession> Session(const LoadRequest& request) const;

    // Starts `session` beside the others; it is shown from the next pass. On the loop's thread:
    // before Run, or from Run's `more`.
    void Add(std::unique_ptr<CLoadSession> session);

    // The line of `port`, where no session runs, reads `text` (on a terminal, until a session
    // takes the port's line over; elsewhere it is written as a line led by the port).
    void SetLine(const std::string& port, const std::string& text);
    // The receiver on `port` was unplugged after its session ended: the closing table says so.
    void Unplugged(const std::string& port);
    // With --json: `event` about `port`, written as the port's events are.
    void Emit(const std::string& port, const nlohmann::ordered_json& event);

    // The loop. Returns once no session runs and `more` (asked once a pass, where it may Add
    // sessions) says none will come; after a stop request it is no longer asked. A stop request
    // while no session runs ends it at once: there is no load to warn about.
    void Run(const std::function<bool()>& more = {});
    // The time on the loop's clock.
    [[nodiscard]] std::chrono::steady_clock::time_point Now() const { return clock_.now(); }
    // A warning on stderr, after ending whatever is drawn on the terminal so the two do not mix.
    void Warn(const std::string& text);

    // The ports whose sessions ended, in the order they ended.
    [[nodiscard]] const std::vector<PortEnd>& Ended() const { return ended_; }
    // Once Run returned: the ports that ended, and with several ports the table that sums them
    // up, written for people.
    GroupResult SumUp();

private:
    struct Member;

    void Show(Member& member, bool force);
    void End(Member& member);
    void TakeStop(StopRequest stop);
    void Release();
    [[nodiscard]] std::string Prefix(const std::string& port) const;

    RunnerOutput output_;
    RunnerClock clock_;
    std::optional<CStopRequests> stopRequests_;
    CInterruptPolicy interrupts_;
    StopRequest stoppedBy_ = StopRequest::None;
    std::optional<CPortRows> rows_;
    std::vector<std::unique_ptr<Member>> running_;
    std::vector<PortEnd> ended_;
    std::size_t added_ = 0;
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
