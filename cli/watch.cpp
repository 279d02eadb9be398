#include "cli/watch.h"

#include <algorithm>
#include <map>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_platform.h"
#include "cli/exit_status.h"
#include "cli/json_events.h"
#include "cli/progress_view.h"
#include "cli/trace_comm_dev.h"
#include "platform/text.h"
#include "session/load_outcome.h"
#include "view/status_view.h"

namespace morvane {
namespace {

// One watched port while a receiver is on it: its load, and how it is shown.
struct WatchedLoad {
    std::string port;
    std::unique_ptr<CLoadSession> session;
    std::string before;  // the firmware the receiver named first, before the load changed it
    std::unique_ptr<CPrefixedLines> prefixBuf;
    std::unique_ptr<std::ostream> prefixed;
    std::unique_ptr<CLoadReporter> reporter;  // a log's lines, when there are no rows
    std::unique_ptr<CJsonEvents> events;
    std::size_t row = 0;
};

LoadRequest WatchLoadRequest(const SSerInfo& port, const WatchOptions& options) {
    LoadRequest request;
    request.comPort = AtoI(std::string_view(port.portName).substr(3));
    request.verify = options.verify;
    request.skipCurrent = options.skipCurrent;
    request.log = options.log;
    request.program = "morvane-cli";
    return request;
}

class CWatch {
public:
    CWatch(const WatchOptions& options, const GroupOutput& output, WatchDeps deps)
        : options_(options),
          output_(output),
          deps_(std::move(deps)),
          human_(output.json ? *output.err : *output.out),
          rows_(output.style.terminal && !output.json),
          portRows_(human_, {}) {}

    int Run();

private:
    void Discover(CWatchedPorts& ports);
    void Added(CWatchedPorts& ports, const SSerInfo& port);
    void Removed(const std::string& port);
    void Show(WatchedLoad& load, bool force);
    void Ended(CWatchedPorts& ports, WatchedLoad& load);
    void Say(const std::string& text, std::ostream& to);
    std::size_t RowOf(const std::string& port);
    [[nodiscard]] std::string Prefix(const std::string& port) const {
        return rows_ ? "" : port + ": ";
    }

