// The Win32 calls the Windows serial device makes on a port, behind an interface of our own: the
// device makes them through the system's own by default, and tests stand a scripted driver in
// that plays what real USB serial adapters do and Wine on a pseudo-terminal cannot show (a port
// held a moment after it was closed, a write taken into the chip's buffer at once, settings left
// by another program, an adapter pulled out whose driver ignores cancellation, or one that
// completes its requests only after the port was closed).
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
    // when `ms` is 0). Every wait on the driver for an open port is one of these, with a bound.
    virtual BOOL GetOverlappedResultEx(HANDLE port, OVERLAPPED& overlapped, DWORD& transferred,
                                       DWORD ms) = 0;
    // Whether the I/O on `overlapped` has completed, waiting at most `ms` on the structure's own
    // event (HasOverlappedIoCompleted): it touches no handle, so it is what is asked once the
    // port is closed.
    virtual bool IoCompleted(OVERLAPPED& overlapped, DWORD ms) = 0;
    virtual BOOL CancelIo(HANDLE port) = 0;
    // Waits at most until `deadline`, on the device's clock, for `object` (an event the receive
    // thread sets, or the thread itself, which ends); true when it was signalled.
    virtual bool WaitForObject(HANDLE object, Clock::time_point deadline) = 0;

    // Whether the system lists the port at `path` ("\\.\COM5") now: the serial drivers' own
    // list of the ports present (HARDWARE\DEVICEMAP\SERIALCOMM), which a port leaves as its
    // device goes.
    virtual bool PortListed(const std::string& path) = 0;
    // Asks the system to tell when the device behind the open `port` goes away, and to note it
    // then (NoteRemoved(path)); a token for EndRemovalWatch, null where the system cannot tell
    // (before Windows 8, Wine). Ended before the port is closed.
    virtual void* WatchRemoval(HANDLE port, const std::string& path) = 0;
    virtual void EndRemovalWatch(void* watch) = 0;

    // The clock the device keeps its time-outs and retries by, and its sleep.
    virtual Clock::time_point Now() = 0;
    virtual void SleepUntil(Clock::time_point deadline) = 0;

    // When this program last closed each port through these calls, by Now(): a refusal soon
    // after is the driver still letting go of the port, not another program holding it. Any
    // thread; the system's calls are one for the whole program, so a port a probe closed is
    // known to the load that opens it next.
    void NoteClosed(const std::string& path);
    [[nodiscard]] std::optional<Clock::time_point> ClosedAt(const std::string& path);

    // That the system told of the device behind the port at `path` going away (the device-handle
    // notification, or the window's WM_DEVICECHANGE), by Now(): a port opened before then has
    // lost its device. Any thread.
    void NoteRemoved(const std::string& path);
    [[nodiscard]] bool RemovedSince(const std::string& path, Clock::time_point since);

    // Whether the system listed the port at `path` (PortListed) when this program last opened it:
    // only a port that was listed can be seen to leave the list (some drivers' virtual ports are
    // never in it). Any thread.
    void NoteOpened(const std::string& path, bool listed);
    // The port was listed when last opened, and is no longer: its device went away.
    [[nodiscard]] bool LeftTheList(const std::string& path);

private:
    CMutex closesLock_;
    std::map<std::string, Clock::time_point> closedAt_ MORVANE_GUARDED_BY(closesLock_);
    std::map<std::string, Clock::time_point> removedAt_ MORVANE_GUARDED_BY(closesLock_);
    std::map<std::string, bool> listedAtOpen_ MORVANE_GUARDED_BY(closesLock_);
};

// The system's own calls and the steady clock.
[[nodiscard]] CWin32CommCalls& SystemCommCalls();

// The window heard that the device of port `portName` ("COM5") went away: a load on that port
// learns it from the device's LineGone at once.
void NotePortRemoved(const std::string& portName);

}  // namespace morvane
