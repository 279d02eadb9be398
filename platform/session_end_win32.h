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

// For a window of the program: call when a load starts, answer WM_QUERYENDSESSION with FALSE
// until the load ends, then call AllowSessionEnd.
void HoldOffSessionEnd(HWND window, const std::string& why);
void AllowSessionEnd(HWND window);

// A hidden top-level window, on a thread of its own, that holds off log-off and shutdown while
// the object lives: for a program without a window of its own (morvane-cli.exe).
class CSessionEndGuard {
public:
    // `ended` runs on the window's thread when the session ends all the same; Windows ends the
    // process soon after it returns, so it should see the load stopped and the port closed first.
    CSessionEndGuard(const std::string& why, std::function<void()> ended);
    ~CSessionEndGuard();
    CSessionEndGuard(const CSessionEndGuard&) = delete;
    CSessionEndGuard& operator=(const CSessionEndGuard&) = delete;

    // The hidden window; null when it could not be made (the program then goes on without it).
    [[nodiscard]] HWND Window() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace morvane
