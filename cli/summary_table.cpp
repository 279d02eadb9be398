#include "cli/summary_table.h"

#include <algorithm>

namespace morvane {

std::string SummaryTable(const std::vector<PortSummary>& rows) {
    std::size_t portWidth = 4;
    std::size_t outcomeWidth = 7;
    for (const PortSummary& r : rows) {
        portWidth = std::max(portWidth, r.port.size());
        outcomeWidth = std::max(outcomeWidth, r.outcome.size());
    }
    auto line = [&](const std::string& port, const std::string& outcome, const std::string& exit) {
        return port + std::string(portWidth - port.size() + 2, ' ') + outcome +
               std::string(outcomeWidth - outcome.size() + 2, ' ') + exit + "\n";
    };
    std::string out = line("Port", "Outcome", "Exit");
    for (const PortSummary& r : rows) out += line(r.port, r.outcome, std::to_string(r.exitStatus));
    return out;
}

}  // namespace morvane
