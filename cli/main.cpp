// morvane-cli: the window's load, run from a terminal or a script. Every load, probe and
// verification runs on the load runner, one port or many. What differs by platform (stop
// requests, the console, port names) is behind cli_platform.h and stop_requests.h.
#include <ctime>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/bench_server.h"
#include "cli/cli_args.h"
#include "cli/cli_platform.h"
#include "cli/exit_status.h"
#include "cli/line_check.h"
#include "cli/listings.h"
#include "cli/load_runner.h"
#include "cli/watch.h"
#include "platform/debug.h"
#include "platform/power.h"
#include "platform/text.h"
#include "res/firmware_image.h"
#include "serial/enumerate_com_ports.h"
#include "session/load_recorder.h"
#include "view/status_view.h"

namespace morvane {
namespace {

// A devices folder that is none is said before the list or the load it changes.
void SayDevicesFolderProblem() {
    if (const std::string problem = DevicesFolderProblem(); !problem.empty())
        std::cerr << "morvane-cli: " << problem << '\n';
}

// The serial ports found; nothing, with the reason on stderr, when they could not be listed.
std::optional<CArray<SSerInfo, SSerInfo&>> FoundPorts() {
    CArray<SSerInfo, SSerInfo&> ports;
    try {
        EnumerateComPorts(ports);
    } catch (const ComEnumError& e) {
        std::cerr << "morvane-cli: the serial ports could not be listed: " << e.what() << '\n';
        OutputDebugStringA(
            (std::string("morvane-cli: the ports could not be listed: ") + e.what() + "\n")
                .c_str());
        return std::nullopt;
    }
    return ports;
}

int ListPorts(bool json) {
    SayDevicesFolderProblem();
    const auto ports = FoundPorts();
    if (!ports) return kExitPortFailed;
    // As JSON, no ports is no lines: a script reading them needs no special case.
    if (ports->empty() && !json) std::cout << "No serial ports found.\n";
    for (const SSerInfo& p : *ports)
        std::cout << (json ? PortListJson(p) : PortListLine(p)) << '\n';
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
        OutputDebugStringA(("morvane-cli: history: " + path + " cannot be read\n").c_str());
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

// "http://bench-3:8080/": where a browser finds the page.
std::string PageAddress(const ServeAddress& at) {
    // A server on every address of the PC is reached by the PC's name.
    const bool any = at.host == "0.0.0.0" || at.host == "::";
    const bool v6 = !any && at.host.find(':') != std::string::npos;
    const std::string host = any ? HostName() : v6 ? "[" + at.host + "]" : at.host;
    return Format("http://%s:%d/", host.c_str(), at.port);
}

// What the page's header says that no event tells.
BenchHeader BenchHeaderNow() {
    const std::tm now = LocalTime(std::time(nullptr));
    return {HostName(), std::string(kModelName) + " " + kFirmwareVersion,
            Format("%04d-%02d-%02d %02d:%02d", now.tm_year + 1900, now.tm_mon + 1, now.tm_mday,
                   now.tm_hour, now.tm_min)};
}

// --watch, with the bench's page where --serve asks for it: the exit status.
int Watch(const CliOptions& options, const LoadRequest& load, RunnerOutput output,
          const SessionFactory& sessions) {
    WatchDeps deps;
    deps.makeSession = sessions;
    const WatchRules rules{options.comPorts, options.matches};
    if (!options.serve) return RunWatch(rules, load, output, deps);

    // The address is taken before any port is touched: one in use is said at once.
    const ServeAddress& at = *options.serve;
    CBenchFeed feed(BenchHeaderNow());
    CBenchServer server(feed, LoadLogPath(load.log));
    if (!server.Bind(at)) {
        std::cerr << Format(
            "morvane-cli: the bench's page cannot be served at %s port %d: the "
            "port is in use by another program, or the address is not one of "
            "this PC's.\n  Give another port (--serve %d), or free this one.\n",
            at.host.c_str(), at.port, at.port == 65535 ? 8080 : at.port + 1);
        return kExitPortFailed;
    }
    server.Start();
    output.alsoEvents = [&feed](const nlohmann::ordered_json& event) { feed.Publish(event); };
    const std::string page = PageAddress(at);
    output.Human() << "The bench's page: " << page << '\n' << std::flush;
    if (options.openPage && !OpenInBrowser(page))
        std::cerr << "morvane-cli: no browser could be opened: open " << page << " in one.\n";
    if (!IsLoopbackHost(at.host)) {
        std::cerr << "morvane-cli: the page is served on " << at.host << Format(" port %d", at.port)
                  << ": whoever reaches this PC there can see the bench (it cannot change it).\n";
    }
    const int status = RunWatch(rules, load, output, deps);
    server.Stop();
    return status;
}

// Loads, probes and verifications, on one port or several, or on each port plugged while a watch
// runs: the exit status.
int RunLoads(const CliOptions& options) {
    if (RefusedForBattery(options)) return kExitPortFailed;
    SayDevicesFolderProblem();

    RunnerOutput output;
    output.out = &std::cout;
    output.err = &std::cerr;
    output.style = StyleForStdout();
    output.json = options.json;
    // --trace: every port's wire on stderr.
    const SessionFactory sessions = ProductSessions(options.trace ? &std::cerr : nullptr);

    LoadRequest base;
    base.verify = options.verify;
    base.skipCurrent = options.skipCurrent;
    base.probeOnly = options.probe;
    base.log = LogTargetOf(options);
    base.program = "morvane-cli";
    if (options.watch) return Watch(options, base, output, sessions);
    if (options.allProbed) {
        const auto ports = FoundPorts();
        if (!ports) return kExitPortFailed;
        const std::vector<int> comPorts = PortsToProbe(*ports);
        if (comPorts.empty()) {
            std::cerr << "morvane-cli: no serial ports found (--list shows what is there).\n";
            return kExitNotDetected;
        }
        return LoadWhereProbed(comPorts, base, output, sessions);
    }

    std::vector<LoadRequest> requests;
    if (options.comPorts.empty()) {
        base.portPath = options.portPath;
        requests.push_back(base);
    }
    for (const int com : options.comPorts) {
        LoadRequest r = base;
        r.comPort = com;
        requests.push_back(r);
    }
    return RunGroup(requests, output, sessions).ExitStatus();
}

}  // namespace
}  // namespace morvane

int main(int argc, char** argv) {
    using namespace morvane;
    RestrictLibrarySearch();
    PrepareOutput();
    const CliOptions options = ParseCommandLine(ProgramArguments(argc, argv));
    switch (options.action) {
        case CliAction::Exit:
            std::cout << options.outText;
            std::cerr << options.errText;
            return options.exitStatus;
        case CliAction::List: return ListPorts(options.json);
        case CliAction::History: return ShowHistory(options);
        case CliAction::LineCheck: return LineCheckCommand(options, std::cout, std::cerr);
        case CliAction::Load: return RunLoads(options);
    }
    return kExitUsage;
}
