// The pace of a load. The image goes out as thousands of 50-byte blocks, each followed by a
// pause of 20 ms that the receiver relies on; a wait that lasts a timer tick longer than asked
// stretches every one of them (on Windows by default to about 31 ms).
//
// On Windows the waits of a load use a high-resolution waitable timer where the system has one
// (Windows 10 1803 and later), which keeps time whatever the timer resolution is and whether the
// window is minimised or not. Older systems keep time only while the timer resolution is raised:
// a CPacingScope raises it for the length of a load and gives it back.
#pragma once

#include <chrono>

namespace morvane {

// Waits until `deadline` on the steady clock; never returns earlier.
void SleepUntil(std::chrono::steady_clock::time_point deadline);

// Held on the thread that runs a load, for the whole load: what the system needs for the load's
// waits to keep time is raised by the constructor and given back by the destructor. Nothing to do
// on Linux, nor on a Windows that has high-resolution timers.
class CPacingScope {
public:
    CPacingScope();
    ~CPacingScope();
    CPacingScope(const CPacingScope&) = delete;
    CPacingScope& operator=(const CPacingScope&) = delete;
};

}  // namespace morvane
