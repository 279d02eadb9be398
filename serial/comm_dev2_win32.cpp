// CCommDev2 on Windows: a COM port opened for overlapped I/O, the system's own line settings and
// time-outs, and a receive thread that moves what the port receives into the ring. Every call on
// the port goes through CWin32CommCalls (comm_calls_win32.h), the system's own unless a test
// plays a driver.
//
// How the receive thread waits: it keeps one overlapped read of up to 4095 bytes pending. With
// the port's time-outs (10 ms between bytes, no total limit) such a read completes once bytes
// came and the line then paused for 10 ms, and it stays pending, at no cost, while nothing comes.
// A thread parked in WaitCommEvent for EV_RXCHAR instead would depend on the driver's event
// support: Wine's serial layer on a pseudo-terminal ends every such wait at once with
// ERROR_OPERATION_ABORTED, so that loop spins a processor while nothing arrives. Close wakes the
// thread through an event of its own; the thread then cancels its read and waits for the
// cancellation to finish before it ends.
//
// Every wait on the driver has a bound. Drivers need not honour a cancellation, and one whose
// adapter was pulled out may complete a pending read or write only when its handle is closed:
// an I/O still pending after its cancellation is ended by closing the port, and its buffers and
// OVERLAPPED stay alive until the driver has completed it, or for good when it never does.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <new>
#include <optional>
#include <string>

#include "platform/text.h"
#include "serial/com_port_path.h"
#include "serial/comm_calls_win32.h"
#include "serial/comm_dev2.h"
#include "serial/comm_dev2_shared.h"
#include "serial/comm_error_text.h"
#include "serial/port_identity.h"
#include "serial/system_text_win32.h"

namespace morvane {
namespace {

constexpr DWORD kQueueSize = CCommDev2::kBufferSize;
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

// Some USB serial drivers let go of a port a little after CloseHandle returned; until they do,
// an open is refused with access denied, exactly as when another program holds the port. The
// loader closes and reopens the port at every sweep and detection step and before the transfer,
// so such a refusal soon after our own close is tried again until the driver has let go. The
// releases reported take from tens to a few hundred milliseconds: a second covers them with room
// to spare, and a port that is still refused a second after our close is another program's,
// which the user hears of no more than a second late.
constexpr std::chrono::milliseconds kReleaseAfterClose{1000};
// Between two tries: often enough that a port free again costs the load little of the wait.
constexpr std::chrono::milliseconds kReopenRetry{50};

// What a driver gets beyond a write's own time-out, and after a cancellation or the close of its
// port, to complete an I/O. A driver that honours them needs a few USB frames; half a second
// leaves a busy PC room, and a load on an adapter pulled out under a driver that honours
// nothing still ends within about three seconds of its last good write.
constexpr std::chrono::milliseconds kCompletionMargin{500};
// How long Close gives the receive thread to end: its one wait on the driver, a cancelled read,
// is itself bounded by the margin above.
constexpr std::chrono::milliseconds kReceiveThreadEnd{2 * kCompletionMargin};

DWORD Ms(std::chrono::milliseconds time) { return static_cast<DWORD>(time.count()); }

// How an overlapped I/O ended.
enum class IoEnd { Done, Failed, Pending };

OpenErrorKind KindForError(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_UNIT:
        case ERROR_DEV_NOT_EXIST: return OpenErrorKind::NoSuchDevice;
        // Windows gives one program at a time a COM port; the next one is denied access.
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY: return OpenErrorKind::Busy;
        case ERROR_INVALID_FUNCTION:
        case ERROR_NOT_SUPPORTED: return OpenErrorKind::NotSerial;
        default: return OpenErrorKind::Other;
    }
}

// Opens `path`; a refusal within kReleaseAfterClose of this program's own close of it is tried
// again until then. INVALID_HANDLE_VALUE with `error` set when the port stays refused.
HANDLE OpenAfterOurClose(CWin32CommCalls& calls, const std::string& path, DWORD& error) {
    for (;;) {
        const HANDLE handle = calls.CreateFileA(path.c_str());
        if (handle != INVALID_HANDLE_VALUE) return handle;
        error = calls.GetLastError();
        const std::optional<CommClock::time_point> closed = calls.ClosedAt(path);
        if (error != ERROR_ACCESS_DENIED || !closed) return handle;
        const CommClock::time_point now = calls.Now();
        const CommClock::time_point givenUpAt = *closed + kReleaseAfterClose;
        if (now >= givenUpAt) return handle;
        calls.SleepUntil(std::min(now + kReopenRetry, givenUpAt));
    }
}

}  // namespace