    const WatchOptions& options_;
    const GroupOutput& output_;
    WatchDeps deps_;
    std::ostream& human_;
    const bool rows_;
    CPortRows portRows_;
    std::map<std::string, std::size_t> rowOfPort_;
    std::vector<std::unique_ptr<WatchedLoad>> loads_;
    std::vector<int> statuses_;
    std::vector<PortSummary> summary_;
    StopRequest stoppedBy_ = StopRequest::None;
    bool discoveryFailed_ = false;
};

void CWatch::Say(const std::string& text, std::ostream& to) {
    if (text.empty()) return;
    if (rows_) portRows_.Release();
    for (const auto& load : loads_) {
        if (load->reporter) load->reporter->Finish();
    }
    to << text << std::flush;
}

std::size_t CWatch::RowOf(const std::string& port) {
    const auto it = rowOfPort_.find(port);
    if (it != rowOfPort_.end()) return it->second;
    const std::size_t row = portRows_.Add(port);
    rowOfPort_[port] = row;
    return row;
}

void CWatch::Discover(CWatchedPorts& ports) {
    CArray<SSerInfo, SSerInfo&> now;
    try {
        now = deps_.discover();
    } catch (const ComEnumError& e) {
        // A listing that failed once (a device half-way through appearing) says nothing of the
        // ports; the next pass asks again. Said once, not every second.
        if (!discoveryFailed_)
            Say(std::string("morvane-cli: the serial ports could not be listed: ") + e.what() +
                    "\n",
                *output_.err);
        discoveryFailed_ = true;
        return;
    }
    discoveryFailed_ = false;
    const WatchChanges changes = ports.Update(now);
    for (const std::string& port : changes.removed) Removed(port);
    for (const SSerInfo& port : changes.added) Added(ports, port);
}

void CWatch::Added(CWatchedPorts& ports, const SSerInfo& port) {
    auto load = std::make_unique<WatchedLoad>();
    load->port = port.portName;
    const LoadRequest request = WatchLoadRequest(port, options_);
    load->session = deps_.makeSession(request);
    if (output_.json) {
        load->events = std::make_unique<CJsonEvents>(*output_.out, load->port, output_.start);
        load->events->PortAdded(port);
        load->events->Start("load", request.verify);
    }
    if (rows_) {
        load->row = RowOf(load->port);
    } else {
        load->prefixBuf = std::make_unique<CPrefixedLines>(human_, Prefix(load->port));
        load->prefixed = std::make_unique<std::ostream>(load->prefixBuf.get());
        load->reporter =
            std::make_unique<CLoadReporter>(*load->prefixed, *output_.err, ReporterStyle{});
        *load->prefixed << "plugged (" << port.devicePath << ")\n";
    }
    ports.LoadStarted(load->port);
    load->session->Start();
    loads_.push_back(std::move(load));
}

void CWatch::Removed(const std::string& port) {
    if (output_.json) CJsonEvents(*output_.out, port, output_.start).PortRemoved();
    if (rows_) {
        portRows_.Set(RowOf(port), Format("%-8s %-6s unplugged", port.c_str(), "-"));
    } else {
        human_ << port << ": unplugged\n" << std::flush;
    }
}

void CWatch::Show(WatchedLoad& load, bool force) {
    CLoadSession& s = *load.session;
    const std::vector<CString> prompts = s.Prompts().Take();
    SLoaderState& state = s.State();
    if (state.TakeChanged() || force) {
        // The receiver names its firmware at detection and again, the new one, when a
        // verification finds it after its restart: the first one is the firmware it had.
        if (load.before.empty() && state.GetFirmwareDetected())
            load.before = TrimVersion(state.GetFirmwareText());
        if (load.reporter) load.reporter->Pass(state);
        if (load.events) load.events->Pass(state);
        if (rows_) portRows_.Set(load.row, WatchRow(load.port, load.before, state, {}));
    }
    for (const CString& text : prompts) {
        if (load.reporter) load.reporter->Prompt(text);
        if (load.events) load.events->Prompt(text);
    }
}

void CWatch::Ended(CWatchedPorts& ports, WatchedLoad& load) {
    CLoadSession& s = *load.session;
    const LoadOutcome outcome = s.Join();
    Show(load, true);
    if (load.reporter) load.reporter->Finish();
    const LoadRequest& request = s.Request();
    const SessionEnd end = JudgeSessionEnd(request, outcome, load.port, s.DevicePath(), stoppedBy_);
    if (load.events) ReportSessionEnd(*load.events, request, outcome, end);
    const std::string endText = WatchEndText(request, outcome, end.exitStatus);
    if (rows_) {
        portRows_.Set(load.row, WatchRow(load.port, load.before, s.State(), endText));
    } else {
        *load.prefixed << endText << '\n';
    }
    // A port where nothing answered is left alone without a word: it may be any device.
    if (end.exitStatus != kExitNotDetected) {
        Say(Prefixed(end.verdict, Prefix(load.port)), human_);
        Say(Prefixed(end.advice, Prefix(load.port)), *output_.err);
    }
    Say(Prefixed(RecordProblem(outcome), Prefix(load.port)), *output_.err);
    if (CountsTowardsWatchExit(end.exitStatus)) statuses_.push_back(end.exitStatus);
    summary_.push_back({load.port, endText, end.exitStatus});
    ports.LoadEnded(load.port);
}

int CWatch::Run() {
    CArray<SSerInfo, SSerInfo&> atStart;
    try {
        atStart = deps_.discover();
    } catch (const ComEnumError& e) {
        *output_.err << "morvane-cli: the serial ports could not be listed: " << e.what() << '\n';
        return kExitPortFailed;
    }
    CWatchedPorts ports(options_.rules, atStart);
    human_ << "Watching for receivers: each one plugged is loaded"
           << (options_.verify ? " and verified" : "")
           << (options_.skipCurrent ? ", one already current is skipped" : "")
           << ". Ctrl-C ends the watch.\n"
           << std::flush;

    CInterruptPolicy interrupts;
    bool stopping = false;
    WatchDeps::Clock::time_point nextDiscovery = deps_.now();
    for (;;) {
        const StopRequest stop = deps_.nextStop(std::chrono::milliseconds(100));
        if (stop != StopRequest::None && loads_.empty()) break;
        if (stop == StopRequest::Interrupt) {
            switch (interrupts.OnInterrupt(deps_.now())) {
                case CInterruptPolicy::Action::Warn:
                    Say(std::string(kDamageWarning) +
                            "\nPress Ctrl-C again within 5 seconds to stop the loads.\n",
                        *output_.err);
                    break;
                case CInterruptPolicy::Action::Stop:
                    Say("Stopping every load...\n", *output_.err);
                    stoppedBy_ = StopRequest::Interrupt;
                    stopping = true;
                    for (auto& load : loads_) load->session->Cancel();
                    break;
                case CInterruptPolicy::Action::ForceExit:
                    Say("\n", *output_.err);
                    ExitAtOnce(kExitInterrupted);
            }
        } else if (stop != StopRequest::None) {
            // Asked to end by the system or by a closed terminal: there is no one to warn.
            if (stoppedBy_ == StopRequest::None) stoppedBy_ = stop;
            stopping = true;
            for (auto& load : loads_) load->session->Cancel();
        }

        if (!stopping && deps_.now() >= nextDiscovery) {
            Discover(ports);
            nextDiscovery = deps_.now() + kWatchDiscoveryPeriod;
        }
        for (auto it = loads_.begin(); it != loads_.end();) {
            WatchedLoad& load = **it;
            if (!load.session->Done()) {
                Show(load, false);
                ++it;
                continue;
            }
            Ended(ports, load);
            it = loads_.erase(it);
        }
        if (rows_) portRows_.Draw();
        if (stopping && loads_.empty()) break;
    }
    if (rows_) portRows_.Release();
    if (!summary_.empty()) human_ << '\n' << SummaryTable(summary_);
    human_.flush();
    return WorstExitStatus(statuses_);
}

}  // namespace

WatchDeps RealWatchDeps(CStopRequests* stopRequests, const GroupOutput& output) {
    WatchDeps deps;
    deps.discover = [] {
        CArray<SSerInfo, SSerInfo&> ports;
        EnumerateComPorts(ports);
        return ports;
    };
    const bool trace = output.trace;
    std::ostream* err = output.err;
    deps.makeSession = [trace, err](const LoadRequest& request) {
        SessionDeps session;
        if (trace) session.decorate = TraceTo(*err, PortLabelOf(request));
        return std::make_unique<CLoadSession>(request, std::move(session));
    };
    deps.nextStop = [stopRequests](std::chrono::milliseconds wait) {
        if (stopRequests != nullptr) return stopRequests->Next(wait);
        std::this_thread::sleep_for(wait);
        return StopRequest::None;
    };
    deps.now = [] { return WatchDeps::Clock::now(); };
    return deps;
}

int RunWatch(const WatchOptions& options, const GroupOutput& output, WatchDeps deps) {
    return CWatch(options, output, std::move(deps)).Run();
}

}  // namespace morvane
