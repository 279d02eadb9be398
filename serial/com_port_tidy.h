// The pass every enumeration method ends with: each record gets a display name, a description
// and a port name "COMn"; a record from which no port name can be had is dropped.
#pragma once

#include <optional>
#include <string_view>

#include "serial/enumerate_com_ports.h"

namespace morvane {

// The number after the first "COM" of a friendly name that has one ("USB Serial Port (COM5)"
// gives 5, "Virtual COM Port (COM8)" 8), read as "%d" reads: leading blanks skipped, an optional
// sign, then at least one digit. Nothing when no "COM" is followed by a number within int.
[[nodiscard]] std::optional<int> ComNumberInFriendlyName(std::string_view friendlyName);

// Fills in the missing names of every record, in list order, and removes the records that no
// port name can be found for; the order of the others is kept.
void TidyComPortList(CArray<SSerInfo, SSerInfo&>& list);

}  // namespace morvane
