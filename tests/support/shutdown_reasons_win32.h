// The calls that register the reason Windows shows for a program that holds off the session's
// end, watched by a test instead of made: each registration and withdrawal is kept in order.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/session_end_win32.h"
#include "platform/wide_text_win32.h"

namespace morvane::testing {

class CRecordedShutdownReasons : public CShutdownReasonCalls {
public:
    BOOL Create(HWND /*window*/, const wchar_t* reason) override {
        Add("registered: " + Utf8FromWide(reason));
        return TRUE;
    }
    BOOL Destroy(HWND /*window*/) override {
        Add("withdrawn");
        return TRUE;
    }

    // What was registered and withdrawn, once there are `count` of them (or after ten seconds:
    // the guard's window answers on a thread of its own).
    std::vector<std::string> Calls(std::size_t count) {
        std::unique_lock<std::mutex> guard(lock_);
        (void)added_.wait_for(guard, std::chrono::seconds(10),
                              [this, count] { return calls_.size() >= count; });
        return calls_;
    }

private:
    void Add(std::string call) {
        {
            const std::lock_guard<std::mutex> guard(lock_);
            calls_.push_back(std::move(call));
        }
        added_.notify_all();
    }
    std::mutex lock_;
    std::condition_variable added_;
    std::vector<std::string> calls_;  // guarded by lock_
};

}  // namespace morvane::testing
