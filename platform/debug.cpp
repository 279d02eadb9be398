#include "platform/debug.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace morvane {

bool DebugOutputEnabled() {
    static const bool enabled = std::getenv("MORVANE_DEBUG") != nullptr;
    return enabled;
}

void OutputDebugStringA(const char* text) {
    if (text == nullptr || !DebugOutputEnabled()) return;
    static std::mutex lock;
    const std::lock_guard<std::mutex> guard(lock);
    std::fputs(text, stderr);
    std::fflush(stderr);
}

}  // namespace morvane
