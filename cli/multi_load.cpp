#include "cli/multi_load.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <sstream>
#include <streambuf>

#include "cli/cli_platform.h"
#include "cli/exit_status.h"
#include "cli/json_events.h"
#include "cli/stop_requests.h"
#include "cli/trace_comm_dev.h"
#include "platform/text.h"
#include "record/loader_status.h"
#include "res/firmware_image.h"
#include "serial/enumerate_com_ports.h"
#include "view/open_error_text.h"
#include "view/status_view.h"

namespace morvane {
namespace {

// How one port is shown: for people (a reporter of its own, or a row), and as events.
struct PortView {
    std::unique_ptr<CPrefixedLines> prefixBuf;
    std::unique_ptr<std::ostream> prefixed;
    std::unique_ptr<CLoadReporter> reporter;
    std::unique_ptr<CJsonEvents> events;
};

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

}  // namespace

std::string Prefixed(const std::string& text, const std::string& prefix) {
    if (prefix.empty()) return text;
    std::string out;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        out += prefix + text.substr(at, end - at);
        at = end;
    }
    return out;
}

int ExitStatusForOutcome(const LoadRequest& request, const LoadOutcome& outcome) {
    if (request.probeOnly) {
        if (outcome.status == STATUS_INVALID_PORT) return kExitPortFailed;
        return outcome.detection.answered ? kExitLoaded : kExitNotDetected;
    }
    const int load = ExitStatusForLoad(outcome.status);
    if (load != kExitLoaded || !outcome.verifyRan) return load;
    return VerifyVerdict(outcome.detection, PortLabelOf(request), kFirmwareVersion).good
               ? kExitLoaded
               : kExitNotVerified;
}

std::string RecordProblem(const LoadOutcome& outcome) {
    if (outcome.recordError.empty()) return {};
    return "morvane-cli: the record of this load could not be written: " + outcome.recordError +
           "\n";
}

int WorstExitStatus(const std::vector<int>& statuses) {
    // From the worst down; anything not listed (a signal's status) is worse still.
    static constexpr int kOrder[] = {kExitLoadFailed, kExitNotVerified, kExitNotDetected,
                                     kExitPortFailed, kExitUsage,       kExitLoaded};
    auto rank = [](int status) {
        const auto* at = std::find(std::begin(kOrder), std::end(kOrder), status);
        return at == std::end(kOrder) ? -1 : static_cast<int>(at - std::begin(kOrder));
    };
    int worst = kExitLoaded;
    for (const int s : statuses)
        if (rank(s) < rank(worst)) worst = s;
    return worst;
}

SessionEnd JudgeSessionEnd(const LoadRequest& request, const LoadOutcome& outcome,
                           const std::string& label, const std::string& devicePath,
                           StopRequest stoppedBy) {
    SessionEnd end;
    const auto statusText = StatusText(outcome.status);
    end.outcomeText = ShortStatusText(outcome.status);
    if (outcome.cancelled) {
        end.exitStatus = ExitStatusForStop(stoppedBy);
        end.message = "the load was stopped; the receiver may need a new load.";
        end.advice = "morvane-cli: " + end.message + "\n";
        end.outcomeText = "stopped";
        return end;
    }
    if (!outcome.failure.empty()) {
        end.exitStatus = kExitLoadFailed;
        end.message = "the load failed: " + outcome.failure;
        end.advice = "morvane-cli: " + end.message + "\n";
        return end;
    }
    end.exitStatus = ExitStatusForOutcome(request, outcome);
    if (outcome.status == STATUS_INVALID_PORT) {
        end.message =
            AdviceAfterLoad(outcome, label, devicePath) +
            ExplainOpenError(outcome.openError, label, request.comPort, outcome.openFacts);
        end.advice = end.message;
    } else if (request.probeOnly) {
        end.message = ProbeVerdict(outcome.detection, label).text;
        end.verdict = end.message;
        end.outcomeText = outcome.detection.answered
                              ? (outcome.detection.firmware.empty()
                                     ? std::string("found")
                                     : "found, firmware " + outcome.detection.firmware)
                              : "no receiver";
    } else if (outcome.status == STATUS_NO_UPDATE_REQUIRED) {
        end.message = std::string("Skipped: the receiver already reports firmware ") +
                      kFirmwareVersion + "; nothing was sent.\n";
        end.verdict = end.message;
        end.outcomeText = "skipped";
    } else {
        end.message = AdviceAfterLoad(outcome, label, devicePath);
        end.advice = end.message;
        if (outcome.verifyRan) {
            end.message = VerifyVerdict(outcome.detection, label, kFirmwareVersion).text;
            if (outcome.detection.port == VerifyPort::Refused) {
                end.message +=
                    ExplainOpenError(outcome.openError, label, request.comPort, outcome.openFacts);
            }
            end.verdict = end.message;
            end.outcomeText += end.exitStatus == kExitLoaded ? ", verified" : ", NOT verified";
        } else if (end.message.empty() && statusText) {
            end.message = std::string(*statusText);
        }
    }
    return end;
}

