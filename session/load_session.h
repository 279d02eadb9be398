// CLoadSession: one load, probe or verified load of a receiver, run on a worker thread of its own.
//
// The one worker every program runs its loads on: morvane-cli (one session per port) and both
// windows. It builds the loader, runs what was asked (detection alone; a load; a load and, once the
// receiver restarted, detection again), publishes everything in the load progress record, hands
// the loader's message boxes to the prompt it was given, and ends with one outcome. Waits are its
// own and can be cut short, so a load can be stopped; the loader's destructor then closes the port.
#pragma once

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "loader/load_seams.h"
#include "loader/loader.h"
#include "platform/mutex.h"
#include "platform/power.h"
#include "platform/thread_annotations.h"
#include "platform/wake_event.h"
#include "record/loader_state.h"
#include "serial/serial_device.h"
#include "session/load_outcome.h"
#include "session/load_record_file.h"

namespace morvane {

class CLoaderW6;

// Thrown out of a wait once the load was cancelled; it unwinds the load, whose destructor then
// closes the port.
struct LoadCancelled : std::exception {
    [[nodiscard]] const char* what() const noexcept override { return "load cancelled"; }
};

// The waits of a session's load. The worker serves no event queue, so both kinds of wait are
// timed waits that Cancel() wakes at once. Never shorter than asked unless cancelled.
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

// The load's message boxes, queued for the thread that shows the load to take in order with the
// record.
class CQueuedPrompt : public IPrompt {
public:
    void ShowMessage(const CString& text) override;
    [[nodiscard]] std::vector<CString> Take();

private:
    CMutex lock_;
    std::vector<CString> texts_ MORVANE_GUARDED_BY(lock_);
};

struct LoadRequest {
    int comPort = 0;  // 0: the port is portPath
    std::string portPath;
    bool probeOnly = false;  // detection alone: nothing is sent after it
    bool verify = false;     // after a complete load, detection again once the receiver restarted
    // A receiver that reports the carried firmware gets nothing after its detection: the load
    // ends with STATUS_NO_UPDATE_REQUIRED.
    bool skipCurrent = false;
    SLoadLogTarget log{false, {}};    // where the record of the load goes; off unless asked
    std::string program = "morvane";  // who ran the load, for the record
};

// How a load ended, from its facts: decided once, by the session, as the load ends.
[[nodiscard]] LoadEnd LoadEndOf(const LoadRequest& request, const LoadOutcome& outcome);

// "COM5", or the path given.
[[nodiscard]] std::string PortLabelOf(const LoadRequest& request);

// The device of the port a request names: the COM number's, or the one that opens its path
// whatever number it is given.
[[nodiscard]] std::unique_ptr<ISerialDevice> MakePortDevice(const LoadRequest& request);

// Makes the loader of one load; tests put a scripted one in place of the product's.
using LoaderFactory = std::function<std::unique_ptr<CLoaderW6>(SLoaderState*, LoaderDeps)>;
// Wraps the device a load talks through (the CLI's wire trace); gets it and hands it back.
using DeviceDecorator =
    std::function<std::unique_ptr<ISerialDevice>(std::unique_ptr<ISerialDevice>)>;

// What a session is given; everything null or empty stands for the product's own.
struct SessionDeps {
    SLoaderState* state = nullptr;          // null: a record of the session's own
    std::unique_ptr<ISerialDevice> device;  // null: the real port of the request
    DeviceDecorator decorate;               // empty: the device as it is
    LoaderFactory makeLoader;               // empty: the W6 loader
    IWaits* waits = nullptr;                // null: the session's own, which Cancel() cuts short
    IPrompt* prompt = nullptr;              // null: queued, for Prompts().Take()
    // The receiver's probe cycle; null: the session's own (every load a first load's timeline).
    // The window's loads share the program-wide one (CLoader::ProgramWideRates).
    SReceiverRates* rates = nullptr;
    // Called on the worker once the outcome is known and the loader (and with it the port) is
    // gone, before Done() turns true: the window hands its controls back from here.
    std::function<void(const LoadOutcome&)> onEnded;
    // Keeps the PC awake and running from the start of a load to its end (not for a probe, which
    // sends nothing that could be cut off); null: the system's own.
    IPowerService* power = nullptr;
    // What the system shows for that lock to someone who tries to shut down: the programs give
    // their damage warning.
    std::string awakeReason;
};

class CLoadSession {
public:
    explicit CLoadSession(LoadRequest request, SessionDeps deps = {});
    // Cancels a load still running and waits for its worker.
    ~CLoadSession();
    CLoadSession(const CLoadSession&) = delete;
    CLoadSession& operator=(const CLoadSession&) = delete;

    // Resets the record and starts the worker; once per session.
    void Start();
    [[nodiscard]] bool Done() const { return done_.load(); }
    // Any thread: the load's next wait throws and the load unwinds (with the session's own waits).
    void Cancel() { waits_.Cancel(); }
    // Waits for the worker; the outcome is valid after this.
    const LoadOutcome& Join();

    [[nodiscard]] SLoaderState& State() { return *state_; }
    [[nodiscard]] const LoadRequest& Request() const { return request_; }
    // The loader's message boxes, when no prompt was given.
    [[nodiscard]] CQueuedPrompt& Prompts() { return prompt_; }

    // "COM5" or the path given.
    [[nodiscard]] std::string PortLabel() const;
    // The device the port stands for, as it stood when the load started: a MORVANE_DEVICES link
    // may be gone by the end (a simulator that quit, an adapter pulled out).
    [[nodiscard]] const std::string& DevicePath() const { return devicePath_; }

private:
    void Work();
    [[nodiscard]] CAwakeLock HoldAwake() const;
    // The loader's dependencies: the device (given, or the request's port's), the waits, the
    // prompt and the probe cycle.
    [[nodiscard]] LoaderDeps LoaderDepsFor(IPrompt& prompt);
    void Run(CLoaderW6& loader);
    // In a catch: what left the load into the outcome (cancelled, or the failure).
    void TakeThrown();
    // Why the port would not open, for a load that ended on it, and what the system knows of it.
    void GatherOpenFacts();
    // The load's end into the outcome: status, what was heard, how far the transfer came.
    void TakeLoadEnd(const CLoader* loader);
    [[nodiscard]] DetectionFacts Detected(const CLoader& loader, int attempts) const;
    // The firmware version the receiver named so far; empty: none.
    [[nodiscard]] std::string FirmwareNamed() const;

    LoadRequest request_;
    SessionDeps deps_;
    std::string devicePath_;
    SLoaderState ownState_;
    SLoaderState* state_;
    CCancellableWaits waits_;
    CQueuedPrompt prompt_;
    SReceiverRates ownRates_;
    LoadOutcome outcome_;        // written by the worker, read after Join (or in onEnded)
    bool loadEndTaken_ = false;  // worker only
    std::atomic<bool> done_{false};
    std::thread worker_;
};

}  // namespace morvane
