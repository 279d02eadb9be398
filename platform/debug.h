// The one diagnostics channel. Library code never prints; low-level serial errors and the
// like go here, and reach stderr only when the environment variable MORVANE_DEBUG is set.
#pragma once

#include <functional>

namespace morvane {

// Writes text as it stands (callers supply their own line ends). Thread-safe.
void OutputDebugStringA(const char* text);

// True when MORVANE_DEBUG was set when the program first asked.
[[nodiscard]] bool DebugOutputEnabled();

// Tests: while set, every text written also goes to `sink`, whatever MORVANE_DEBUG says; empty
// ends it. Called under the channel's lock.
void SetDebugSink(std::function<void(const char* text)> sink);

}  // namespace morvane