// What an open port holds here besides the ring: the handle, the receive thread and the
// overlapped structures of both directions.
struct CCommDev2::Backend : OpenPort {
    explicit Backend(CWin32CommCalls& c) : calls(c) {}
    Backend(const Backend&) = delete;
    Backend& operator=(const Backend&) = delete;

    CWin32CommCalls& calls;
    std::string path;  // the device opened, to note our close of it
    // The open port, or INVALID_HANDLE_VALUE. Close invalidates it first: the receive thread
    // checks it after every wait and ends when it is gone.
    std::atomic<HANDLE> portHandle{INVALID_HANDLE_VALUE};
    HANDLE threadHandle = nullptr;
    HANDLE stopEvent = nullptr;  // Close sets it to end the receive thread's wait at once
    OVERLAPPED writeOverlapped{};
    OVERLAPPED readOverlapped{};  // receive thread only
    std::uint32_t lineRate = 0;   // owner thread only: the rate last applied
    // An I/O the driver did not complete even when asked to cancel it: only the port's close
    // ends it. The receive thread sets readPending before it ends; the owner sets writePending.
    std::atomic<bool> readPending{false};
    bool writePending = false;

    static DWORD WINAPI ReceiveThread(void* self);
    void ReceiveLoop(HANDLE port);
    // Bytes of one read into chunk; 0 when the read failed or `stop` was raised.
    DWORD ReadChunk(HANDLE port, bool& stop);
    void ReportErrors(HANDLE port);
    // Bytes in the driver's output queue; nothing when it cannot tell. Errors it clears on the
    // way are reported.
    std::optional<std::uint32_t> QueuedOut(HANDLE port);
    // Waits up to `time` for the I/O on `overlapped`: `count`, or `error`, of one that completed.
    IoEnd WaitIo(HANDLE port, OVERLAPPED& overlapped, DWORD& count, DWORD& error,
                 std::chrono::milliseconds time);
    // WaitIo for `bound`; one still pending then is cancelled and given kCompletionMargin more.
    IoEnd FinishIo(HANDLE port, OVERLAPPED& overlapped, DWORD& count, DWORD& error,
                   std::chrono::milliseconds bound);
    // After the port's close: true once the I/O that was left pending has completed.
    bool Settled(HANDLE port, OVERLAPPED& overlapped, bool pending);
    void Rest() const {
        (void)::WaitForSingleObject(stopEvent, static_cast<DWORD>(kFailedReadRest.count()));
    }
};

DWORD WINAPI CCommDev2::Backend::ReceiveThread(void* self) {
    Backend& b = *static_cast<Backend*>(self);
    // The handle is closed only after this thread ended, so the thread may keep its value.
    b.ReceiveLoop(b.portHandle.load());
    return 0;
}

// The thread waits on no comm event: a driver that refuses the event mask still reads.
void CCommDev2::Backend::ReceiveLoop(HANDLE port) {
    while (portHandle.load() != INVALID_HANDLE_VALUE) {
        bool stop = false;
        const DWORD n = ReadChunk(port, stop);
        // A chunk read while Close was already under way belongs to nobody.
        if (stop || portHandle.load() == INVALID_HANDLE_VALUE) return;
        // With these time-outs a good read waits for its first byte: one that brings nothing
        // has failed.
        if (n > 0)
            ring.Store(chunk.data(), static_cast<int>(n));
        else
            Rest();
    }
}