void ReportSessionEnd(CJsonEvents& events, const LoadRequest& request, const LoadOutcome& outcome,
                      const SessionEnd& end) {
    if (outcome.verifyRan || request.probeOnly)
        events.Detection(request.probeOnly ? "probe" : "verify", outcome.detection);
    const std::string* verified = outcome.verifyRan ? &outcome.detection.firmware : nullptr;
    events.Result(end.exitStatus, outcome.status, FirstLine(end.message), verified);
}

std::string SummaryTable(const std::vector<PortSummary>& rows) {
    std::size_t portWidth = 4;
    std::size_t outcomeWidth = 7;
    for (const PortSummary& r : rows) {
        portWidth = std::max(portWidth, r.port.size());
        outcomeWidth = std::max(outcomeWidth, r.outcome.size());
    }
    auto line = [&](const std::string& port, const std::string& outcome, const std::string& exit) {
        return port + std::string(portWidth - port.size() + 2, ' ') + outcome +
               std::string(outcomeWidth - outcome.size() + 2, ' ') + exit + "\n";
    };
    std::string out = line("Port", "Outcome", "Exit");
    for (const PortSummary& r : rows) out += line(r.port, r.outcome, std::to_string(r.exitStatus));
    return out;
}

CPortRows::CPortRows(std::ostream& out, std::vector<std::string> ports)
    : out_(out), ports_(std::move(ports)), rows_(ports_.size()) {
    for (std::size_t i = 0; i < ports_.size(); ++i) rows_[i] = ports_[i];
}

std::string ShortStatusText(std::int32_t status) {
    const auto text = StatusText(status);
    std::string out = text ? std::string(*text) : "";
    if (out.rfind("Status: ", 0) == 0) out.erase(0, 8);
    return out;
}

std::string StatusColumn(const SLoaderState& state) {
    std::string column = Format("%-26s", ShortStatusText(state.GetStatus()).c_str());
    if (state.GetTotalBytes() != 0)
        column += Format(" %3u%%", ProgressPercent(state.GetSentBytes(), state.GetTotalBytes()));
    return column;
}

std::string CPortRows::Row(const std::string& port, const SLoaderState& state) {
    std::string row = Format("%-8s ", port.c_str()) + StatusColumn(state);
    if (state.GetTotalBytes() != 0) {
        if (state.GetStatus() == STATUS_UPDATING_FIRMWARE)
            row += "  " + RemainingTimeText(state.GetRemainingSeconds());
    } else if (state.GetFirmwareDetected()) {
        row += "  firmware " + TrimVersion(state.GetFirmwareText());
    }
    if (row.size() > kWidth) row.resize(kWidth);
    return row;
}

void CPortRows::Pass(std::size_t port, const SLoaderState& state) {
    std::string row = Row(ports_[port], state);
    if (row == rows_[port]) return;
    rows_[port] = std::move(row);
    dirty_ = true;
}

void CPortRows::Set(std::size_t port, std::string row) {
    if (row == rows_[port]) return;
    rows_[port] = std::move(row);
    dirty_ = true;
}

std::size_t CPortRows::Add(std::string row) {
    ports_.push_back(row);
    rows_.push_back(std::move(row));
    dirty_ = true;
    return rows_.size() - 1;
}

