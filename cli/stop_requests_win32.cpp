// Console control events arrive on a thread the system starts for each one. Ctrl-C and
// Ctrl-Break are queued for the main thread. When the console closes, or Windows logs off or
// shuts down, the process ends as soon as the handler returns: the handler then waits (within
// the few seconds Windows allows) until the main thread is through, so that the load has been
// stopped and the port closed.
#include <windows.h>

#include <condition_variable>
#include <deque>
#include <mutex>

#include "cli/stop_requests.h"

namespace morvane {
namespace {

// Windows ends the process about five seconds after a close event in any case.
constexpr DWORD kEndingGraceMs = 4500;

struct SQueue {
    std::mutex lock;
    std::condition_variable arrived;
    std::deque<StopRequest> requests;  // guarded by lock
    HANDLE finished = nullptr;         // set when the main thread is through
};

SQueue* g_queue = nullptr;  // the one CStopRequests's queue, while it exists

void Push(StopRequest request) {
    SQueue* queue = g_queue;
    if (queue == nullptr) return;
    {
        const std::lock_guard<std::mutex> guard(queue->lock);
        queue->requests.push_back(request);
    }
    queue->arrived.notify_all();
}

BOOL WINAPI OnConsoleControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT: Push(StopRequest::Interrupt); return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT: {
            Push(event == CTRL_CLOSE_EVENT ? StopRequest::HangUp : StopRequest::Terminate);
            if (g_queue != nullptr && g_queue->finished != nullptr)
                (void)::WaitForSingleObject(g_queue->finished, kEndingGraceMs);
            return TRUE;
        }
        default: return FALSE;
    }
}

}  // namespace

// One handler and one queue serve the program; each CStopRequests starts with an empty queue.
CStopRequests::CStopRequests() {
    static SQueue queue;
    if (g_queue == nullptr) {
        queue.finished = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
        g_queue = &queue;
        (void)::SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
    }
    const std::lock_guard<std::mutex> guard(queue.lock);
    queue.requests.clear();
    if (queue.finished != nullptr) (void)::ResetEvent(queue.finished);
}

CStopRequests::~CStopRequests() {
    if (g_queue->finished != nullptr) (void)::SetEvent(g_queue->finished);
}

StopRequest CStopRequests::Next(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> guard(g_queue->lock);
    if (!g_queue->arrived.wait_for(guard, wait, [] { return !g_queue->requests.empty(); }))
        return StopRequest::None;
    const StopRequest request = g_queue->requests.front();
    g_queue->requests.pop_front();
    return request;
}

}  // namespace morvane
