// morvane-cli: the window's load, run from a terminal or a script. What differs by platform
// (stop requests, the console, port names) is behind cli_platform.h and stop_requests.h.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "cli/cli_args.h"
#include "cli/cli_platform.h"
#include "cli/exit_status.h"
#include "cli/line_check.h"
#include "cli/listings.h"
#include "cli/multi_load.h"
#include "cli/progress_view.h"
#include "cli/stop_requests.h"
#include "cli/trace_comm_dev.h"
#include "cli/watch.h"
#include "platform/power.h"
#include "platform/text.h"
#include "record/loader_status.h"
#include "serial/enumerate_com_ports.h"
#include "session/load_session.h"
#include "view/open_error_text.h"
#include "view/status_view.h"

namespace morvane {
namespace {

// A devices folder that is none is said before the list or the load it changes.
void SayDevicesFolderProblem() {
    if (const std::string problem = DevicesFolderProblem(); !problem.empty())
        std::cerr << "morvane-cli: " << problem << '\n';
}

int ListPorts(bool json) {
    SayDevicesFolderProblem();
    CArray<SSerInfo, SSerInfo&> ports;
    try {
        EnumerateComPorts(ports);
    } catch (const ComEnumError& e) {
        std::cerr << "morvane-cli: the serial ports could not be listed: " << e.what() << '\n';
        return kExitPortFailed;
    }
    // As JSON, no ports is no lines: a script reading them needs no special case.
    if (ports.empty() && !json) std::cout << "No serial ports found.\n";
    for (const SSerInfo& p : ports) std::cout << (json ? PortListJson(p) : PortListLine(p)) << '\n';
    return kExitLoaded;
}

int ShowHistory(const CliOptions& options) {
    const std::string path = LoadLogPath(LogTargetOf(options));
    if (path.empty()) {
        std::cerr << "morvane-cli: this system names no folder for the record of loads; name the "
                     "file with --log FILE.\n";
        return kExitUsage;
    }
    const SLoadHistory history = ReadLoadHistory(path, options.historyCount);
    if (!history.found) {
        std::cout << "No loads recorded yet (" << path << " cannot be read).\n";
        return kExitLoaded;
    }
    if (history.records.empty() && history.damagedLines == 0) {
        std::cout << "No loads recorded yet in " << path << ".\n";
        return kExitLoaded;
    }
    std::cout << HistoryTable(history);
    return kExitLoaded;
}

// Shows what the worker published since the last pass, the message boxes after the record so
// that "Load Completed" follows the status that preceded it.
void ShowProgress(CLoadSession& session, CLoadReporter& reporter, bool force) {
    const std::vector<CString> prompts = session.Prompts().Take();
    if (session.State().TakeChanged() || force) reporter.Pass(session.State());
    for (const CString& text : prompts) reporter.Prompt(text);
}

int RunLoad(const CliOptions& options) {
    LoadRequest request;
    request.comPort = options.comPort;
    request.portPath = options.portPath;
    request.log = LogTargetOf(options);
    request.program = "morvane-cli";

    // Before the worker starts: the requests are taken here, between polls, and no other thread
    // sees them.
    CStopRequests stopRequests;

    SayDevicesFolderProblem();
    CLoadReporter reporter(std::cout, std::cerr, StyleForStdout());
    SessionDeps deps;
    deps.awakeReason = kDamageWarning;
    if (options.trace) deps.decorate = TraceTo(std::cerr, PortLabelOf(request));
    CLoadSession session(request, std::move(deps));
    CInterruptPolicy interrupts;
    StopRequest stoppedBy = StopRequest::None;
    session.Start();

    while (!session.Done()) {
        const StopRequest stop = stopRequests.Next(std::chrono::milliseconds(100));
        if (stop == StopRequest::Interrupt) {
            switch (interrupts.OnInterrupt(std::chrono::steady_clock::now())) {
                case CInterruptPolicy::Action::Warn:
                    reporter.Warn(std::string(kDamageWarning) +
                                  "\nPress Ctrl-C again within 5 seconds to stop the load.");
                    break;
                case CInterruptPolicy::Action::Stop:
                    reporter.Warn("Stopping the load...");
                    stoppedBy = StopRequest::Interrupt;
                    session.Cancel();
                    break;
                case CInterruptPolicy::Action::ForceExit:
                    reporter.Finish();
                    ExitAtOnce(kExitInterrupted);
            }
        } else if (stop != StopRequest::None) {
            // Asked to end by the system or by a closed terminal: there is no one to warn.
            if (stoppedBy == StopRequest::None) stoppedBy = stop;
            session.Cancel();
        }
        ShowProgress(session, reporter, false);
    }
    const LoadOutcome outcome = session.Join();
    ShowProgress(session, reporter, true);
    reporter.Finish();
    std::cerr << RecordProblem(outcome);

    if (outcome.cancelled) {
        std::cerr << "morvane-cli: the load was stopped; the receiver may need a new load.\n";
        return ExitStatusForStop(stoppedBy);
    }
    if (!outcome.failure.empty()) {
        std::cerr << "morvane-cli: the load failed: " << outcome.failure << '\n';
        return kExitLoadFailed;
    }

    const std::string label = session.PortLabel();
    std::cerr << AdviceAfterLoad(outcome, label, session.DevicePath());
    if (outcome.status == STATUS_INVALID_PORT)
        std::cerr << ExplainOpenError(outcome.openError, label, options.comPort, outcome.openFacts);
    return ExitStatusForLoad(outcome.status);
}

// Before any port opens: a PC about to run flat does not start a load it may not finish. A probe
// sends nothing that could be cut off.
bool RefusedForBattery(const CliOptions& options) {
    if (options.probe || options.ignoreBattery) return false;
    const SBatteryReading battery = SystemPowerService().ReadBattery();
    if (!BatteryTooLowToLoad(battery)) return false;
    std::cerr << "morvane-cli: " << kLowBatteryText << '\n'
              << Format("  The battery is at %d %%; --ignore-battery loads all the same.\n",
                        battery.percent);
    return true;
}

int RunWatchFromOptions(const CliOptions& options) {
    const GroupOutput output = ProcessOutput(options);
    WatchOptions watch;
    watch.rules.named = options.comPorts;
    watch.rules.matches = options.matches;
    watch.verify = options.verify;
    watch.skipCurrent = options.skipCurrent;
    watch.log = LogTargetOf(options);
    if (const std::string problem = DevicesFolderProblem(); !problem.empty())
        std::cerr << "morvane-cli: " << problem << '\n';
    // Before any worker starts: the requests are taken on this thread, between polls.
    CStopRequests stopRequests;
    return RunWatch(watch, output, RealWatchDeps(&stopRequests, output));
}

}  // namespace
}  // namespace morvane

int main(int argc, char** argv) {
    using namespace morvane;
    PrepareOutput();
    const CliOptions options = ParseCommandLine(std::vector<std::string>(argv, argv + argc));
    switch (options.action) {
        case CliAction::Exit:
            std::cout << options.outText;
            std::cerr << options.errText;
            return options.exitStatus;
        case CliAction::List: return ListPorts(options.json);
        case CliAction::History: return ShowHistory(options);
        case CliAction::LineCheck: return LineCheckCommand(options, std::cout, std::cerr);
        case CliAction::Load:
            if (RefusedForBattery(options)) return kExitPortFailed;
            if (options.watch) return RunWatchFromOptions(options);
            if (options.probe || options.verify || options.json || options.allProbed ||
                options.skipCurrent || options.comPorts.size() > 1)
                return RunSessions(options);
            return RunLoad(options);
    }
    return kExitUsage;
}
