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
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "cli/cli_args.h"
#include "cli/json_events.h"
#include "cli/progress_view.h"
#include "cli/stop_requests.h"
#include "serial/serial_device.h"
#include "session/load_session.h"

namespace morvane {

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

// Every line of `text` with `prefix` in front.
[[nodiscard]] std::string Prefixed(const std::string& text, const std::string& prefix);

// The exit status of a session that ran to its end.
[[nodiscard]] int ExitStatusForOutcome(const LoadRequest& request, const LoadOutcome& outcome);

// What to tell the user when the record of a load could not be written (the load's outcome
// stands all the same); empty when it was, or when there was none to write.
[[nodiscard]] std::string RecordProblem(const LoadOutcome& outcome);

// The worst of several exit statuses: a signal or Ctrl-C first, then a failed transfer (the
// receiver may hold no firmware), a failed verification, a receiver not found, a port that would
// not open, a usage error; 0 only when every one is 0.
[[nodiscard]] int WorstExitStatus(const std::vector<int>& statuses);

// What a session's end comes to, for people and for the exit status.
struct SessionEnd {
    int exitStatus = 0;
    std::string message;      // what the result event says (its first line)
    std::string verdict;      // the probe's or verification's verdict, for stdout
    std::string advice;       // what to do about a failure, for stderr
    std::string outcomeText;  // the closing table's words
};
// `stoppedBy`: what stopped the loads, for a cancelled one's exit status.
[[nodiscard]] SessionEnd JudgeSessionEnd(const LoadRequest& request, const LoadOutcome& outcome,
                                         const std::string& label, const std::string& devicePath,
                                         StopRequest stoppedBy);
// The events a session's end writes: what its detection found, then its result.
void ReportSessionEnd(CJsonEvents& events, const LoadRequest& request, const LoadOutcome& outcome,
                      const SessionEnd& end);

// One port's line in the closing table.
struct PortSummary {
    std::string port;
    std::string outcome;
    int exitStatus = 0;
};
[[nodiscard]] std::string SummaryTable(const std::vector<PortSummary>& rows);

// A status's text without its "Status: " ("Updating Firmware"); empty for an unknown code.
[[nodiscard]] std::string ShortStatusText(std::int32_t status);

// What a port's line says of its load: the short status and, once the transfer started, its
// percent ("Updating Firmware           42%").
[[nodiscard]] std::string StatusColumn(const SLoaderState& state);

// The ports on a terminal, one line each, redrawn in place when one changes.
class CPortRows {
public:
    static constexpr std::size_t kWidth = 79;  // a line that wraps would break the redraw

    CPortRows(std::ostream& out, std::vector<std::string> ports);
    void Pass(std::size_t port, const SLoaderState& state);
    // A line of another kind's making; Add appends one (a port that came), at the bottom.
    void Set(std::size_t port, std::string row);
    std::size_t Add(std::string row);
    void Draw();
    // Before other text: the next Draw starts below it instead of over it.
    void Release() { drawnRows_ = 0; }

    // The line of one port: its name, status, percent and remaining time during the transfer.
    [[nodiscard]] static std::string Row(const std::string& port, const SLoaderState& state);

private:
    std::ostream& out_;
    std::vector<std::string> ports_;
    std::vector<std::string> rows_;
    bool dirty_ = true;
    std::size_t drawnRows_ = 0;  // 0: nothing drawn since the last Release
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

// The program's own stdout and stderr, shown as the options ask.
[[nodiscard]] GroupOutput ProcessOutput(const CliOptions& options);

// --probe, --verify, --json, several --com and --all-probed: the whole run; the exit status.
int RunSessions(const CliOptions& options);

}  // namespace morvane
