#include <pthread.h>

#include <csignal>
#include <ctime>

#include "cli/stop_requests.h"

namespace morvane {
namespace {

sigset_t StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    return signals;
}

}  // namespace

// The signals go to the main thread only, which takes them between polls; the threads started
// after this (the load's worker, the serial receive thread) inherit the mask and never see them.
CStopRequests::CStopRequests() {
    const sigset_t signals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

CStopRequests::~CStopRequests() = default;

StopRequest CStopRequests::Next(std::chrono::milliseconds wait) {
    const sigset_t signals = StopSignals();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    timespec tick{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    switch (sigtimedwait(&signals, nullptr, &tick)) {
        case SIGINT: return StopRequest::Interrupt;
        case SIGTERM: return StopRequest::Terminate;
        case SIGHUP: return StopRequest::HangUp;
        default: return StopRequest::None;
    }
}

}  // namespace morvane
