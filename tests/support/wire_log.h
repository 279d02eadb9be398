// What a load did, in order: every device operation, wait and message box, each with the
// virtual time, the line rate at that moment and a snapshot of the progress record; and the
// loader's seams that write it: the zero-time waits, the prompt and the port follower.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "loader/load_seams.h"
#include "record/loader_state.h"

namespace morvane::testing {

struct WireEvent {
    enum class Kind {
        Open,
        Close,
        SetHandshake,
        Apply,
        Write,
        Read,
        WaitPumping,
        Sleep,
        Box,
        Image
    };
    Kind kind = Kind::Open;
    std::uint64_t atMs = 0;
    std::uint32_t rate = 0;  // the rate the line ran at (0 while closed)
    int length = 0;          // bytes asked for (Write, Read) or milliseconds (waits)
    std::string bytes;       // bytes written, bytes read, or the box text
    bool result = true;      // what the device reported
    // The record as it stood when the operation happened.
    std::int32_t status = 0;
    std::int32_t remainingSeconds = 0;
    std::uint32_t sentBytes = 0;
    bool firmwareDetected = false;
};

// Without a record (a session that keeps its own), the events carry no snapshot of it.
class WireLog {
public:
    explicit WireLog(const SLoaderState* state = nullptr) : state_(state) {}

    WireEvent& Add(WireEvent::Kind kind) {
        WireEvent e;
        e.kind = kind;
        e.atMs = nowMs;
        e.rate = lineOpen ? lineRate : 0;
        if (state_ != nullptr) {
            e.status = state_->GetStatus();
            e.remainingSeconds = state_->GetRemainingSeconds();
            e.sentBytes = state_->GetSentBytes();
            e.firmwareDetected = state_->GetFirmwareDetected();
        }
        events.push_back(e);
        return events.back();
    }

    [[nodiscard]] int Count(WireEvent::Kind kind) const {
        int n = 0;
        for (const WireEvent& e : events) n += e.kind == kind ? 1 : 0;
        return n;
    }
    // The bytes of the writes that went out, in order.
    [[nodiscard]] std::string Written() const {
        std::string bytes;
        for (const WireEvent& e : events)
            if (e.kind == WireEvent::Kind::Write && e.result) bytes += e.bytes;
        return bytes;
    }

    std::vector<WireEvent> events;
    std::uint64_t nowMs = 0;
    bool lineOpen = false;
    std::uint32_t lineRate = 0;

private:
    const SLoaderState* state_;
};

// Waits that take no real time: each moves the virtual clock on and is recorded with its kind.
// Without a log they only return, from any thread.
class VirtualClock : public IWaits {
public:
    VirtualClock() = default;
    explicit VirtualClock(WireLog& log) : log_(&log) {}
    void WaitPumping(unsigned ms) override { Wait(WireEvent::Kind::WaitPumping, ms); }
    void Sleep(unsigned ms) override { Wait(WireEvent::Kind::Sleep, ms); }

    // Called before each wait is recorded; a test can throw from it.
    std::function<void(WireEvent::Kind, unsigned)> beforeWait;

private:
    void Wait(WireEvent::Kind kind, unsigned ms) {
        if (beforeWait) beforeWait(kind, ms);
        if (log_ == nullptr) return;
        log_->Add(kind).length = static_cast<int>(ms);
        log_->nowMs += ms;
    }
    WireLog* log_ = nullptr;
};

// Keeps the texts of the boxes a load would show, and logs each as a box when given a log.
class RecordingPrompt : public IPrompt {
public:
    RecordingPrompt() = default;
    explicit RecordingPrompt(WireLog& log) : log_(&log) {}
    void ShowMessage(const CString& text) override {
        texts.push_back(text);
        if (log_ != nullptr) log_->Add(WireEvent::Kind::Box).bytes = text;
    }

    std::vector<CString> texts;

private:
    WireLog* log_ = nullptr;
};

// Finds the receiver's port again as the test's `find` says, given the number last remembered.
class ScriptedFollower : public IPortFollower {
public:
    using Finder = std::function<std::optional<int>(int remembered)>;
    explicit ScriptedFollower(Finder find) : find_(std::move(find)) {}
    void Remember(int comPort) override { remembered_ = comPort; }
    std::optional<int> Find() override { return find_(remembered_); }

private:
    Finder find_;
    int remembered_ = 0;
};

// The log as short readable steps: a device open with its rate settings becomes "open 4800",
// consecutive one-byte writes become one "send@<rate> <text>", a block write "block@<rate> 50",
// waits "pump 500" / "sleep 20", reads "read 1024", boxes "box <text>".
std::vector<std::string> Condense(const std::vector<WireEvent>& events);

}  // namespace morvane::testing
