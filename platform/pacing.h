// CPacingScope: what the system needs to keep a load's short pauses short, held for one load;
// SleepUntil: the plain wait those pauses are made of.
//
// The transfer is paced by thousands of short pauses (2727 of 20 ms for the image carried); a
// system timer that wakes sleepers late stretches every one of them, and with them the time the
// receiver waits between blocks. Each platform's file says what it raises and gives back. On
// Windows the waits of a load use a high-resolution waitable timer where the system has one
// (Windows 10 1803 and later), which keeps time whatever the timer resolution and whether the
// window is minimised or not; only older systems need the resolution raised.
#pragma once

#include <chrono>

namespace morvane {

class CPacingScope {
public:
    // On the thread that runs the load: raises what that thread's waits need.
    CPacingScope();
    // Gives it back, on the same thread.
    ~CPacingScope();
    CPacingScope(const CPacingScope&) = delete;
    CPacingScope& operator=(const CPacingScope&) = delete;

private:
    unsigned long saved_ = 0;
};

// Waits until `deadline` on the steady clock; never returns earlier.
void SleepUntil(std::chrono::steady_clock::time_point deadline);

}  // namespace morvane
