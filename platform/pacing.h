// CPacingScope: what the system needs to keep a load's short pauses short, held for one load.
//
// The transfer is paced by thousands of short pauses (2727 of 20 ms for the image carried); a
// system timer that wakes sleepers late stretches every one of them, and with them the time the
// receiver waits between blocks. Each platform's file says what it raises and gives back.
#pragma once

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

}  // namespace morvane
