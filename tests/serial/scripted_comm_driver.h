// A Windows serial driver played in the test, on a virtual clock, for the things real USB serial
// adapters do that Wine on a pseudo-terminal cannot show: the port is held a moment after it was
// closed, written bytes wait in the driver's output queue for as long as they take on the line,
// and the settings the last program left are what GetCommState reports. The simulated receiver
// sits on the line: it hears what goes out at the rate the port runs at, and what it answers
// arrives through the receive thread's overlapped reads.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "serial/win32_comm_calls.h"
#include "sim/sim_engine.h"

namespace morvane::testing {

struct SDriverScript {
    // How long the driver still holds the port after CloseHandle returned; an open before then
    // is refused with access denied.
    std::chrono::milliseconds releaseAfterClose{0};
    // Held by another program from the start: every open is refused with access denied.
    bool heldByAnotherProgram = false;
    // What GetCommState reports before our first SetCommState: what the last program left.
    DCB leftSettings = PlainSettings();
    // A three-wire cable leaves DSR low.
    bool dsrHigh = false;

    // A driver's block at 9600 8N1 with nothing unusual set.
    static DCB PlainSettings();
};

class CScriptedCommDriver final : public CWin32CommCalls {
public:
    CScriptedCommDriver(SDriverScript script, CSimEngine& receiver);

    DWORD GetLastError() override;
    HANDLE CreateFileA(const char* path) override;
    BOOL CloseHandle(HANDLE port) override;
    BOOL SetupComm(HANDLE port, DWORD inQueue, DWORD outQueue) override;
    BOOL SetCommMask(HANDLE port, DWORD mask) override;
    BOOL PurgeComm(HANDLE port, DWORD flags) override;
    BOOL GetCommState(HANDLE port, DCB& dcb) override;
    BOOL SetCommState(HANDLE port, DCB& dcb) override;
    BOOL SetCommTimeouts(HANDLE port, COMMTIMEOUTS& timeouts) override;
    BOOL ClearCommError(HANDLE port, DWORD& errors, COMSTAT& status) override;
    BOOL EscapeCommFunction(HANDLE port, DWORD function) override;
    BOOL ReadFile(HANDLE port, void* buffer, DWORD size, DWORD& read,
                  OVERLAPPED& overlapped) override;
    BOOL WriteFile(HANDLE port, const void* data, DWORD size, DWORD& written,
                   OVERLAPPED& overlapped) override;
    BOOL GetOverlappedResult(HANDLE port, OVERLAPPED& overlapped, DWORD& transferred,
                             BOOL wait) override;
    BOOL CancelIo(HANDLE port) override;
    Clock::time_point Now() override;
    void SleepUntil(Clock::time_point deadline) override;

    // Moves the virtual clock on, as the loader's waits do.
    void Advance(std::chrono::milliseconds time);
    // Blocks (on the driver's state, not on a clock) until the receive thread has stored every
    // byte the receiver sent, or the port is closed.
    void WaitUntilReceived();

    // Bytes written that have not yet left on the line.
    [[nodiscard]] std::uint32_t QueuedOut();
    [[nodiscard]] std::vector<DCB> AppliedSettings();
    [[nodiscard]] int RefusedOpens();

private:
    [[nodiscard]] std::uint32_t QueuedOutLocked() const;
    // Hands what arrived to a pending read.
    void CompleteReadLocked();
    void Complete(OVERLAPPED& overlapped, DWORD count, DWORD error);

    struct SResult {
        OVERLAPPED* overlapped;
        DWORD count;
        DWORD error;
    };

    const SDriverScript script_;
    CSimEngine& receiver_;
    std::mutex lock_;
    std::condition_variable changed_;
    Clock::time_point start_;
    Clock::time_point now_;
    bool open_ = false;
    Clock::time_point releasedAt_;
    int refusedOpens_ = 0;
    DCB settings_;
    std::vector<DCB> applied_;
    Clock::time_point lineBusyUntil_;  // when the last byte written has left
    std::deque<char> arrived_;         // received, not yet read by the receive thread
    // The receive thread's pending read, if any.
    OVERLAPPED* pendingRead_ = nullptr;
    char* pendingBuffer_ = nullptr;
    DWORD pendingSize_ = 0;
    // A read handed bytes that the receive thread has not stored yet: it stores them before it
    // reads again.
    bool handedOver_ = false;
    std::vector<SResult> results_;  // completed overlapped operations not yet collected
};

}  // namespace morvane::testing