DWORD CCommDev2::Backend::ReadChunk(HANDLE port, bool& stop) {
    DWORD count = 0;
    if (calls.ReadFile(port, chunk.data(), kMaxChunk, count, readOverlapped)) return count;
    const DWORD started = calls.GetLastError();
    if (started != ERROR_IO_PENDING) {
        ReportErrors(port);
        return 0;
    }
    const HANDLE waitFor[2] = {readOverlapped.hEvent, stopEvent};
    const DWORD woken = ::WaitForMultipleObjects(2, waitFor, FALSE, INFINITE);
    if (woken != WAIT_OBJECT_0) {
        // Close is under way: the read must be over before its buffer and event go away; one the
        // driver will not cancel is left to Close, which ends it by closing the port.
        stop = true;
        DWORD error = 0;
        if (FinishIo(port, readOverlapped, count, error, std::chrono::milliseconds(0)) ==
            IoEnd::Pending)
            readPending.store(true);
        return 0;
    }
    if (calls.GetOverlappedResultEx(port, readOverlapped, count, 0)) return count;
    const DWORD error = calls.GetLastError();
    // A read whose time-out struck ends with the bytes it got; some drivers report the time-out
    // as an error, with the count still valid.
    if (error == ERROR_TIMEOUT) return count;
    if (portHandle.load() == INVALID_HANDLE_VALUE) return 0;
    CommDebugLine("<CE-%u>\n", static_cast<unsigned>(error));
    ReportErrors(port);
    return count;
}

IoEnd CCommDev2::Backend::WaitIo(HANDLE port, OVERLAPPED& overlapped, DWORD& count, DWORD& error,
                                 std::chrono::milliseconds time) {
    if (calls.GetOverlappedResultEx(port, overlapped, count, Ms(time))) return IoEnd::Done;
    error = calls.GetLastError();
    return error == WAIT_TIMEOUT || error == ERROR_IO_INCOMPLETE ? IoEnd::Pending : IoEnd::Failed;
}

IoEnd CCommDev2::Backend::FinishIo(HANDLE port, OVERLAPPED& overlapped, DWORD& count, DWORD& error,
                                   std::chrono::milliseconds bound) {
    const IoEnd first = WaitIo(port, overlapped, count, error, bound);
    if (first != IoEnd::Pending) return first;
    (void)calls.CancelIo(port);
    return WaitIo(port, overlapped, count, error, kCompletionMargin);
}

bool CCommDev2::Backend::Settled(HANDLE port, OVERLAPPED& overlapped, bool pending) {
    DWORD count = 0;
    DWORD error = 0;
    return !pending || WaitIo(port, overlapped, count, error, kCompletionMargin) != IoEnd::Pending;
}

void CCommDev2::Backend::ReportErrors(HANDLE port) { (void)QueuedOut(port); }

std::optional<std::uint32_t> CCommDev2::Backend::QueuedOut(HANDLE port) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!calls.ClearCommError(port, errors, status)) return std::nullopt;
    if (errors != 0) CommDebugLine("<CE-%s>\n", CommErrorText(errors).c_str());
    return status.cbOutQue;
}

// Made and destroyed where the Backend is complete.
CCommDev2::CCommDev2() = default;

CCommDev2::CCommDev2(CWin32CommCalls& calls) : calls_(&calls) {}

CCommDev2::~CCommDev2() { CCommDev2::Close(); }

CCommDev2::OpenPort* CCommDev2::Port() const { return backend_.get(); }

std::string ComPortDevicePath(int port) { return "\\\\.\\" + ComPortName(port); }

std::string CCommDev2::DevicePathFor(int port) const { return ComPortDevicePath(port); }

