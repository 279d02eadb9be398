// The table that sums up a run of several ports: one line per port, its outcome and exit status.
#pragma once

#include <string>
#include <vector>

namespace morvane {

struct PortSummary {
    std::string port;
    std::string outcome;
    int exitStatus = 0;
    bool counts = true;  // towards the program's exit status; "-" in the Exit column if not
    std::string runs;    // a watched port's runs, counted ("3 verified, 1 not-detected")
};

//   Port   Outcome                             Exit
//   COM5   Firmware Update Complete, verified  0
//   COM34  no receiver answered — left alone   -
//   1 port where no receiver answered was left alone: it does not count towards the exit status.
// With runs, a column of them follows the exit status, which is then the worst of the port's.
[[nodiscard]] std::string SummaryTable(const std::vector<PortSummary>& rows);

}  // namespace morvane
