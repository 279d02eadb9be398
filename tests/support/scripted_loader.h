// A loader the window's tests script instead of talking to a receiver, and a gate its worker
// waits at until the test opens it. Both windows' tests use them.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <utility>

#include "loader/loader_w6.h"
#include "record/loader_state.h"
#include "record/loader_status.h"
#include "res/firmware_image.h"

namespace morvane::testing {

class Gate {
public:
    void Open() {
        {
            const std::lock_guard<std::mutex> guard(mutex_);
            open_ = true;
        }
        cv_.notify_all();
    }
    // Bounded, so that a test whose gate is never opened ends in a minute and says why instead of
    // hanging until ctest gives up on the whole program (the programs that use it are not all
    // GoogleTest's).
    void Wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!cv_.wait_for(lock, std::chrono::minutes(1), [this] { return open_; })) {
            std::fputs("a gate the test should have opened stayed shut for a minute\n", stderr);
            std::abort();
        }
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
};

// A W6 loader whose Run is the test's script, and whose receiver after its restart is a second
// script (which says what became of the port); without one, the receiver comes back on the
// same port with the firmware this program carries. It never touches a port.
class CScriptedLoader : public CLoaderW6 {
public:
    using Script = std::function<void(SLoaderState&, LoaderDeps&)>;
    using AfterRestart = std::function<RestartPort(SLoaderState&, LoaderDeps&)>;
    CScriptedLoader(SLoaderState* state, LoaderDeps deps, Script script,
                    AfterRestart afterRestart = {})
        : CLoaderW6(state, {}),
          state_(*state),
          deps_(std::move(deps)),
          script_(std::move(script)),
          afterRestart_(std::move(afterRestart)) {}
    void Run() override { script_(state_, deps_); }
    bool DetectAfterRestart() override {
        // As the W6 loader does: only what the restarted receiver says counts.
        state_.SetFirmwareDetected(false);
        state_.SetFirmwareText("");
        state_.SetLoaderVersionSeen(false);
        if (afterRestart_) {
            port_ = afterRestart_(state_, deps_);
        } else {
            state_.SetFirmwareText(kFirmwareVersion);
            state_.SetFirmwareDetected(true);
            state_.SetStatus(STATUS_CONNECTED);
        }
        return state_.GetStatus() == STATUS_CONNECTED;
    }
    [[nodiscard]] RestartPort PortAfterRestart() const override { return port_; }

private:
    SLoaderState& state_;
    LoaderDeps deps_;
    Script script_;
    AfterRestart afterRestart_;
    RestartPort port_ = RestartPort::Stayed;
};

// A load that holds half-way through the transfer (68176 of 136352 bytes, 125 s left) until the
// test opens `release`, then completes and shows the loader's box. `halfway` opens once the first
// half is in the record; `port` is the port the load was given.
struct SHalfwayLoad {
    Gate halfway;
    Gate release;
    std::atomic<int> port{0};

    CScriptedLoader::Script Script() {
        return [this](SLoaderState& state, LoaderDeps& deps) {
            port = state.GetComPort();
            state.SetStatus(STATUS_UPDATING_FIRMWARE);
            state.SetTotalBytes(136352);
            state.SetSentBytes(68176);
            state.SetRemainingSeconds(125);
            halfway.Open();
            release.Wait();
            state.SetSentBytes(136352);
            state.SetRemainingSeconds(0);
            state.SetStatus(STATUS_FIRMWARE_COMPLETE);
            deps.prompt->ShowMessage("Load Completed\t");
        };
    }
};

}  // namespace morvane::testing