bool CCommDev2::Open(int port) {
    const std::string path = BeginOpen(port);
    auto fail = [this](OpenErrorKind kind, DWORD error) {
        return OpenFailed(kind, static_cast<int>(error), SystemErrorText(error));
    };

    // The ring and its chunk buffer come with the backend; the three events follow.
    CWin32CommCalls& calls = calls_ != nullptr ? *calls_ : SystemCommCalls();
    backend_.reset(new (std::nothrow) Backend(calls));
    if (!backend_) return fail(OpenErrorKind::Other, ERROR_NOT_ENOUGH_MEMORY);
    Backend& b = *backend_;
    b.path = path;
    b.readOverlapped.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (b.readOverlapped.hEvent == nullptr) return fail(OpenErrorKind::Other, ::GetLastError());
    b.writeOverlapped.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (b.writeOverlapped.hEvent == nullptr) return fail(OpenErrorKind::Other, ::GetLastError());
    b.stopEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (b.stopEvent == nullptr) return fail(OpenErrorKind::Other, ::GetLastError());

    // No sharing: while the load runs, no other program can hold the port.
    DWORD error = 0;
    const HANDLE handle = OpenAfterOurClose(calls, path, error);
    if (handle == INVALID_HANDLE_VALUE) return fail(KindForError(error), error);
    b.portHandle.store(handle);

    (void)calls.SetCommMask(handle, EV_RXCHAR);
    (void)calls.SetupComm(handle, kQueueSize, kQueueSize);
    (void)calls.PurgeComm(handle, kPurgeAll);

    if (!InitCommState()) return fail(OpenErrorKind::SettingsRefused, calls.GetLastError());

    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 10;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(kWriteTimeout.count());
    (void)calls.SetCommTimeouts(handle, timeouts);

    b.threadHandle = ::CreateThread(nullptr, 0, &Backend::ReceiveThread, &b, 0, nullptr);
    if (b.threadHandle == nullptr) return fail(OpenErrorKind::Other, ::GetLastError());

    // Pseudo-terminals behind a Wine port have no modem lines and refuse this; the line settings
    // above asked for DTR already.
    (void)calls.EscapeCommFunction(handle, SETDTR);
    return true;
}

