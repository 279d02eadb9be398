// Requests to stop a running load, as the platform delivers them (signals on Linux, console
// control events on Windows), taken by the main thread between display passes. While the object
// exists, such a request no longer ends the program by itself: the load unwinds and the port is
// closed first. stop_requests_posix.cpp and stop_requests_win32.cpp implement it.
#pragma once

#include <chrono>
#include <optional>

namespace morvane {

enum class StopRequest {
    None,
    Interrupt,  // Ctrl-C (or Ctrl-Break): the user, who is warned first
    Terminate,  // the system asks the program to end (SIGTERM; logging off, shutting down)
    HangUp,     // the terminal or console went away (SIGHUP; the console window closed)
};

class CStopRequests {
public:
    // Create it on the main thread before any other thread starts.
    CStopRequests();
    ~CStopRequests();  // NOLINT(performance-trivially-destructible): Windows' does work
    CStopRequests(const CStopRequests&) = delete;
    CStopRequests& operator=(const CStopRequests&) = delete;

    // The next request, waiting at most `wait` for one; None when none came.
    StopRequest Next(std::chrono::milliseconds wait);
};

// The policy for Ctrl-C during a load: the first one warns that stopping may damage the
// receiver; a second within the grace period stops the load; once stopping, a further one gives
// up waiting for the load to unwind.
class CInterruptPolicy {
public:
    enum class Action { Warn, Stop, ForceExit };
    static constexpr std::chrono::seconds kGrace{5};

    Action OnInterrupt(std::chrono::steady_clock::time_point now);

private:
    std::optional<std::chrono::steady_clock::time_point> warnedAt_;
    bool stopping_ = false;
};

// The exit status of a load that `request` stopped: 130, 143 or 129, as the matching signal
// gives it on Linux.
[[nodiscard]] constexpr int ExitStatusForStop(StopRequest request) {
    switch (request) {
        case StopRequest::Terminate: return 128 + 15;
        case StopRequest::HangUp: return 128 + 1;
        case StopRequest::None:
        case StopRequest::Interrupt: break;
    }
    return 128 + 2;
}

}  // namespace morvane
