// How one port's run ended, as morvane-cli tells it: the exit status, the word in the closing
// table, the result, the advice, and the result event for programs.
//
// Results go to standard output: a probe's verdict, a verification's or a skipped receiver's, one
// line (a load's result is its last status line, shown while it ran). What to do about a failure
// goes to standard error: what was heard, why the port would not open, what to check, that a load
// was stopped, that its record could not be written.
// Every outcome keeps to that split, so a script that reads standard output sees results only.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>

#include "cli/stop_requests.h"
#include "session/load_outcome.h"
#include "session/load_session.h"

namespace morvane {

// The exit status of a load's end; a stopped load's is that of what stopped it.
[[nodiscard]] int ExitStatusOf(const LoadOutcome& outcome, StopRequest stoppedBy);

// What to tell the user when the record of a load could not be written (the load's outcome
// stands all the same); empty when it was, or when there was none to write.
[[nodiscard]] std::string RecordProblem(const LoadOutcome& outcome);

// Where the port was, and what stopped the run if something did.
struct PortFacts {
    std::string label;       // "COM5", or the path given
    std::string devicePath;  // the device the port stood for when the session started
    StopRequest stoppedBy = StopRequest::None;
    // The port was taken up by a watch as it appeared: what hangs on it may be any device, and its
    // line tells the bench what became of the receiver and what to do next.
    bool watched = false;
};

struct PortVerdict {
    int exitStatus = 0;
    std::string word;     // in the closing table: "Firmware Update Complete, verified", "stopped"
    std::string result;   // for standard output: whole lines, or empty
    std::string advice;   // for standard error: whole lines, or empty
    std::string message;  // one line for programs: the result, else the advice, else the status
    // A watched port's word once its receiver was unplugged, for the closing table; empty: the
    // word stands.
    std::string wordUnplugged;
    // Whether the run counts towards the program's exit status: a watched port where no receiver
    // answered ran no load, and is left alone without a word.
    bool counts = true;
};

// What the program's own lines start with. Where a port leads each line, the port takes its
// place ("COM52: the load was stopped...").
inline constexpr std::string_view kProgramPrefix = "morvane-cli: ";

// For a watched port, `word` is what its line ends with: "done 1.22, verified — unplug",
// "already 1.22, skipped — unplug", "no receiver answered — left alone", or what failed; once
// unplugged, "done 1.22, verified — unplugged".
[[nodiscard]] PortVerdict JudgePort(const LoadRequest& request, const LoadOutcome& outcome,
                                    const PortFacts& facts);

// The port's last event: {"event":"result","exit_status":0,"status":8,"status_text":"Status: ...",
// "message":"...","advice":"...","result":"verified","verified_version":"1.22"}: the message is
// the verdict's one line, the advice what it says to do below it ("" for nothing), the result the
// word the record of loads writes; the version only for a verified load (null when the receiver
// named none).
[[nodiscard]] nlohmann::ordered_json ResultEvent(const PortVerdict& verdict,
                                                 const LoadOutcome& outcome);

}  // namespace morvane
