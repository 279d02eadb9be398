// The table that sums up a run of several ports: one line per port, its outcome and exit status.
#pragma once

#include <string>
#include <vector>

namespace morvane {

struct PortSummary {
    std::string port;
    std::string outcome;
    int exitStatus = 0;
};

//   Port  Outcome                             Exit
//   COM5  Firmware Update Complete, verified  0
[[nodiscard]] std::string SummaryTable(const std::vector<PortSummary>& rows);

}  // namespace morvane
