// How the load runner shows its ports while they run: one view per output mode, chosen once when
// the runner is made.
//
//   - progress lines (`progress_view`): one port as a single load is shown, redrawn in place on a
//     terminal; several elsewhere, every line led by its port;
//   - rows (`port_rows`): several ports on a terminal, one line each, redrawn in place;
//   - JSON events (`json_events`) on stdout, with the progress lines for people on stderr.
// Beside the mode's view, the same events may go elsewhere too (--serve: the bench's page).
//
// What a port's run came to (its result and advice) and the closing table are the runner's: they
// read the same in every mode.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "cli/json_events.h"
#include "cli/port_outcome.h"
#include "cli/progress_view.h"
#include "record/loader_state.h"
#include "session/load_session.h"

namespace morvane {

// Where the runner writes, and for whom.
struct RunnerOutput {
    std::ostream* out = nullptr;  // stdout
    std::ostream* err = nullptr;  // stderr
    ReporterStyle style;          // of stdout
    bool json = false;            // events on `out`, the text for people on `err`
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    // Also told every event, as --json writes them, whatever the mode (--serve); empty: none.
    EventSink alsoEvents;

    // Where the text for people goes.
    [[nodiscard]] std::ostream& Human() const { return json ? *err : *out; }
};

// What the runner runs, which decides how its ports are named and what their ends say.
enum class RunKind {
    OnePort,
    // Every port is named on its lines (rows on a terminal).
    ManyPorts,
    // Ports taken up as they appear: each keeps its line once its session ended, saying what
    // became of the receiver, and one where no receiver answered is left alone without a word.
    Watch,
};

// What a port's runs came to: how many ended each way, by the record of loads' result word
// ("verified", "not-detected"), and the worst exit status of those that count.
struct SPortRuns {
    std::vector<std::pair<std::string, int>> ends;  // in the order each way first came
    int worstExitStatus = kExitLoaded;
    bool counts = false;  // some run counts towards the program's exit status

    void Add(const LoadOutcome& outcome, const PortVerdict& verdict);
    // "2 verified, 1 not-detected"
    [[nodiscard]] std::string Text() const;
};

// How one port's session ended.
struct PortEnd {
    std::size_t index = 0;  // the order its session was added in
    std::string label;
    LoadRequest request;
    LoadOutcome outcome;
    PortVerdict verdict;
    bool unplugged = false;  // its receiver was unplugged after the session ended (a watch)
    // A watch keeps one end per port, the last: the runs before it are summed up here.
    SPortRuns earlier;
    // A watch tries the port again (it would not open): the next run takes this one's place.
    bool retried = false;

    // This run and the ones before it.
    [[nodiscard]] SPortRuns AllRuns() const;
};

// What is printed before each line of a port's text: its name where several ports share the
// output.
[[nodiscard]] std::string PortPrefix(RunKind kind, const std::string& port);
// Every line of `text` with `prefix` in front, in place of the program's name where the line has
// it.
[[nodiscard]] std::string Prefixed(const std::string& text, const std::string& prefix);

class IRunnerView {
public:
    virtual ~IRunnerView() = default;

    // A session joined; `id` names its port in the calls that follow.
    virtual void Added(std::size_t id, const std::string& port, const LoadRequest& request) = 0;
    // What the worker published since the last pass.
    virtual void Pass(std::size_t id, const SLoaderState& state) = 0;
    // A message box of the load.
    virtual void Prompt(std::size_t id, const std::string& text) = 0;
    // The session ended, its last pass shown; its verdict's text follows from the runner.
    virtual void Ended(const PortEnd& end) = 0;
    // The line of `port`, where no session runs, reads `text`.
    virtual void Line(const std::string& port, const std::string& text) = 0;
    // An event about `port` for programs; only events show it.
    virtual void Event(const std::string& port, const nlohmann::ordered_json& event) = 0;
    // Before other text: whatever is being redrawn in place is ended, to be drawn again below it.
    virtual void Release() = 0;
    // The end of the loop's pass: what is drawn in place catches up.
    virtual void Draw() = 0;
};

// The view for `output`'s mode and the run's `kind`.
[[nodiscard]] std::unique_ptr<IRunnerView> MakeRunnerView(const RunnerOutput& output, RunKind kind);

}  // namespace morvane
