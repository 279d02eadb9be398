#include "cli/load_runner.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <streambuf>
#include <string_view>
#include <utility>

#include "cli/cli_platform.h"
#include "cli/exit_status.h"
#include "cli/json_events.h"
#include "cli/summary_table.h"
#include "cli/trace_comm_dev.h"
#include "view/status_view.h"

namespace morvane {
namespace {

constexpr std::chrono::milliseconds kPollPeriod{100};

// Lines written through it reach the target each with the port in front ("COM5: ...").
class CPrefixedLines : public std::streambuf {
public:
    CPrefixedLines(std::ostream& target, std::string prefix)
        : target_(target), prefix_(std::move(prefix)) {}

protected:
    int_type overflow(int_type c) override {
        if (c == traits_type::eof()) return traits_type::not_eof(c);
        line_ += static_cast<char>(c);
        if (c == '\n') {
            target_ << prefix_ << line_;
            target_.flush();
            line_.clear();
        }
        return c;
    }

private:
    std::ostream& target_;
    std::string prefix_;
    std::string line_;
};

// Every line of `text` with `prefix` in front, in place of the program's name where the line
// has it.
std::string Prefixed(const std::string& text, const std::string& prefix) {
    if (prefix.empty()) return text;
    std::string out;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string_view line(text.data() + at, end - at);
        if (line.starts_with(kProgramPrefix)) line.remove_prefix(kProgramPrefix.size());
        out += prefix;
        out += line;
        at = end;
    }
    return out;
}

}  // namespace

// How one running session is shown: for people (a reporter of its own, or a row), and as events.
struct CLoadRunner::Member {
    std::size_t index = 0;
    std::unique_ptr<CLoadSession> session;
    std::string label;
    std::unique_ptr<CPrefixedLines> prefixBuf;
    std::unique_ptr<std::ostream> prefixed;
    std::unique_ptr<CLoadReporter> reporter;
    std::unique_ptr<CJsonEvents> events;
};

CLoadRunner::CLoadRunner(RunnerOutput output, RunnerClock clock)
    : output_(output), clock_(std::move(clock)) {
    if (output_.manyPorts && !output_.json && output_.style.terminal) rows_.emplace(*output_.out);
    if (!clock_.nextStop) {
        stopRequests_.emplace();
        clock_.nextStop = [this](std::chrono::milliseconds wait) {
            return stopRequests_->Next(wait);
        };
    }
    if (!clock_.now) clock_.now = [] { return std::chrono::steady_clock::now(); };
}

CLoadRunner::~CLoadRunner() = default;

std::unique_ptr<CLoadSession> CLoadRunner::Session(const LoadRequest& request) const {
    SessionDeps deps;
    // What someone who tries to shut the PC down during a load is shown.
    deps.awakeReason = kDamageWarning;
    if (output_.trace) deps.decorate = TraceTo(*output_.err, PortLabelOf(request));
    return std::make_unique<CLoadSession>(request, std::move(deps));
}

void CLoadRunner::Add(std::unique_ptr<CLoadSession> session) {
    auto m = std::make_unique<Member>();
    m->index = added_++;
    m->label = session->PortLabel();
    const LoadRequest& request = session->Request();
    if (output_.json) {
        m->events = std::make_unique<CJsonEvents>(*output_.out, m->label, output_.start);
        m->events->Start(request.probeOnly ? "probe" : "load", request.verify);
    }
    if (rows_) {
        rows_->Add(m->index, m->label);
    } else {
        std::ostream* target = &output_.Human();
        if (output_.manyPorts) {
            m->prefixBuf = std::make_unique<CPrefixedLines>(*target, m->label + ": ");
            m->prefixed = std::make_unique<std::ostream>(m->prefixBuf.get());
            target = m->prefixed.get();
        }
        // Only a lone port on the terminal itself redraws its progress line in place.
        const ReporterStyle style =
            output_.manyPorts || output_.json ? ReporterStyle{} : output_.style;
        m->reporter = std::make_unique<CLoadReporter>(*target, *output_.err, style);
    }
    m->session = std::move(session);
    m->session->Start();
    running_.push_back(std::move(m));
}

void CLoadRunner::SetLine(const std::string& port, const std::string& text) {
    if (rows_) {
        const std::size_t id = added_++;
        rows_->Add(id, port);
        rows_->Set(id, text);
    } else {
        output_.Human() << Prefix(port) << text << '\n' << std::flush;
    }
}

void CLoadRunner::Unplugged(const std::string& port) {
    const auto last = std::find_if(ended_.rbegin(), ended_.rend(),
                                   [&port](const PortEnd& p) { return p.label == port; });
    if (last != ended_.rend()) last->unplugged = true;
}

