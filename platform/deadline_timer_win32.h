// What the Windows waits of platform/ and loader/ share: a timer that ends a wait at its
// deadline to the millisecond, and the time-out in milliseconds that goes with it.
#pragma once

#include <windows.h>

#include <chrono>

namespace morvane {

// Whether this Windows has high-resolution waitable timers (Windows 10 1803 and later).
[[nodiscard]] bool HighResolutionTimersAvailable();

// The calling thread's high-resolution waitable timer, set to signal at `deadline`; null where
// Windows has none. A wait on it alongside its other objects ends at the deadline however coarse
// the system's timer resolution is; without it, the wait's time-out alone ends it, which keeps
// time only while a CPacingScope raised the resolution.
[[nodiscard]] HANDLE DeadlineTimer(std::chrono::steady_clock::time_point deadline);

// Milliseconds left until `deadline`, rounded up; 0 once it has passed.
[[nodiscard]] DWORD MsUntil(std::chrono::steady_clock::time_point deadline);

}  // namespace morvane
