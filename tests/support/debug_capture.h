// The debug channel listened to for a test: what was written while the capture stood.
#pragma once

#include <mutex>
#include <string>

#include "platform/debug.h"

namespace morvane::testing {

class CDebugCapture {
public:
    CDebugCapture() {
        SetDebugSink([this](const char* text) {
            const std::lock_guard<std::mutex> guard(lock_);
            text_ += text;
        });
    }
    ~CDebugCapture() { SetDebugSink({}); }
    CDebugCapture(const CDebugCapture&) = delete;
    CDebugCapture& operator=(const CDebugCapture&) = delete;

    [[nodiscard]] std::string Text() const {
        const std::lock_guard<std::mutex> guard(lock_);
        return text_;
    }

private:
    mutable std::mutex lock_;
    std::string text_;
};

}  // namespace morvane::testing
