// The one diagnostics channel. Library code never prints; low-level serial errors and the
// like go here, and reach stderr only when the environment variable MORVANE_DEBUG is set.
#pragma once

namespace morvane {

// Writes text as it stands (callers supply their own line ends). Thread-safe.
void OutputDebugStringA(const char* text);

// True when MORVANE_DEBUG was set when the program first asked.
[[nodiscard]] bool DebugOutputEnabled();

}  // namespace morvane
