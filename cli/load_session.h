// One load run from the terminal: the window's load (CLoaderW6) on a worker thread, with the
// seams the terminal needs: waits that a second Ctrl-C cuts short, and message boxes that
// become lines of output.
#pragma once

#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "cli/probe.h"
#include "loader/load_seams.h"
#include "loader/loader.h"
#include "platform/wake_event.h"
#include "record/loader_state.h"
#include "serial/serial_device.h"

namespace morvane {

// Thrown out of a wait once the load was cancelled; it unwinds the load, whose destructor
// then closes the port.
struct LoadCancelled : std::exception {
    [[nodiscard]] const char* what() const noexcept override { return "load cancelled"; }
};

// The waits of a load run from the terminal. The worker thread serves no event queue, so both
// kinds of wait are timed waits on a condition variable that Cancel() wakes at once. Never
// shorter than asked unless cancelled.
class CCancellableWaits : public IWaits {
public:
    void WaitPumping(unsigned ms) override { WaitFor(ms); }
    void Sleep(unsigned ms) override { WaitFor(ms); }

    // Any thread: the current wait (or the next one) throws LoadCancelled.
    void Cancel();
    [[nodiscard]] bool Cancelled() const;

private:
    void WaitFor(unsigned ms);

    CWakeEvent cancelled_;
};

// The load's message boxes, queued for the main thread to print in order with the record.
class CQueuedPrompt : public IPrompt {
public:
    void ShowMessage(const CString& text) override;
    [[nodiscard]] std::vector<CString> Take();

private:
    std::mutex lock_;
    std::vector<CString> texts_;  // guarded by lock_
};

// The policy for Ctrl-C during a load: the first one warns that stopping may damage the
// receiver; a second within the grace period stops the load; once stopping, a further one
// gives up waiting for the load to unwind.
class CInterruptPolicy {
public:
    enum class Action { Warn, Stop, ForceExit };
    static constexpr std::chrono::seconds kGrace{5};

    Action OnInterrupt(std::chrono::steady_clock::time_point now);

private:
    std::optional<std::chrono::steady_clock::time_point> warnedAt_;
    bool stopping_ = false;
};

struct LoadRequest {
    int comPort = 0;  // 0: the port is portPath
    std::string portPath;
    bool trace = false;
    bool probeOnly = false;  // detection alone: nothing is sent after it
    bool verify = false;     // after a complete load, detection again once the receiver restarted
};

// How a load ended, read after Run and before the loader (and its device) went away.
struct LoadOutcome {
    std::int32_t status = 0;
    bool cancelled = false;
    OpenError openError;  // why the port could not be opened, for an invalid port
    // What came back during detection: a valid answer, and the bytes read, valid or not.
    bool answered = false;
    std::size_t bytesHeard = 0;
    std::string failure;  // what an unexpected exception said, if one left the load
    // The detection of a probe, or the one after the restart when the load was verified.
    bool verifyRan = false;
    DetectionFacts detection;
};

class CLoadSession {
public:
    // `device`: the device to load through; null opens the port of the request for real.
    // `traceOut` receives the wire trace when the request asks for one.
    CLoadSession(const LoadRequest& request, std::ostream& traceOut,
                 std::unique_ptr<ISerialDevice> device = nullptr);
    ~CLoadSession();
    CLoadSession(const CLoadSession&) = delete;
    CLoadSession& operator=(const CLoadSession&) = delete;

    void Start();
    [[nodiscard]] bool Done() const { return done_.load(); }
    void Cancel() { waits_.Cancel(); }
    // Waits for the worker; the outcome is valid after this.
    const LoadOutcome& Join();

    [[nodiscard]] SLoaderState& State() { return state_; }
    [[nodiscard]] CQueuedPrompt& Prompt() { return prompt_; }

    // "COM5" or the path given.
    [[nodiscard]] std::string PortLabel() const;
    // The device the port stands for, as it stood when the load started: a MORVANE_DEVICES
    // link may be gone by the end (a simulator that quit, an adapter pulled out).
    [[nodiscard]] const std::string& DevicePath() const { return devicePath_; }

private:
    void Work();
    [[nodiscard]] DetectionFacts Detected(const CLoader& loader, int attempts) const;

    LoadRequest request_;
    std::string devicePath_;
    std::ostream& traceOut_;
    std::unique_ptr<ISerialDevice> device_;  // handed to the loader when the worker starts
    SLoaderState state_;
    CCancellableWaits waits_;
    CQueuedPrompt prompt_;
    SReceiverRates rates_;  // each session talks to a receiver of its own
    LoadOutcome outcome_;   // written by the worker, read after Join
    std::atomic<bool> done_{false};
    std::thread worker_;
};

// What to tell the user after a load that did not succeed (empty when there is nothing to
// add to the status line), from what was heard: nothing at all, bytes but no valid answer, or
// an answer and a failure later. Why a port would not open is explained apart from this.
[[nodiscard]] std::string AdviceAfterLoad(const LoadOutcome& outcome, const std::string& portLabel,
                                          const std::string& devicePath, std::uint32_t sentBytes,
                                          std::uint32_t totalBytes);

}  // namespace morvane
