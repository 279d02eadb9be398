// The Win32 calls the Windows serial device makes on a port, behind an interface of our own: the
// device makes them through the system's own by default, and tests stand a scripted driver in
// that plays what real USB serial adapters do and Wine on a pseudo-terminal cannot show (a port
// held a moment after it was closed, a write taken into the chip's buffer at once, settings left
// by another program, an adapter pulled out whose driver ignores cancellation).
//
// Each call mirrors the Windows function of its name with the arguments the device varies; the
// fixed ones are the binding's. The events, the receive thread and the waits on them are the
// system's in every case: a scripted driver completes an overlapped operation by setting its
// event, as a driver does.
#pragma once

#include <windows.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"

namespace morvane {

class CWin32CommCalls {
public:
    using Clock = std::chrono::steady_clock;

    virtual ~CWin32CommCalls() = default;

    virtual DWORD GetLastError() = 0;
    // CreateFileA(path, read and write, no sharing, no security attributes, OPEN_EXISTING,
    // FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, no template).
    virtual HANDLE CreateFileA(const char* path) = 0;
    virtual BOOL CloseHandle(HANDLE port) = 0;
    virtual BOOL SetupComm(HANDLE port, DWORD inQueue, DWORD outQueue) = 0;
    virtual BOOL SetCommMask(HANDLE port, DWORD mask) = 0;
    virtual BOOL PurgeComm(HANDLE port, DWORD flags) = 0;
    virtual BOOL GetCommState(HANDLE port, DCB& dcb) = 0;
    virtual BOOL SetCommState(HANDLE port, DCB& dcb) = 0;
    virtual BOOL SetCommTimeouts(HANDLE port, COMMTIMEOUTS& timeouts) = 0;
    virtual BOOL ClearCommError(HANDLE port, DWORD& errors, COMSTAT& status) = 0;
    virtual BOOL EscapeCommFunction(HANDLE port, DWORD function) = 0;
    virtual BOOL ReadFile(HANDLE port, void* buffer, DWORD size, DWORD& read,
                          OVERLAPPED& overlapped) = 0;
    virtual BOOL WriteFile(HANDLE port, const void* data, DWORD size, DWORD& written,
                           OVERLAPPED& overlapped) = 0;
    // GetOverlappedResultEx(port, overlapped, transferred, ms, not alertable): waits at most `ms`
    // for the I/O; FALSE with WAIT_TIMEOUT when it is still pending then (ERROR_IO_INCOMPLETE
    // when `ms` is 0). It waits on the structure's event, never on the port, so it may be asked
    // after the port was closed. Every wait on the driver is one of these, with a bound.
    virtual BOOL GetOverlappedResultEx(HANDLE port, OVERLAPPED& overlapped, DWORD& transferred,
                                       DWORD ms) = 0;
    virtual BOOL CancelIo(HANDLE port) = 0;

    // The clock the device keeps its time-outs and retries by, and its sleep.
    virtual Clock::time_point Now() = 0;
    virtual void SleepUntil(Clock::time_point deadline) = 0;

    // When this program last closed each port through these calls, by Now(): a refusal soon
    // after is the driver still letting go of the port, not another program holding it. Any
    // thread; the system's calls are one for the whole program, so a port a probe closed is
    // known to the load that opens it next.
    void NoteClosed(const std::string& path);
    [[nodiscard]] std::optional<Clock::time_point> ClosedAt(const std::string& path);

private:
    CMutex closesLock_;
    std::map<std::string, Clock::time_point> closedAt_ MORVANE_GUARDED_BY(closesLock_);
};

// The system's own calls and the steady clock.
[[nodiscard]] CWin32CommCalls& SystemCommCalls();

}  // namespace morvane