// The driver's block as it reports it now, with our fields written over it.
bool CCommDev2::ApplyCommState() {
    if (!IsOpen()) return false;
    Backend& b = *backend_;
    const HANDLE port = b.portHandle.load();
    const SLineSettings& s = lineSettings_;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    (void)b.calls.GetCommState(port, dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = s.BaudRate;
    dcb.ByteSize = s.ByteSize;
    // The face numbers parity, stop bits and the control modes as the device-control block does.
    dcb.Parity = static_cast<BYTE>(s.Parity);
    dcb.StopBits = static_cast<BYTE>(s.StopBits);
    dcb.fBinary = s.fBinary ? 1 : 0;
    dcb.fParity = s.fParity ? 1 : 0;
    dcb.fOutxCtsFlow = s.fOutxCtsFlow ? 1 : 0;
    dcb.fOutxDsrFlow = s.fOutxDsrFlow ? 1 : 0;
    dcb.fDtrControl = static_cast<DWORD>(s.fDtrControl);
    dcb.fOutX = s.fOutX ? 1 : 0;
    dcb.fInX = s.fInX ? 1 : 0;
    dcb.fNull = s.fNull ? 1 : 0;
    dcb.fRtsControl = static_cast<DWORD>(s.fRtsControl);
    dcb.XonLim = s.XonLim;
    dcb.XoffLim = s.XoffLim;
    dcb.XonChar = s.XonChar;
    dcb.XoffChar = s.XoffChar;
    dcb.EvtChar = s.EvtChar;
    // Many drivers keep these two from the last program that used the port (or `mode COMn`).
    // With DSR sensitivity the driver drops every byte received while DSR is low, which it
    // always is on a three-wire cable: the receiver would never be heard. With abort-on-error,
    // one framing error (the rate sweep makes them) fails every later read and write until the
    // error is cleared. Every other field stays as the driver reports it.
    dcb.fDsrSensitivity = 0;
    dcb.fAbortOnError = 0;
    if (!b.calls.SetCommState(port, dcb)) return false;
    b.lineRate = s.BaudRate;
    return true;
}

// True only when every byte was written and has left the PC within the write time-out, and has
// had its time on the line. A write the driver holds past its time-out and will not cancel ends
// the port: the load then meets a port that went away.
bool CCommDev2::Write(const void* data, int length) {
    if (!IsOpen() || !WritableBytes(data, length)) return false;
    Backend& b = *backend_;
    CWin32CommCalls& calls = b.calls;
    const HANDLE port = b.portHandle.load();
    const CommClock::time_point handedAt = calls.Now();
    const CommClock::time_point deadline = handedAt + kWriteTimeout;
    DWORD written = 0;
    (void)::ResetEvent(b.writeOverlapped.hEvent);
    if (!calls.WriteFile(port, data, static_cast<DWORD>(length), written, b.writeOverlapped)) {
        const DWORD started = calls.GetLastError();
        if (started != ERROR_IO_PENDING) {
            CommDebugLine("Other Write Error \n");
            b.ReportErrors(port);
            return false;
        }
        // The port's write time-out ends the write within kWriteTimeout on a driver that keeps it.
        DWORD error = 0;
        switch (b.FinishIo(port, b.writeOverlapped, written, error,
                           kWriteTimeout + kCompletionMargin)) {
            case IoEnd::Done: break;
            case IoEnd::Failed:
                CommDebugLine("<CE-%u>\n", static_cast<unsigned>(error));
                b.ReportErrors(port);
                return false;
            case IoEnd::Pending:
                CommDebugLine("<write hung>\n");
                b.writePending = true;
                Close();
                return false;
        }
    }
    // The write completed when the driver took the bytes; the driver, or the adapter's chip,
    // still holds them for as long as they take on the line.
    if (written != static_cast<DWORD>(length)) return false;
    return WaitUntilSent([&b, port] { return b.QueuedOut(port); }, [&calls] { return calls.Now(); },
                         [&calls](CommClock::time_point t) { calls.SleepUntil(t); }, deadline,
                         b.lineRate,
                         LineQuietAt(handedAt, static_cast<std::uint32_t>(length), b.lineRate));
}

void CCommDev2::Close() {
    if (!backend_) return;
    Backend& b = *backend_;
    CWin32CommCalls& calls = b.calls;
    const HANDLE port = b.portHandle.exchange(INVALID_HANDLE_VALUE);
    if (port != INVALID_HANDLE_VALUE) {
        (void)calls.SetCommMask(port, 0);
        if (b.threadHandle != nullptr) (void)::SetEvent(b.stopEvent);
        auto threadEnded = [&b] {
            if (b.threadHandle == nullptr) return true;
            if (::WaitForSingleObject(b.threadHandle, Ms(kReceiveThreadEnd)) != WAIT_OBJECT_0)
                return false;
            ::CloseHandle(b.threadHandle);
            b.threadHandle = nullptr;
            return true;
        };
        const bool endedBeforeClose = threadEnded();
        (void)calls.EscapeCommFunction(port, CLRDTR);
        (void)calls.PurgeComm(port, kPurgeAll);
        // Closing the port makes the driver complete whatever it still had pending.
        calls.CloseHandle(port);
        calls.NoteClosed(b.path);
        const bool settled = (endedBeforeClose || threadEnded()) &&
                             b.Settled(port, b.readOverlapped, b.readPending.load()) &&
                             b.Settled(port, b.writeOverlapped, b.writePending);
        if (!settled) {
            // The driver may still write into the buffers and OVERLAPPEDs, or the thread still
            // use them: they are left to the driver for good rather than freed under it.
            CommDebugLine("<port abandoned>\n");
            (void)backend_.release();
            return;
        }
    }
    for (HANDLE* event : {&b.writeOverlapped.hEvent, &b.readOverlapped.hEvent, &b.stopEvent}) {
        if (*event != nullptr) ::CloseHandle(*event);
        *event = nullptr;
    }
    backend_.reset();
}

bool CCommDev2::IsOpen() const {
    return backend_ && backend_->portHandle.load() != INVALID_HANDLE_VALUE;
}

}  // namespace morvane
