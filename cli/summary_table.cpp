#include "cli/summary_table.h"

#include <algorithm>

namespace morvane {
namespace {

// The columns a text takes: its letters, not its bytes (a watch's words hold a dash of three).
std::size_t Columns(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

}  // namespace

std::string SummaryTable(const std::vector<PortSummary>& rows) {
    std::size_t portWidth = 4;
    std::size_t outcomeWidth = 7;
    for (const PortSummary& r : rows) {
        portWidth = std::max(portWidth, Columns(r.port));
        outcomeWidth = std::max(outcomeWidth, Columns(r.outcome));
    }
    const bool withRuns =
        std::any_of(rows.begin(), rows.end(), [](const PortSummary& r) { return !r.runs.empty(); });
    auto line = [&](const std::string& port, const std::string& outcome, const std::string& exit,
                    const std::string& runs) {
        std::string text = port + std::string(portWidth - Columns(port) + 2, ' ') + outcome +
                           std::string(outcomeWidth - Columns(outcome) + 2, ' ') + exit;
        if (withRuns) text += std::string(6 - exit.size(), ' ') + runs;
        return text + "\n";
    };
    std::string out = line("Port", "Outcome", "Exit", "Runs");
    std::size_t silent = 0;
    for (const PortSummary& r : rows) {
        out += line(r.port, r.outcome, r.counts ? std::to_string(r.exitStatus) : "-", r.runs);
        silent += r.counts ? 0 : 1;
    }
    // A port without a receiver is no failure of the run: its exit status would read as one.
    if (silent == 1) {
        out +=
            "1 port where no receiver answered was left alone: it does not count towards the "
            "exit status.\n";
    } else if (silent > 1) {
        out += std::to_string(silent) +
               " ports where no receiver answered were left alone: they do not count towards the "
               "exit status.\n";
    }
    return out;
}

}  // namespace morvane
