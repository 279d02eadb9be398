#include "cli/cli_args.h"

#include <CLI/CLI.hpp>
#include <sstream>

#include "cli/cli_platform.h"
#include "platform/text.h"
#include "res/firmware_image.h"
#include "serial/port_identity.h"

#ifndef MORVANE_VERSION
#define MORVANE_VERSION "0.0.0.0"
#endif

namespace morvane {
namespace {

constexpr const char* kProgramName = "morvane-cli";

CliOptions UsageError(std::string text) {
    CliOptions o;
    o.action = CliAction::Exit;
    o.exitStatus = 1;
    o.errText = std::string(kProgramName) + ": " + std::move(text) +
                "\nRun with --help for more information.\n";
    return o;
}

}  // namespace

std::string VersionText() {
    return std::string("Morvane Firmware Updater ") + MORVANE_VERSION + "\n" + "Carries " +
           kModelName + " firmware " + kFirmwareVersion;
}

std::vector<std::string> NormaliseArguments(const std::vector<std::string>& args) {
    std::vector<std::string> out = args;
    for (std::size_t i = 1; i < out.size(); ++i) {
        if (out[i] == "--") break;
        if (EqualsNoCase(out[i], "-com") || EqualsNoCase(out[i], "--com")) out[i] = "--com";
    }
    return out;
}

SLoadLogTarget LogTargetOf(const CliOptions& options) {
    return {!options.noLog, options.logFile, !options.noLog};
}

CliOptions ParseCommandLine(const std::vector<std::string>& rawArgs) {
    const std::vector<std::string> args = NormaliseArguments(rawArgs);

    CliOptions o;
    CLI::App app{
        "Updates the firmware of a Tundro W6 receiver on a serial port with the image this\n"
        "program carries (the same load as the Morvane window).",
        kProgramName};
    // The statuses every system shares are listed once; the platform adds its signals and examples.
    app.footer(
        std::string(
            "Exit status:\n"
            "  0    the image was sent completely\n"
            "  1    usage error\n"
            "  2    the port could not be opened (or, with --list, the ports could not be listed)\n"
            "  3    the receiver was not detected\n"
            "  4    the transfer failed\n"
            "  5    --verify: the receiver did not report the new firmware after its restart\n"
            "  130  stopped with Ctrl-C (pressed twice)\n") +
        HelpSignalExits() +
        "With several ports the exit status is the worst outcome among them (4, 5, 3, 2, then "
        "0);\nwith --watch, of the loads it ran (a port where nothing answered ran none).\n"
        "A PC on battery below 10 % is refused a load with exit 2 (--ignore-battery loads "
        "anyway).\n"
        "--line-check: 0 every byte came back unchanged and every pause was kept, 2 the port "
        "could not be opened, 4 otherwise.\n\n" +
        HelpExamples());
    app.set_version_flag("--version", VersionText(),
                         "Print the version and the firmware carried, then exit");

    // The port number is checked here rather than by a range validator, whose wording would
    // show up in --help; the options that exclude each other are checked after parsing so the
    // message can say why.
    const CLI::Validator comNumber(
        [](std::string& value) -> std::string {
            const bool digits = !value.empty() && value.size() <= 6 &&
                                value.find_first_not_of("0123456789") == std::string::npos;
            if (!digits || std::stoi(value) == 0)
                return "a COM port number is 1 or more, not '" + value + "'";
            return {};
        },
        "", "COM number");
    CLI::Option* com =
        app.add_option("--com", o.comPorts,
                       "Load the receiver on COM port N (also: -com N); give it again for more "
                       "ports, loaded side by side")
            ->check(comNumber)
            ->type_name("N");
    CLI::Option* port =
        app.add_option("--port", o.portPath, PortOptionHelp())->type_name(PortOptionValueName());
    bool listPorts = false;
    app.add_flag("--list", listPorts,
                 "List the serial ports found, then exit (with --json: one JSON object a port)");
    app.add_flag("--trace", o.trace, "Write every byte sent and received, timestamped, to stderr");
    app.add_flag("--probe", o.probe,
                 "Only look for the receiver, as a load does, and report its firmware version; "
                 "nothing is loaded (exit 0 found, 3 not)");
    app.add_flag("--verify", o.verify,
                 "After the load, wait for the receiver to restart and check that it reports the "
                 "new firmware (exit 5 when it does not)");
    bool force = false;
    app.add_flag("--skip-current", o.skipCurrent,
                 Format("Leave a receiver that already reports firmware %s as it is: nothing is "
                        "sent after its detection (exit 0, \"skipped\")",
                        kFirmwareVersion));
    app.add_flag("--force", force,
                 "Load a receiver whatever firmware it reports (the default; the opposite of "
                 "--skip-current)");
    app.add_flag("--all-probed", o.allProbed,
                 "Probe every serial port found and load each one where a receiver answers");
    app.add_flag("--ignore-battery", o.ignoreBattery,
                 "Load even when the PC runs on a battery below 10 %");
    bool lineCheck = false;
    app.add_flag("--line-check", lineCheck,
                 "Check the port's adapter instead of loading: with its TX and RX joined (a "
                 "loopback plug), send blocks at a load's pace and report what came back; with a "
                 "second --com crossed to the first, send on the first and read on the second");
    app.add_flag("--watch", o.watch,
                 "Wait for receivers and load each one plugged from now on, verified, skipping "
                 "those already current, until Ctrl-C; ports there at the start are left alone "
                 "unless named with --com");
    std::vector<std::string> matchTexts;
    app.add_option("--match", matchTexts,
                   "With --watch: only USB ports whose adapter has these ids (hexadecimal, as "
                   "--list shows them); give it again for more kinds")
        ->type_name("VID:PID[:SERIAL]");
    bool noVerify = false;
    app.add_flag("--no-verify", noVerify, "With --watch: do not verify the loads");
    std::string serveText;
    CLI::Option* serve =
        app.add_option("--serve", serveText,
                       "With --watch: show the bench as a page that browsers open at "
                       "http://ADDR:PORT/ (ADDR 127.0.0.1, this PC only, unless given)")
            ->type_name("[ADDR:]PORT");
    app.add_flag("--open", o.openPage,
                 "With --serve: open the page in the default browser once it is served");
    app.add_flag("--json", o.json,
                 "Write events as JSON, one object per line, to stdout; human text goes to "
                 "stderr");
    CLI::Option* log =
        app.add_option("--log", o.logFile,
                       std::string("Append the record of each load to FILE instead of ") +
                           DefaultLogFileHelp())
            ->type_name("FILE");
    app.add_flag("--no-log", o.noLog,
                 "Keep no record of the loads, in the file or the system's log");
    std::string historyCount;
    CLI::Option* history =
        app.add_option("--history", historyCount,
                       "Print the last N records of loads (20 when N is not given), then exit")
            ->expected(0, 1)
            ->type_name("[N]");

    std::vector<const char*> argv;
    argv.reserve(args.size());
    for (const std::string& a : args) argv.push_back(a.c_str());
    if (argv.empty()) argv.push_back(kProgramName);

    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::ParseError& e) {
        std::ostringstream out;
        std::ostringstream err;
        const int code = app.exit(e, out, err);
        // The parser's errors read as the program's own, led by its name; CLI11 has its own
        // numbers for kinds of them, and to a script they are all one.
        if (code != 0) return UsageError(e.what());
        o = CliOptions{};
        o.action = CliAction::Exit;  // --help, --version
        o.outText = out.str();
        return o;
    }

