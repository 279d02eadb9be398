// Windows tells neither who holds a COM port nor which group may use it: the explanation is
// worded from the error alone.
#include "serial/open_error_facts.h"

namespace morvane {

OpenErrorFacts GatherOpenErrorFacts(const OpenError& /*error*/) { return {}; }

std::vector<std::string> ProgramsHoldingDevice(const std::string& /*devicePath*/) { return {}; }

}  // namespace morvane
