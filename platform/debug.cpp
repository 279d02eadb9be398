// The debug channel, the same on every system: a sink a test sets, and stderr with MORVANE_DEBUG
// set. Where else a line goes is each system's own (SendToSystemDebugger).
#include "platform/debug.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>

namespace morvane {

// debug_posix.cpp, debug_win32.cpp.
void SendToSystemDebugger(const char* text);

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
    SendToSystemDebugger(text);
    const std::lock_guard<std::mutex> guard(ChannelLock());
    if (Sink()) Sink()(text);
    if (!DebugOutputEnabled()) return;
    std::fputs(text, stderr);
    std::fflush(stderr);
}

}  // namespace morvane
