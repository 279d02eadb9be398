// Console control events arrive on a thread the system starts for each one. Ctrl-C and
// Ctrl-Break are queued for the main thread. When the console closes, the process ends as soon as
// the handler returns: the handler then waits (within the few seconds Windows allows) until the
// main thread is through, so that the load has been stopped and the port closed.
//
// Log-off and shutdown never reach a console handler in a program that uses windows: Windows
// asks windows instead. A hidden window of ours answers, while a load runs, that one does, with
// the damage warning as the reason Windows shows; when the session ends all the same, it stops
// the loads and waits as the console handler does.
#include <windows.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

#include "cli/stop_requests.h"
#include "platform/debug.h"
#include "platform/session_end_win32.h"
#include "platform/text.h"
#include "view/status_view.h"

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
// Exists while the CStopRequests does, and holds off log-off and shutdown while a load runs;
// made and destroyed on the main thread only.
std::unique_ptr<CSessionEndGuard> g_sessionEndGuard;

void Push(StopRequest request) {
    SQueue* queue = g_queue;
    if (queue == nullptr) return;
    {
        const std::lock_guard<std::mutex> guard(queue->lock);
        queue->requests.push_back(request);
    }
    queue->arrived.notify_all();
}

// The program is about to be ended: the main thread stops the load, and this thread waits for it.
void StopBeforeTheEnd(StopRequest request) {
    Push(request);
    if (g_queue != nullptr && g_queue->finished != nullptr)
        (void)::WaitForSingleObject(g_queue->finished, kEndingGraceMs);
}

BOOL WINAPI OnConsoleControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT: Push(StopRequest::Interrupt); return TRUE;
        case CTRL_CLOSE_EVENT: StopBeforeTheEnd(StopRequest::HangUp); return TRUE;
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT: StopBeforeTheEnd(StopRequest::Terminate); return TRUE;
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
        if (!::SetConsoleCtrlHandler(&OnConsoleControl, TRUE)) {
            OutputDebugStringA(Format("morvane-cli: Ctrl-C and the console's close cannot be "
                                      "taken: error %lu\n",
                                      ::GetLastError())
                                   .c_str());
        }
    }
    {
        const std::lock_guard<std::mutex> guard(queue.lock);
        queue.requests.clear();
        if (queue.finished != nullptr) (void)::ResetEvent(queue.finished);
    }
    g_sessionEndGuard = std::make_unique<CSessionEndGuard>(
        kDamageWarning, [] { StopBeforeTheEnd(StopRequest::Terminate); });
}

CStopRequests::~CStopRequests() {
    if (g_queue->finished != nullptr) (void)::SetEvent(g_queue->finished);
    g_sessionEndGuard.reset();
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
