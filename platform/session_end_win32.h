// Holding off log-off and shutdown on Windows while a load runs. Windows asks every top-level
// window with WM_QUERYENDSESSION; a window that answers FALSE keeps the session going, and the
// reason it registered is what Windows shows beside it ("Shut down anyway" stays the user's
// choice). A console program gets no such question on its console: it needs a window of its own.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

namespace morvane {

// ShutdownBlockReasonCreate and ShutdownBlockReasonDestroy, the calls that register and withdraw
// the reason Windows shows beside a program that holds off the session's end: the system's own,
// unless a test watches them. Called on the thread that made the window.
class CShutdownReasonCalls {
public:
    virtual ~CShutdownReasonCalls() = default;
    virtual BOOL Create(HWND window, const wchar_t* reason) = 0;
    virtual BOOL Destroy(HWND window) = 0;
};
[[nodiscard]] CShutdownReasonCalls& SystemShutdownReasonCalls();

// For a window of the program: call when a load starts, answer WM_QUERYENDSESSION with FALSE
// until the load ends, then call AllowSessionEnd.
void HoldOffSessionEnd(HWND window, const std::string& why,
                       CShutdownReasonCalls& calls = SystemShutdownReasonCalls());
void AllowSessionEnd(HWND window, CShutdownReasonCalls& calls = SystemShutdownReasonCalls());

// A hidden top-level window, on a thread of its own, for a program without a window of its own
// (morvane-cli.exe): it holds off log-off and shutdown while an image goes out, and lets them
// through otherwise (an idle watch, a probe). The awake lock of a load (platform/power.h) holds it
// off: the reason is registered, and the answer turns to FALSE, when the first load takes its
// lock, and both go back when the last one lets go. One guard at a time.
class CSessionEndGuard {
public:
    // `ended` runs on the window's thread when the session ends (all the same, during a load);
    // Windows ends the process soon after it returns, so it should see the loads stopped and the
    // ports closed first. `reasons`: the calls that register the reason; null: the system's.
    CSessionEndGuard(const std::string& why, std::function<void()> ended,
                     CShutdownReasonCalls* reasons = nullptr);
    ~CSessionEndGuard();
    CSessionEndGuard(const CSessionEndGuard&) = delete;
    CSessionEndGuard& operator=(const CSessionEndGuard&) = delete;

    // The hidden window; null when it could not be made (the program then goes on without it).
    [[nodiscard]] HWND Window() const;

    // A load starts, or ends: the program's guard, if it has one, holds off the session's end
    // while any load runs. Any thread.
    static void LoadStarted();
    static void LoadEnded();

    struct Impl;  // session_end_win32.cpp's

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace morvane
