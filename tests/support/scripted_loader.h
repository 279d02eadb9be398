// A loader the window's tests script instead of talking to a receiver, and a gate its worker
// waits at until the test opens it. Both windows' tests use them.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <utility>

#include "loader/loader_w6.h"
#include "record/loader_state.h"

namespace morvane::testing_support {

class Gate {
public:
    void Open() {
        {
            const std::lock_guard<std::mutex> guard(mutex_);
            open_ = true;
        }
        cv_.notify_all();
    }
    void Wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
};

// A W6 loader whose Run is the test's script; it never touches a port.
class CScriptedLoader : public CLoaderW6 {
public:
    using Script = std::function<void(SLoaderState&, LoaderDeps&)>;
    CScriptedLoader(SLoaderState* state, LoaderDeps deps, Script script)
        : CLoaderW6(state, {}),
          state_(*state),
          deps_(std::move(deps)),
          script_(std::move(script)) {}
    void Run() override { script_(state_, deps_); }

private:
    SLoaderState& state_;
    LoaderDeps deps_;
    Script script_;
};

}  // namespace morvane::testing_support
