#include "platform/debug.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>

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
    const std::lock_guard<std::mutex> guard(ChannelLock());
    if (Sink()) Sink()(text);
    if (!DebugOutputEnabled()) return;
    std::fputs(text, stderr);
    std::fflush(stderr);
}

}  // namespace morvane