void CPortRows::Draw() {
    if (!dirty_ && drawnRows_ != 0) return;
    // Up over the lines drawn last time; a line added since is drawn below them.
    if (drawnRows_ != 0) out_ << Format("\x1b[%zuA", drawnRows_);
    for (const std::string& row : rows_) out_ << '\r' << row << "\x1b[K\n";
    out_.flush();
    dirty_ = false;
    drawnRows_ = rows_.size();
}

std::vector<int> RunGroup(const std::vector<LoadRequest>& requests, const GroupOutput& output,
                          std::vector<LoadOutcome>* outcomes, const DeviceFactory& devices) {
    std::ostream& out = *output.out;
    std::ostream& err = *output.err;
    std::ostream& human = output.json ? err : out;
    const bool several = requests.size() > 1;
    const bool rows = several && !output.json && output.style.terminal;

    std::vector<std::unique_ptr<CLoadSession>> sessions;
    std::vector<PortView> views(requests.size());
    std::vector<std::string> labels;
    for (const LoadRequest& request : requests) {
        SessionDeps deps;
        deps.awakeReason = kDamageWarning;
        if (devices) deps.device = devices(request);
        if (output.trace) deps.decorate = TraceTo(err, PortLabelOf(request));
        sessions.push_back(std::make_unique<CLoadSession>(request, std::move(deps)));
        labels.push_back(sessions.back()->PortLabel());
    }
    CPortRows portRows(human, labels);
    for (std::size_t i = 0; i < requests.size(); ++i) {
        PortView& v = views[i];
        if (output.json) {
            v.events = std::make_unique<CJsonEvents>(out, labels[i], output.start);
            v.events->Start(requests[i].probeOnly ? "probe" : "load", requests[i].verify);
        }
        if (rows) continue;
        std::ostream* target = &human;
        if (several) {
            v.prefixBuf = std::make_unique<CPrefixedLines>(human, labels[i] + ": ");
            v.prefixed = std::make_unique<std::ostream>(v.prefixBuf.get());
            target = v.prefixed.get();
        }
        const ReporterStyle style = several || output.json ? ReporterStyle{} : output.style;
        v.reporter = std::make_unique<CLoadReporter>(*target, err, style);
    }

    auto show = [&](std::size_t i, bool force) {
        CLoadSession& s = *sessions[i];
        const std::vector<CString> prompts = s.Prompts().Take();
        if (s.State().TakeChanged() || force) {
            if (views[i].reporter) views[i].reporter->Pass(s.State());
            if (views[i].events) views[i].events->Pass(s.State());
            if (rows) portRows.Pass(i, s.State());
        }
        for (const CString& text : prompts) {
            if (views[i].reporter) views[i].reporter->Prompt(text);
            if (views[i].events) views[i].events->Prompt(text);
        }
    };
    auto warn = [&](const std::string& text) {
        if (rows) portRows.Release();
        for (PortView& v : views) {
            if (v.reporter) v.reporter->Finish();
        }
        err << text << '\n' << std::flush;
    };

    // Before the workers start: the requests are taken here, between polls, and no other thread
    // sees them.
    CStopRequests stopRequests;
    for (auto& s : sessions) s->Start();

    CInterruptPolicy interrupts;
    StopRequest stoppedBy = StopRequest::None;
    auto allDone = [&] {
        return std::all_of(sessions.begin(), sessions.end(),
                           [](const auto& s) { return s->Done(); });
    };
    while (!allDone()) {
        const StopRequest stop = stopRequests.Next(std::chrono::milliseconds(100));
        if (stop == StopRequest::Interrupt) {
            switch (interrupts.OnInterrupt(std::chrono::steady_clock::now())) {
                case CInterruptPolicy::Action::Warn:
                    warn(std::string(kDamageWarning) +
                         "\nPress Ctrl-C again within 5 seconds to stop the load.");
                    break;
                case CInterruptPolicy::Action::Stop:
                    warn(several ? "Stopping every load..." : "Stopping the load...");
                    stoppedBy = StopRequest::Interrupt;
                    for (auto& s : sessions) s->Cancel();
                    break;
                case CInterruptPolicy::Action::ForceExit: warn(""); ExitAtOnce(kExitInterrupted);
            }
        } else if (stop != StopRequest::None) {
            // Asked to end by the system or by a closed terminal: there is no one to warn.
            if (stoppedBy == StopRequest::None) stoppedBy = stop;
            for (auto& s : sessions) s->Cancel();
        }
        for (std::size_t i = 0; i < sessions.size(); ++i) show(i, false);
        if (rows) portRows.Draw();
    }

    std::vector<int> statuses;
    std::vector<PortSummary> summary;
    std::string verdicts;
    std::string advice;
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        CLoadSession& s = *sessions[i];
        const LoadRequest& request = requests[i];
        const LoadOutcome outcome = s.Join();
        show(i, true);
        if (views[i].reporter) views[i].reporter->Finish();
        if (outcomes != nullptr) outcomes->push_back(outcome);

        const std::string prefix = several ? labels[i] + ": " : "";
        const SessionEnd end =
            JudgeSessionEnd(request, outcome, labels[i], s.DevicePath(), stoppedBy);
        verdicts += Prefixed(end.verdict, prefix);
        advice += Prefixed(end.advice, prefix);
        advice += Prefixed(RecordProblem(outcome), prefix);
        if (views[i].events) ReportSessionEnd(*views[i].events, request, outcome, end);
        const int exitStatus = end.exitStatus;
        statuses.push_back(exitStatus);
        summary.push_back({labels[i], end.outcomeText, exitStatus});
    }
    if (rows) portRows.Release();
    human << verdicts;
    err << advice;
    if (several) human << '\n' << SummaryTable(summary);
    human.flush();
    err.flush();
    return statuses;
}