    const bool byNumber = com->count() > 0;
    const bool byPath = port->count() > 0;
    if (!o.comPorts.empty()) o.comPort = o.comPorts.front();
    const bool loadOptions = byNumber || byPath || o.trace || o.probe || o.verify || o.allProbed ||
                             o.skipCurrent || force || lineCheck || o.ignoreBattery || o.watch;
    if (log->count() > 0 && o.logFile.empty()) return UsageError("--log needs a file name");
    if (log->count() > 0 && o.noLog) return UsageError("--log FILE or --no-log, not both");
    if (history->count() > 0) {
        if (listPorts || loadOptions || o.json || o.noLog)
            return UsageError("--history stands alone (but for --log FILE): it loads nothing");
        const bool digits = historyCount.size() <= 6 &&
                            historyCount.find_first_not_of("0123456789") == std::string::npos;
        if (!digits || (!historyCount.empty() && std::stoi(historyCount) == 0))
            return UsageError("--history takes a number of records, 1 or more, not '" +
                              historyCount + "'");
        o.historyCount = historyCount.empty() ? kDefaultHistoryCount
                                              : static_cast<std::size_t>(std::stoi(historyCount));
        o.action = CliAction::History;
        return o;
    }
    if (listPorts) {
        if (loadOptions || log->count() > 0 || o.noLog)
            return UsageError("--list stands alone (but for --json): it loads nothing");
        o.action = CliAction::List;
        return o;
    }
    if (lineCheck && (o.trace || o.probe || o.verify || o.allProbed || o.json || o.ignoreBattery ||
                      o.skipCurrent || force || o.watch || o.comPorts.size() > 2))
        return UsageError("--line-check takes one port (--com N or --port " +
                          std::string(PortOptionValueName()) +
                          "), or two crossed ports (--com N --com M), and nothing else");
    if (o.probe && o.verify)
        return UsageError("--probe loads nothing, so there is nothing to --verify");
    if (o.skipCurrent && force)
        return UsageError("--skip-current and --force contradict each other: give one");
    if (o.probe && (o.skipCurrent || force))
        return UsageError("--probe loads nothing, so there is nothing to skip or force");
    if (o.openPage && serve->count() == 0) return UsageError("--open belongs to --serve");
    if (!o.watch && (!matchTexts.empty() || noVerify || serve->count() > 0))
        return UsageError(std::string(serve->count() > 0   ? "--serve"
                                      : matchTexts.empty() ? "--no-verify"
                                                           : "--match") +
                          " belongs to --watch");
    if (o.watch && (o.probe || o.allProbed || byPath))
        return UsageError(
            "--watch finds the ports itself and loads them: leave out --probe, --all-probed and "
            "--port (--com N adds a port that is there already)");
    if (o.allProbed) {
        if (byNumber || byPath)
            return UsageError("--all-probed finds the ports itself: leave out --com and --port");
        if (o.probe) return UsageError("--all-probed probes, then loads: leave out --probe");
        o.action = CliAction::Load;
        return o;
    }
    if (byNumber && byPath)
        return UsageError("name the port once: --com N or --port PATH, not both");
    for (std::size_t i = 0; i < o.comPorts.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (o.comPorts[i] == o.comPorts[j])
                return UsageError(ComPortName(o.comPorts[i]) +
                                  " is named twice; one load per port");
        }
    }
    if (o.watch) {
        if (o.verify && noVerify)
            return UsageError("--verify and --no-verify contradict each other: give one");
        for (const std::string& text : matchTexts) {
            std::string error;
            const std::optional<SPortMatch> match = ParsePortMatch(text, error);
            if (!match) return UsageError(error);
            o.matches.push_back(*match);
        }
        if (serve->count() > 0) {
            o.serve = ParseServeAddress(serveText);
            if (!o.serve)
                return UsageError(
                    "--serve takes PORT or ADDRESS:PORT, the port 1 to 65535 "
                    "(8080, 0.0.0.0:8080, [::1]:8080), not '" +
                    serveText + "'");
        }
        o.verify = !noVerify;
        o.skipCurrent = !force;
        o.action = CliAction::Load;
        return o;
    }
    if (!byNumber && !byPath) {
        return UsageError(
            "name the receiver's port with --com N or --port PATH (--list shows the ports)");
    }
    if (byPath) {
        const PortArgument named = ReadPortArgument(o.portPath);
        if (!named.error.empty()) return UsageError(named.error);
        o.comPort = named.comPort;
        o.portPath = named.path;
        if (named.comPort != 0) o.comPorts = {named.comPort};
    }
    o.action = lineCheck ? CliAction::LineCheck : CliAction::Load;
    return o;
}

}  // namespace morvane
