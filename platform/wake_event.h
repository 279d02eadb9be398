// CWakeEvent: a flag one thread raises and another waits for with a time limit, woken at once
// when it is raised. Each platform has its own file: on Windows a timed wait on a condition
// variable goes through MinGW's thread library, where a 20 ms wait takes about 50 ms, which would
// stretch every pause of a transfer; the system's own event keeps the time.
#pragma once

#include <chrono>
#include <memory>

namespace morvane {

class CWakeEvent {
public:
    CWakeEvent();
    ~CWakeEvent();
    CWakeEvent(const CWakeEvent&) = delete;
    CWakeEvent& operator=(const CWakeEvent&) = delete;

    // Any thread; stays raised.
    void Raise();
    [[nodiscard]] bool Raised() const;
    // Waits until the flag is raised or `deadline` has passed (never returning earlier without
    // it); true when it was raised.
    bool WaitUntil(std::chrono::steady_clock::time_point deadline);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace morvane
