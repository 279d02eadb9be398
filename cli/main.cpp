// morvane-cli: the window's load, run from a terminal or a script. Every load, probe and
// verification runs on the load runner, one port or many. What differs by platform (stop
// requests, the console, port names) is behind cli_platform.h and stop_requests.h.
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli_args.h"
#include "cli/cli_platform.h"
#include "cli/exit_status.h"
#include "cli/load_runner.h"
#include "platform/text.h"
#include "serial/enumerate_com_ports.h"

namespace morvane {
namespace {

// The serial ports found; nothing, with the reason on stderr, when they could not be listed.
std::optional<CArray<SSerInfo, SSerInfo&>> FoundPorts() {
    CArray<SSerInfo, SSerInfo&> ports;
    try {
        EnumerateComPorts(ports);
    } catch (const ComEnumError& e) {
        std::cerr << "morvane-cli: the serial ports could not be listed: " << e.what() << '\n';
        return std::nullopt;
    }
    return ports;
}

int ListPorts() {
    const auto ports = FoundPorts();
    if (!ports) return kExitPortFailed;
    if (ports->empty()) {
        std::cout << "No serial ports found.\n";
        return kExitLoaded;
    }
    for (const SSerInfo& p : *ports) {
        std::cout << p.portName << "  "
                  << (p.friendlyName.empty() ? std::string("-") : p.friendlyName) << "  "
                  << p.devicePath << "  " << (p.isUsb ? "USB" : "not USB") << '\n';
    }
    return kExitLoaded;
}

// Loads, probes and verifications, on one port or several: the exit status.
int RunLoads(const CliOptions& options) {
    RunnerOutput output;
    output.out = &std::cout;
    output.err = &std::cerr;
    output.style = StyleForStdout();
    output.json = options.json;
    output.trace = options.trace;

    LoadRequest base;
    base.verify = options.verify;
    base.probeOnly = options.probe;
    if (options.allProbed) {
        const auto ports = FoundPorts();
        if (!ports) return kExitPortFailed;
        std::vector<int> comPorts;
        for (const SSerInfo& p : *ports) {
            const int com = AtoI(std::string_view(p.portName).substr(3));
            if (com > 0) comPorts.push_back(com);
        }
        if (comPorts.empty()) {
            std::cerr << "morvane-cli: no serial ports found (--list shows what is there).\n";
            return kExitNotDetected;
        }
        return LoadWhereProbed(comPorts, base, output);
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
    return WorstExitStatus(RunGroup(requests, output).ExitStatuses());
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
        case CliAction::List: return ListPorts();
        case CliAction::Load: return RunLoads(options);
    }
    return kExitUsage;
}
