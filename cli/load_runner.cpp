#include "cli/load_runner.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <utility>

#include "cli/cli_platform.h"
#include "cli/exit_status.h"
#include "cli/summary_table.h"
#include "cli/trace_comm_dev.h"
#include "view/status_view.h"

namespace morvane {
namespace {

constexpr std::chrono::milliseconds kPollPeriod{100};

}  // namespace

// One running session.
struct CLoadRunner::Member {
    std::size_t index = 0;
    std::unique_ptr<CLoadSession> session;
    std::string label;
};

SessionFactory ProductSessions(std::ostream* trace) {
    return [trace](const LoadRequest& request) {
        SessionDeps deps;
        // What someone who tries to shut the PC down during a load is shown.
        deps.awakeReason = kDamageWarning;
        if (trace != nullptr) deps.decorate = TraceTo(*trace, PortLabelOf(request));
        return std::make_unique<CLoadSession>(request, std::move(deps));
    };
}

CLoadRunner::CLoadRunner(RunnerOutput output, RunKind kind, StopSource stops, RunnerClock clock)
    : output_(output),
      kind_(kind),
      view_(MakeRunnerView(output_, kind_)),
      stops_(std::move(stops)),
      clock_(std::move(clock)) {
    if (!stops_) {
        stopRequests_.emplace();
        stops_ = [this](std::chrono::milliseconds wait) { return stopRequests_->Next(wait); };
    }
    if (!clock_) clock_ = [] { return std::chrono::steady_clock::now(); };
}

CLoadRunner::~CLoadRunner() = default;

void CLoadRunner::Add(std::unique_ptr<CLoadSession> session) {
    auto m = std::make_unique<Member>();
    m->index = added_++;
    m->label = session->PortLabel();
    view_->Added(m->index, m->label, session->Request());
    m->session = std::move(session);
    m->session->Start();
    running_.push_back(std::move(m));
}

void CLoadRunner::SetLine(const std::string& port, const std::string& text) {
    view_->Line(port, text);
}

void CLoadRunner::Unplugged(const std::string& port) {
    const auto last = std::find_if(ended_.rbegin(), ended_.rend(),
                                   [&port](const PortEnd& p) { return p.label == port; });
    if (last != ended_.rend()) last->unplugged = true;
}

void CLoadRunner::Retrying(const std::string& port) {
    const auto last = std::find_if(ended_.rbegin(), ended_.rend(),
                                   [&port](const PortEnd& p) { return p.label == port; });
    if (last != ended_.rend()) last->retried = true;
}

void CLoadRunner::Emit(const std::string& port, const nlohmann::ordered_json& event) {
    view_->Event(port, event);
}

void CLoadRunner::Run(const std::function<bool()>& more) {
    for (;;) {
        const bool coming = stoppedBy_ == StopRequest::None && more && more();
        if (running_.empty() && !coming) return;
        TakeStop(stops_(kPollPeriod));
        for (auto it = running_.begin(); it != running_.end();) {
            if ((*it)->session->Done()) {
                End(**it);
                it = running_.erase(it);
            } else {
                Show(**it, false);
                ++it;
            }
        }
        view_->Draw();
    }
}

// Shows what the worker published since the last pass, the message boxes after the record so
// that "Load Completed" follows the status that preceded it.
void CLoadRunner::Show(Member& m, bool force) {
    CLoadSession& s = *m.session;
    const std::vector<CString> prompts = s.Prompts().Take();
    if (s.State().TakeChanged() || force) view_->Pass(m.index, s.State());
    for (const CString& text : prompts) view_->Prompt(m.index, text);
}

void CLoadRunner::End(Member& m) {
    const LoadOutcome outcome = m.session->Join();
    Show(m, true);
    const LoadRequest& request = m.session->Request();
    PortVerdict verdict = JudgePort(
        request, outcome, {m.label, m.session->DevicePath(), stoppedBy_, kind_ == RunKind::Watch});
    PortEnd end{m.index, m.label, request, outcome, std::move(verdict), false, {}, false};
    view_->Ended(end);
    if (!end.verdict.result.empty() || !end.verdict.advice.empty()) view_->Release();
    const std::string prefix = PortPrefix(kind_, m.label);
    output_.Human() << Prefixed(end.verdict.result, prefix) << std::flush;
    *output_.err << Prefixed(end.verdict.advice, prefix) << std::flush;
    const PortEnd& kept = Keep(std::move(end));
    if (onPortEnded_) onPortEnded_(kept);
}

// A watch runs all day: what it keeps of the ports that ended must not grow with the plugs. It
// keeps each port's last run, in the place where the port first came, and counts the runs
// before it (a run tried again is left out: the next one is its outcome).
PortEnd& CLoadRunner::Keep(PortEnd end) {
    if (kind_ == RunKind::Watch) {
        const auto same = std::find_if(ended_.begin(), ended_.end(),
                                       [&end](const PortEnd& p) { return p.label == end.label; });
        if (same != ended_.end()) {
            end.earlier = same->retried ? same->earlier : same->AllRuns();
            end.index = same->index;
            *same = std::move(end);
            return *same;
        }
    }
    ended_.push_back(std::move(end));
    return ended_.back();
}

void CLoadRunner::TakeStop(StopRequest stop) {
    auto cancelAll = [this] {
        for (auto& m : running_) m->session->Cancel();
    };
    if (stop == StopRequest::None) return;
    if (running_.empty()) {
        // Nothing runs that stopping could harm: the run ends at once.
        stoppedBy_ = stop;
        return;
    }
    if (stop == StopRequest::Interrupt) {
        switch (interrupts_.OnInterrupt(clock_())) {
            case CInterruptPolicy::Action::Warn:
                Warn(std::string(kDamageWarning) +
                     "\nPress Ctrl-C again within 5 seconds to stop the load" +
                     (kind_ != RunKind::OnePort ? "s." : "."));
                break;
            case CInterruptPolicy::Action::Stop:
                Warn(kind_ != RunKind::OnePort ? "Stopping every load..." : "Stopping the load...");
                stoppedBy_ = StopRequest::Interrupt;
                cancelAll();
                break;
            case CInterruptPolicy::Action::ForceExit: Warn(""); ExitAtOnce(kExitInterrupted);
        }
    } else {
        // Asked to end by the system or by a closed terminal: there is no one to warn.
        if (stoppedBy_ == StopRequest::None) stoppedBy_ = stop;
        cancelAll();
    }
}

// A warning on stderr, after ending whatever is drawn on the terminal so the two do not mix.
void CLoadRunner::Warn(const std::string& text) {
    view_->Release();
    if (!text.empty()) *output_.err << text << '\n' << std::flush;
}

GroupResult CLoadRunner::SumUp() {
    GroupResult group;
    group.ports = ended_;
    std::sort(group.ports.begin(), group.ports.end(),
              [](const PortEnd& a, const PortEnd& b) { return a.index < b.index; });
    group.stoppedBy = stoppedBy_;
    if (kind_ != RunKind::OnePort && !group.ports.empty()) {
        std::vector<PortSummary> summary;
        for (const PortEnd& p : group.ports) {
            const bool gone = p.unplugged && !p.verdict.wordUnplugged.empty();
            const SPortRuns runs = p.AllRuns();
            summary.push_back({p.label, gone ? p.verdict.wordUnplugged : p.verdict.word,
                               runs.counts ? runs.worstExitStatus : p.verdict.exitStatus,
                               runs.counts, kind_ == RunKind::Watch ? runs.Text() : ""});
        }
        output_.Human() << '\n' << SummaryTable(summary) << std::flush;
    }
    return group;
}

std::vector<int> GroupResult::ExitStatuses() const {
    std::vector<int> statuses;
    for (const PortEnd& p : ports) statuses.push_back(p.verdict.exitStatus);
    return statuses;
}

int GroupResult::ExitStatus() const {
    std::vector<int> statuses;
    for (const PortEnd& p : ports) {
        const SPortRuns runs = p.AllRuns();
        if (runs.counts) statuses.push_back(runs.worstExitStatus);
    }
    return WorstExitStatus(statuses);
}

GroupResult RunGroup(const std::vector<LoadRequest>& requests, const RunnerOutput& output,
                     const SessionFactory& makeSession) {
    CLoadRunner runner(output, requests.size() > 1 ? RunKind::ManyPorts : RunKind::OnePort);
    const SessionFactory sessions = makeSession ? makeSession : ProductSessions();
    for (const LoadRequest& request : requests) runner.Add(sessions(request));
    runner.Run();
    return runner.SumUp();
}

int LoadWhereProbed(const std::vector<int>& comPorts, const LoadRequest& load,
                    const RunnerOutput& output, const SessionFactory& makeSession) {
    // Looking for receivers loads nothing and leaves no record: the record holds the loads that
    // follow.
    std::vector<LoadRequest> probes;
    for (const int com : comPorts) {
        LoadRequest probe;
        probe.comPort = com;
        probe.probeOnly = true;
        probes.push_back(probe);
    }
    output.Human() << "Looking for receivers on " << probes.size() << " port(s)...\n" << std::flush;
    const GroupResult probed = RunGroup(probes, output, makeSession);
    // A stop asked for during the probes holds for the loads as well: a receiver found before it
    // came is not loaded.
    if (probed.stoppedBy != StopRequest::None) return ExitStatusForStop(probed.stoppedBy);

    std::vector<LoadRequest> loads;
    std::string names;
    for (const PortEnd& p : probed.ports) {
        if (p.outcome.end != LoadEnd::Found) continue;
        LoadRequest request = load;
        request.comPort = p.request.comPort;
        request.portPath.clear();
        request.probeOnly = false;
        loads.push_back(request);
        names += (names.empty() ? "" : ", ") + p.label;
    }
    if (loads.empty()) {
        *output.err << "morvane-cli: no receiver answered on any port.\n" << std::flush;
        const int worst = probed.ExitStatus();
        return worst == kExitLoaded ? kExitNotDetected : worst;
    }
    output.Human() << "Loading " << names << "...\n" << std::flush;
    return RunGroup(loads, output, makeSession).ExitStatus();
}

}  // namespace morvane
