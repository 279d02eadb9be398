// Loads, probes and verifications on one port or several, shown for people or as JSON events.
//
// Every port gets a session of its own (its worker, record and probe cycle), so each one puts
// exactly a single load's timeline on its line, and a port that fails never stops the others.
// On a terminal several ports are shown one line each, redrawn in place; elsewhere every line
// starts with its port. A table sums them up at the end, and the exit status is the worst
// outcome among them.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "cli/cli_args.h"
#include "cli/progress_view.h"
#include "serial/serial_device.h"
#include "session/load_session.h"

namespace morvane {

// The exit status of a session that ran to its end.
[[nodiscard]] int ExitStatusForOutcome(const LoadRequest& request, const LoadOutcome& outcome);

// What to tell the user when the record of a load could not be written (the load's outcome
// stands all the same); empty when it was, or when there was none to write.
[[nodiscard]] std::string RecordProblem(const LoadOutcome& outcome);

// The worst of several exit statuses: a signal or Ctrl-C first, then a failed transfer (the
// receiver may hold no firmware), a failed verification, a receiver not found, a port that would
// not open, a usage error; 0 only when every one is 0.
[[nodiscard]] int WorstExitStatus(const std::vector<int>& statuses);

// One port's line in the closing table.
struct PortSummary {
    std::string port;
    std::string outcome;
    int exitStatus = 0;
};
[[nodiscard]] std::string SummaryTable(const std::vector<PortSummary>& rows);

// The ports on a terminal, one line each, redrawn in place when one changes.
class CPortRows {
public:
    static constexpr std::size_t kWidth = 79;  // a line that wraps would break the redraw

    CPortRows(std::ostream& out, std::vector<std::string> ports);
    void Pass(std::size_t port, const SLoaderState& state);
    void Draw();
    // Before other text: the next Draw starts below it instead of over it.
    void Release() { drawn_ = false; }

    // The line of one port: its name, status, percent and remaining time during the transfer.
    [[nodiscard]] static std::string Row(const std::string& port, const SLoaderState& state);

private:
    std::ostream& out_;
    std::vector<std::string> ports_;
    std::vector<std::string> rows_;
    bool dirty_ = true;
    bool drawn_ = false;
};

// Makes the serial device for a request; null: the real one.
using DeviceFactory = std::function<std::unique_ptr<ISerialDevice>(const LoadRequest&)>;

struct GroupOutput {
    std::ostream* out = nullptr;  // stdout
    std::ostream* err = nullptr;  // stderr
    ReporterStyle style;          // of stdout
    bool json = false;            // events on `out`, human text on `err`
    bool trace = false;           // every port's wire trace on `err`
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
};

// Runs the requests side by side and shows them until every one has ended. Ctrl-C, SIGTERM and
// SIGHUP are taken as in a single load (they must be blocked in the calling thread before it
// starts threads). Returns the exit status of each request, in order, and leaves what each
// session found in `outcomes`.
std::vector<int> RunGroup(const std::vector<LoadRequest>& requests, const GroupOutput& output,
                          std::vector<LoadOutcome>* outcomes = nullptr,
                          const DeviceFactory& devices = {});

// --probe, --verify, --json, several --com and --all-probed: the whole run; the exit status.
int RunSessions(const CliOptions& options);

}  // namespace morvane
