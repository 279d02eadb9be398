// The command line of morvane-cli: which port to load, or what else to do instead.
//
// Parsing is kept apart from running so that every combination of options can be checked
// without a port, and so that --help and --version texts are produced in one place.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "cli/bench_server.h"
#include "cli/watch_ports.h"
#include "session/load_record_file.h"

namespace morvane {

enum class CliAction {
    Load,       // load (or with --probe, look for) the receivers on the ports named
    List,       // list the ports and stop
    History,    // print the last records of loads and stop
    LineCheck,  // send blocks at a load's pace on a port whose TX and RX are joined, read them back
    Exit,       // nothing to run: help, version or a usage error; print the texts and exit
};

struct CliOptions {
    CliAction action = CliAction::Exit;
    int comPort = 0;            // the first --com N; 0 when not given
    std::vector<int> comPorts;  // every --com N, in the order given
    std::string portPath;       // --port PATH; empty when not given
    bool trace = false;         // --trace: the wire traffic on stderr
    bool probe = false;         // --probe: detection only, nothing sent after it
    bool verify = false;        // --verify: detection again after the load, for the new version
    bool json = false;          // --json: events on stdout, human text on stderr
    bool allProbed = false;  // --all-probed: probe every port found, load where a receiver answered
    bool noLog = false;      // --no-log: no record of the loads
    std::string logFile;     // --log FILE: the record of loads goes there; empty: the default file
    std::size_t historyCount = 0;  // --history [N]: how many records to show
    // --skip-current: a receiver already on the carried firmware gets nothing; --force (the
    // default) loads it all the same.
    bool skipCurrent = false;
    bool ignoreBattery = false;  // --ignore-battery: load even on a nearly flat battery
    // --watch: load each receiver plugged from now on, until stopped; verified and skipping the
    // current ones unless --no-verify or --force say otherwise.
    bool watch = false;
    std::vector<SPortMatch> matches;    // --match VID:PID[:SERIAL]
    std::optional<ServeAddress> serve;  // --serve [ADDR:]PORT: the bench's page (with --watch)
    bool openPage = false;              // --open: the page in the default browser (with --serve)

    // For CliAction::Exit: what to print and the exit status.
    int exitStatus = 0;
    std::string outText;  // for stdout (help, version)
    std::string errText;  // for stderr (usage errors)
};

// The records --history shows when it is given no number.
inline constexpr std::size_t kDefaultHistoryCount = 20;

// "Morvane Firmware Updater 1.0.0.0" and the model and firmware the program carries.
[[nodiscard]] std::string VersionText();

// The window takes "-com N"; accept it (in any letter case) as "--com N" so that a shortcut or
// script written for the window works with the terminal program too.
[[nodiscard]] std::vector<std::string> NormaliseArguments(const std::vector<std::string>& args);

// Where --log and --no-log send the record of loads.
[[nodiscard]] SLoadLogTarget LogTargetOf(const CliOptions& options);

// Parses the arguments after the program name (args[0] is the program name).
[[nodiscard]] CliOptions ParseCommandLine(const std::vector<std::string>& args);

}  // namespace morvane