GroupOutput ProcessOutput(const CliOptions& options) {
    GroupOutput output;
    output.out = &std::cout;
    output.err = &std::cerr;
    output.style = StyleForStdout();
    output.json = options.json;
    output.trace = options.trace;
    return output;
}

int RunSessions(const CliOptions& options) {
    const GroupOutput output = ProcessOutput(options);
    std::ostream& human = options.json ? std::cerr : std::cout;
    if (const std::string problem = DevicesFolderProblem(); !problem.empty())
        std::cerr << "morvane-cli: " << problem << '\n';

    std::vector<LoadRequest> requests;
    LoadRequest base;
    base.verify = options.verify;
    base.skipCurrent = options.skipCurrent;
    base.probeOnly = options.probe;
    base.log = LogTargetOf(options);
    base.program = "morvane-cli";
    if (options.allProbed) {
        CArray<SSerInfo, SSerInfo&> ports;
        try {
            EnumerateComPorts(ports);
        } catch (const ComEnumError& e) {
            std::cerr << "morvane-cli: the serial ports could not be listed: " << e.what() << '\n';
            return kExitPortFailed;
        }
        std::vector<LoadRequest> probes;
        for (const SSerInfo& p : ports) {
            LoadRequest probe;
            probe.comPort = AtoI(std::string_view(p.portName).substr(3));
            probe.probeOnly = true;
            if (probe.comPort > 0) probes.push_back(probe);
        }
        if (probes.empty()) {
            std::cerr << "morvane-cli: no serial ports found (--list shows what is there).\n";
            return kExitNotDetected;
        }
        human << "Looking for receivers on " << probes.size() << " port(s)...\n" << std::flush;
        // Looking for receivers loads nothing: the record holds the loads that follow.
        const std::vector<int> probed = RunGroup(probes, output);
        for (std::size_t i = 0; i < probes.size(); ++i) {
            if (probed[i] != kExitLoaded) continue;
            LoadRequest load = base;
            load.comPort = probes[i].comPort;
            load.probeOnly = false;
            requests.push_back(load);
        }
        if (requests.empty()) {
            std::cerr << "morvane-cli: no receiver answered on any port.\n";
            return WorstExitStatus(probed) == kExitLoaded ? kExitNotDetected
                                                          : WorstExitStatus(probed);
        }
        human << "Loading " << requests.size() << " receiver(s)...\n" << std::flush;
    } else if (!options.comPorts.empty()) {
        for (const int com : options.comPorts) {
            LoadRequest r = base;
            r.comPort = com;
            requests.push_back(r);
        }
    } else {
        LoadRequest r = base;
        r.portPath = options.portPath;
        requests.push_back(r);
    }
    return WorstExitStatus(RunGroup(requests, output));
}

}  // namespace morvane
