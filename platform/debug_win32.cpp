// The debug channel on Windows is the system's own: a debugger, or a viewer of debug output,
// shows the lines. With MORVANE_DEBUG set they go to stderr as well, for a console user (and
// under Wine, which keeps debug output to itself unless told otherwise).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "platform/debug.h"

namespace morvane {

bool DebugOutputEnabled() {
    static const bool enabled = std::getenv("MORVANE_DEBUG") != nullptr;
    return enabled;
}

namespace {

std::mutex& ChannelLock() {
    static std::mutex lock;
    return lock;
}

std::function<void(const char*)>& Sink() {
    static std::function<void(const char*)> sink;
    return sink;
}

}  // namespace

void SetDebugSink(std::function<void(const char* text)> sink) {
    const std::lock_guard<std::mutex> guard(ChannelLock());
    Sink() = std::move(sink);
}

void OutputDebugStringA(const char* text) {
    if (text == nullptr) return;
    ::OutputDebugStringA(text);
    const std::lock_guard<std::mutex> guard(ChannelLock());
    if (Sink()) Sink()(text);
    if (!DebugOutputEnabled()) return;
    std::fputs(text, stderr);
    std::fflush(stderr);
}

}  // namespace morvane
