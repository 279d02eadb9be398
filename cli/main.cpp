// morvane-cli: the window's load, run from a terminal or a script.
#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include "cli/cli_args.h"
#include "cli/exit_status.h"
#include "cli/load_session.h"
#include "cli/multi_load.h"
#include "cli/progress_view.h"
#include "record/loader_status.h"
#include "serial/enumerate_com_ports.h"
#include "serial/open_error_facts.h"
#include "view/open_error_text.h"
#include "view/status_view.h"

namespace morvane {
namespace {

int ListPorts() {
    CArray<SSerInfo, SSerInfo&> ports;
    try {
        EnumerateComPorts(ports);
    } catch (const ComEnumError& e) {
        std::cerr << "morvane-cli: the serial ports could not be listed: " << e.what() << '\n';
        return kExitPortFailed;
    }
    if (ports.empty()) {
        std::cout << "No serial ports found.\n";
        return kExitLoaded;
    }
    for (const SSerInfo& p : ports) {
        std::cout << p.portName << "  "
                  << (p.friendlyName.empty() ? std::string("-") : p.friendlyName) << "  "
                  << p.devicePath << "  " << (p.isUsb ? "USB" : "not USB") << '\n';
    }
    return kExitLoaded;
}

// Shows what the worker published since the last pass, the message boxes after the record so
// that "Load Completed" follows the status that preceded it.
void ShowProgress(CLoadSession& session, CLoadReporter& reporter, bool force) {
    const std::vector<CString> prompts = session.Prompt().Take();
    if (session.State().TakeChanged() || force) reporter.Pass(session.State());
    for (const CString& text : prompts) reporter.Prompt(text);
}

int RunLoad(const CliOptions& options) {
    LoadRequest request;
    request.comPort = options.comPort;
    request.portPath = options.portPath;
    request.trace = options.trace;

    // Signals go to this thread only, which takes them between polls; the worker and the
    // serial receive thread inherit the mask and never see them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A reader of our output that went away (`| head`) must not end the load half-way.
    std::signal(SIGPIPE, SIG_IGN);

    CLoadReporter reporter(std::cout, std::cerr, StyleForStdout());
    CLoadSession session(request, std::cerr);
    CInterruptPolicy interrupts;
    int stopSignal = 0;
    session.Start();

    while (!session.Done()) {
        timespec tick{0, 100 * 1000 * 1000};
        const int sig = sigtimedwait(&signals, nullptr, &tick);
        if (sig == SIGINT) {
            switch (interrupts.OnInterrupt(std::chrono::steady_clock::now())) {
                case CInterruptPolicy::Action::Warn:
                    reporter.Warn(std::string(kDamageWarning) +
                                  "\nPress Ctrl-C again within 5 seconds to stop the load.");
                    break;
                case CInterruptPolicy::Action::Stop:
                    reporter.Warn("Stopping the load...");
                    stopSignal = SIGINT;
                    session.Cancel();
                    break;
                case CInterruptPolicy::Action::ForceExit:
                    reporter.Finish();
                    std::_Exit(kExitInterrupted);
            }
        } else if (sig == SIGTERM || sig == SIGHUP) {
            // Asked to end by the system or by a closed terminal: there is no one to warn.
            if (stopSignal == 0) stopSignal = sig;
            session.Cancel();
        }
        ShowProgress(session, reporter, false);
    }
    const LoadOutcome outcome = session.Join();
    ShowProgress(session, reporter, true);
    reporter.Finish();

    if (outcome.cancelled) {
        std::cerr << "morvane-cli: the load was stopped; the receiver may need a new load.\n";
        return stopSignal == SIGINT || stopSignal == 0 ? kExitInterrupted : 128 + stopSignal;
    }
    if (!outcome.failure.empty()) {
        std::cerr << "morvane-cli: the load failed: " << outcome.failure << '\n';
        return kExitLoadFailed;
    }

    const std::string label = session.PortLabel();
    const std::string& devicePath = session.DevicePath();
    const SLoaderState& state = session.State();
    std::cerr << AdviceAfterLoad(outcome, label, devicePath, state.GetSentBytes(),
                                 state.GetTotalBytes());
    if (outcome.status == STATUS_INVALID_PORT) {
        OpenError error = outcome.openError;
        if (error.devicePath.empty()) error.devicePath = devicePath;
        std::cerr << ExplainOpenError(error, label, options.comPort, GatherOpenErrorFacts(error));
    }
    return ExitStatusForLoad(outcome.status);
}

}  // namespace
}  // namespace morvane

int main(int argc, char** argv) {
    using namespace morvane;
    const CliOptions options = ParseCommandLine(std::vector<std::string>(argv, argv + argc));
    switch (options.action) {
        case CliAction::Exit:
            std::cout << options.outText;
            std::cerr << options.errText;
            return options.exitStatus;
        case CliAction::List: return ListPorts();
        case CliAction::Load:
            if (options.probe || options.verify || options.json || options.allProbed ||
                options.comPorts.size() > 1)
                return RunSessions(options);
            return RunLoad(options);
    }
    return kExitUsage;
}
