// The debug channel on Windows is the system's own: a debugger, or a viewer of debug output,
// shows the lines. With MORVANE_DEBUG set they go to stderr as well, for a console user (and
// under Wine, which keeps debug output to itself unless told otherwise).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/debug.h"

namespace morvane {

bool DebugOutputEnabled() {
    static const bool enabled = std::getenv("MORVANE_DEBUG") != nullptr;
    return enabled;
}

void OutputDebugStringA(const char* text) {
    if (text == nullptr) return;
    ::OutputDebugStringA(text);
    if (!DebugOutputEnabled()) return;
    static std::mutex lock;
    const std::lock_guard<std::mutex> guard(lock);
    std::fputs(text, stderr);
    std::fflush(stderr);
}

}  // namespace morvane