void CLoadRunner::Emit(const std::string& port, const nlohmann::ordered_json& event) {
    if (output_.json) CJsonEvents(*output_.out, port, output_.start).Emit(event);
}

void CLoadRunner::Run(const std::function<bool()>& more) {
    for (;;) {
        const bool coming = stoppedBy_ == StopRequest::None && more && more();
        if (running_.empty() && !coming) return;
        TakeStop(clock_.nextStop(kPollPeriod));
        for (auto it = running_.begin(); it != running_.end();) {
            if ((*it)->session->Done()) {
                End(**it);
                it = running_.erase(it);
            } else {
                Show(**it, false);
                ++it;
            }
        }
        if (rows_) rows_->Draw();
    }
}

// Shows what the worker published since the last pass, the message boxes after the record so
// that "Load Completed" follows the status that preceded it.
void CLoadRunner::Show(Member& m, bool force) {
    CLoadSession& s = *m.session;
    const std::vector<CString> prompts = s.Prompts().Take();
    if (s.State().TakeChanged() || force) {
        if (m.reporter) m.reporter->Pass(s.State());
        if (m.events) m.events->Pass(s.State());
        if (rows_) rows_->Pass(m.index, s.State());
    }
    for (const CString& text : prompts) {
        if (m.reporter) m.reporter->Prompt(text);
        if (m.events) m.events->Prompt(text);
    }
}

void CLoadRunner::End(Member& m) {
    const LoadOutcome outcome = m.session->Join();
    Show(m, true);
    if (m.reporter) m.reporter->Finish();
    const LoadRequest& request = m.session->Request();
    PortVerdict verdict = JudgePort(
        request, outcome, {m.label, m.session->DevicePath(), stoppedBy_, output_.watching});
    if (rows_) {
        // A watched port's line stays among the others, saying what became of the receiver;
        // another port's last line stays on the screen above its verdict, the others below it.
        if (output_.watching) {
            rows_->Set(m.index, verdict.word);
        } else {
            rows_->Remove(m.index);
        }
    } else if (output_.watching) {
        output_.Human() << Prefix(m.label) << verdict.word << '\n' << std::flush;
    }
    if (m.events) {
        if (request.probeOnly) m.events->Detection("probe", outcome.detection);
        if (outcome.verifyRan) m.events->Detection("verify", outcome.verification);
        m.events->Emit(ResultEvent(verdict, outcome));
    }
    if (!verdict.result.empty() || !verdict.advice.empty()) Release();
    const std::string prefix = Prefix(m.label);
    output_.Human() << Prefixed(verdict.result, prefix) << std::flush;
    *output_.err << Prefixed(verdict.advice, prefix) << std::flush;
    ended_.push_back({m.index, m.label, request, outcome, std::move(verdict)});
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
        switch (interrupts_.OnInterrupt(clock_.now())) {
            case CInterruptPolicy::Action::Warn:
                Warn(std::string(kDamageWarning) +
                     "\nPress Ctrl-C again within 5 seconds to stop the load" +
                     (output_.manyPorts ? "s." : "."));
                break;
            case CInterruptPolicy::Action::Stop:
                Warn(output_.manyPorts ? "Stopping every load..." : "Stopping the load...");
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
    Release();
    if (!text.empty()) *output_.err << text << '\n' << std::flush;
}

// Before other text: the drawn lines are wiped, and drawn again below it.
void CLoadRunner::Release() {
    if (rows_) rows_->Clear();
    for (auto& m : running_) {
        if (m->reporter) m->reporter->Finish();
    }
}

std::string CLoadRunner::Prefix(const std::string& port) const {
    return output_.manyPorts ? port + ": " : "";
}

GroupResult CLoadRunner::SumUp() {
    GroupResult group;
    group.ports = ended_;
    std::sort(group.ports.begin(), group.ports.end(),
              [](const PortEnd& a, const PortEnd& b) { return a.index < b.index; });
    group.stoppedBy = stoppedBy_;
    if (output_.manyPorts && !group.ports.empty()) {
        std::vector<PortSummary> summary;
        for (const PortEnd& p : group.ports) {
            const bool gone = p.unplugged && !p.verdict.wordUnplugged.empty();
            summary.push_back({p.label, gone ? p.verdict.wordUnplugged : p.verdict.word,
                               p.verdict.exitStatus, p.verdict.counts});
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
        if (p.verdict.counts) statuses.push_back(p.verdict.exitStatus);
    }
    return WorstExitStatus(statuses);
}

GroupResult RunGroup(const std::vector<LoadRequest>& requests, RunnerOutput output,
                     const SessionFactory& makeSession) {
    output.manyPorts = requests.size() > 1;
    CLoadRunner runner(output);
    for (const LoadRequest& request : requests)
        runner.Add(makeSession ? makeSession(request) : runner.Session(request));
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
