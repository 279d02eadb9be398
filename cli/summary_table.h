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
};

//   Port   Outcome                             Exit
//   COM5   Firmware Update Complete, verified  0
//   COM34  no receiver answered — left alone   -
//   1 port where no receiver answered was left alone: it does not count towards the exit status.
[[nodiscard]] std::string SummaryTable(const std::vector<PortSummary>& rows);

}  // namespace morvane
