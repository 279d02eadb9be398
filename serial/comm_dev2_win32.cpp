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
// ERROR_OPERATION_ABORTED, so that loop spins a processor while nothing arrives. Nothing waits on
// a comm event, so no event mask is set: some drivers fail reads that are pending beside one.
// Close wakes the thread through an event of its own; the thread then cancels its read and waits
// for the cancellation to finish before it ends.
//
// Every call on the driver that the load waits for has a bound. Drivers need not honour a
// cancellation, and one whose adapter was pulled out may complete a pending read or write only
// when its handle is closed, or later still: an I/O still pending after its cancellation is ended
// by closing the port, and its buffers, events and OVERLAPPED stay alive until the driver has
// completed it, or for good when it does not. The requests that cannot be overlapped
// (ClearCommError for the output queue and the error bits) are made by the receive thread, whose
// end Close waits for with a bound, and the write's look at the queue waits for its answer only
// until the write's deadline. A port whose driver held a request past its bound is closed before
// it is asked anything more.
//
// A pulled adapter is a port that went away, as a hung-up tty is on Linux: the driver's errors
// are read by ReadDriverError (comm_error_text.h), the ones that need it are confirmed by the
// system (the device-handle notification, or the port's leaving the system's list of ports), and
// LineGone then tells the load.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <utility>

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
// port, to complete an I/O. A driver that honours them needs a few USB frames. With a quarter of
// a second, a write held by a driver that honours nothing ends 1.5 s after it started and the
// port's close takes at most another 0.75 s: the record of the load is written within about
// 2.5 s of the last good write, inside the 4.5 s morvane-cli.exe has when Windows logs off.
constexpr std::chrono::milliseconds kCompletionMargin{250};
// How long Close gives the receive thread to end before it closes the port: its one wait on the
// driver, a cancelled read, is itself bounded by the margin above.
constexpr std::chrono::milliseconds kReceiveThreadEnd{2 * kCompletionMargin};

// The receive thread's answer when the driver would not tell its output queue.
constexpr std::int64_t kQueueUnknown = -1;
// What the write's look at the queue counts when no answer came in time: bytes still queued.
constexpr std::uint32_t kQueueUnanswered = std::numeric_limits<std::uint32_t>::max();

DWORD Ms(std::chrono::milliseconds time) { return static_cast<DWORD>(time.count()); }

// How an overlapped I/O ended.
enum class IoEnd { Done, Failed, Pending };

// Opens `path`; a refusal within kReleaseAfterClose of this program's own close of it is tried
// again until then. INVALID_HANDLE_VALUE with `error` set when the port stays refused.
HANDLE OpenAfterOurClose(CWin32CommCalls& calls, const std::string& path, DWORD& error) {
    for (;;) {
        const HANDLE handle = calls.CreateFileA(path.c_str());
        if (handle != INVALID_HANDLE_VALUE) return handle;
        error = calls.GetLastError();
        const std::optional<CommClock::time_point> closed = calls.ClosedAt(path);
        // A port gone from the system's list is not being let go of: it went away.
        if (error != ERROR_ACCESS_DENIED || !closed || calls.LeftTheList(path)) return handle;
        const CommClock::time_point now = calls.Now();
        const CommClock::time_point givenUpAt = *closed + kReleaseAfterClose;
        if (now >= givenUpAt) return handle;
        calls.SleepUntil(std::min(now + kReopenRetry, givenUpAt));
    }
}

}  // namespace

// What an open port holds here besides the ring: the handle, the receive thread, the events that
// wake it and answer the owner, and the overlapped structures of both directions.
struct CCommDev2::Backend : OpenPort {
    explicit Backend(CWin32CommCalls& c) : calls(c) {}
    Backend(const Backend&) = delete;
    Backend& operator=(const Backend&) = delete;

    CWin32CommCalls& calls;
    std::string path;                  // the device opened, to note our close of it
    CommClock::time_point openedAt{};  // by the calls' clock: a removal noted since is this port's
    // The open port, or INVALID_HANDLE_VALUE. Close invalidates it first: the receive thread
    // checks it after every wait and ends when it is gone.
    std::atomic<HANDLE> portHandle{INVALID_HANDLE_VALUE};
    HANDLE threadHandle = nullptr;
    HANDLE stopEvent = nullptr;  // Close sets it to end the receive thread's wait at once
    // The owner asks the receive thread for the driver's output queue (queueAsked), and the
    // thread answers in queueAnswer (bytes, or kQueueUnknown) and sets queueTold.
    HANDLE queueAsked = nullptr;
    HANDLE queueTold = nullptr;
    std::atomic<std::int64_t> queueAnswer{kQueueUnknown};
    OVERLAPPED writeOverlapped{};
    OVERLAPPED readOverlapped{};  // receive thread only
    std::uint32_t lineRate = 0;   // owner thread only: the rate last applied
    void* removalWatch = nullptr;
    // An I/O the driver did not complete even when asked to cancel it: only the port's close
    // ends it. The receive thread sets readPending before it ends; the owner sets writePending.
    std::atomic<bool> readPending{false};
    bool writePending = false;
    // Owner thread only: the driver held a request of ours past its bound.
    bool driverHung = false;

    static DWORD WINAPI ReceiveThread(void* self);
    void ReceiveLoop(HANDLE port);
    // Bytes of one read into chunk; 0 when the read failed or `stop` was raised.
    DWORD ReadChunk(HANDLE port, bool& stop);
    // Waits up to `ms` for `io` (null: none) or the stop, answering the owner's questions
    // meanwhile: WAIT_OBJECT_0 for the I/O (or, without one, the stop), else what ended it.
    DWORD WaitAnswering(HANDLE port, HANDLE io, DWORD ms);
    // Receive thread: the driver's output queue into queueAnswer, for the owner.
    void AnswerQueue(HANDLE port);
    // Receive thread: bytes in the driver's output queue; nothing when it cannot tell. Errors it
    // clears on the way are reported.
    std::optional<std::uint32_t> QueuedOut(HANDLE port);
    // Owner: the queue as the receive thread reads it, waiting for the answer until `deadline`
    // (or kCompletionMargin, when that is later); `hung` when none came by then.
    std::optional<std::uint32_t> AskQueue(CommClock::time_point deadline, bool& hung);
    // What a driver's `error` says of the device: raises lineGone when it is gone. Any thread.
    void NoteDriverError(DWORD error, bool cancelledByUs);
    // The system confirms that the device went away since the port opened.
    bool GoneConfirmed();
    [[nodiscard]] bool Gone() const;
    // Waits up to `time` for the I/O on `overlapped`: `count`, or `error`, of one that completed.
    IoEnd WaitIo(HANDLE port, OVERLAPPED& overlapped, DWORD& count, DWORD& error,
                 std::chrono::milliseconds time);
    // WaitIo for `bound`; one still pending then is cancelled (`cancelled`) and given
    // kCompletionMargin more.
    IoEnd FinishIo(HANDLE port, OVERLAPPED& overlapped, DWORD& count, DWORD& error,
                   std::chrono::milliseconds bound, bool& cancelled);
    // After the port's close: true once the I/O left pending has completed, waiting for it until
    // `deadline`; the closed handle is not touched.
    bool Settled(OVERLAPPED& overlapped, bool pending, CommClock::time_point deadline);
    // True once the receive thread has ended, waiting for it until `deadline`.
    bool ThreadEnded(CommClock::time_point deadline);
};

DWORD WINAPI CCommDev2::Backend::ReceiveThread(void* self) {
    Backend& b = *static_cast<Backend*>(self);
    // The handle is closed only after this thread ended, or once Close gave up waiting for it,
    // when the thread's calls on it fail: the thread may keep its value.
    b.ReceiveLoop(b.portHandle.load());
    return 0;
}

void CCommDev2::Backend::ReceiveLoop(HANDLE port) {
    while (portHandle.load() != INVALID_HANDLE_VALUE) {
        bool stop = false;
        const DWORD n = ReadChunk(port, stop);
        // A chunk read while Close was already under way belongs to nobody.
        if (stop || portHandle.load() == INVALID_HANDLE_VALUE) return;
        // With these time-outs a good read waits for its first byte: one that brings nothing
        // has failed. A dead port is read again after a rest, so that it costs no processor.
        if (n > 0)
            ring.Store(chunk.data(), static_cast<int>(n));
        else
            (void)WaitAnswering(port, nullptr, Ms(kFailedReadRest));
    }
}

DWORD CCommDev2::Backend::ReadChunk(HANDLE port, bool& stop) {
    DWORD count = 0;
    if (calls.ReadFile(port, chunk.data(), kMaxChunk, count, readOverlapped)) return count;
    const DWORD started = calls.GetLastError();
    if (started != ERROR_IO_PENDING) {
        NoteDriverError(started, false);
        if (!lineGone.load()) (void)QueuedOut(port);
        return 0;
    }
    if (WaitAnswering(port, readOverlapped.hEvent, INFINITE) != WAIT_OBJECT_0) {
        // Close is under way: the read must be over before its buffer and event go away; one the
        // driver will not cancel is left to Close, which ends it by closing the port.
        stop = true;
        DWORD error = 0;
        bool cancelled = false;
        if (FinishIo(port, readOverlapped, count, error, std::chrono::milliseconds(0), cancelled) ==
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
    // A port gone says so once, not at every read that fails after.
    if (lineGone.load()) return count;
    CommDebugLine("<CE-%u>\n", static_cast<unsigned>(error));
    NoteDriverError(error, false);
    if (!lineGone.load()) (void)QueuedOut(port);
    return count;
}

DWORD CCommDev2::Backend::WaitAnswering(HANDLE port, HANDLE io, DWORD ms) {
    HANDLE waitFor[3];
    DWORD count = 0;
    if (io != nullptr) waitFor[count++] = io;
    waitFor[count++] = stopEvent;
    waitFor[count++] = queueAsked;
    for (;;) {
        const DWORD woken = ::WaitForMultipleObjects(count, waitFor, FALSE, ms);
        if (woken != WAIT_OBJECT_0 + count - 1) return woken;
        AnswerQueue(port);
    }
}

void CCommDev2::Backend::AnswerQueue(HANDLE port) {
    const std::optional<std::uint32_t> queued = QueuedOut(port);
    queueAnswer.store(queued ? static_cast<std::int64_t>(*queued) : kQueueUnknown);
    (void)::SetEvent(queueTold);
}

std::optional<std::uint32_t> CCommDev2::Backend::QueuedOut(HANDLE port) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!calls.ClearCommError(port, errors, status)) return std::nullopt;
    if (errors != 0) CommDebugLine("<CE-%s>\n", CommErrorText(errors).c_str());
    return status.cbOutQue;
}

std::optional<std::uint32_t> CCommDev2::Backend::AskQueue(CommClock::time_point deadline,
                                                          bool& hung) {
    (void)::ResetEvent(queueTold);
    (void)::SetEvent(queueAsked);
    // A write that completed late still gets the margin for the answer.
    if (!calls.WaitForObject(queueTold, std::max(deadline, calls.Now() + kCompletionMargin))) {
        hung = true;
        return std::nullopt;
    }
    const std::int64_t answer = queueAnswer.load();
    if (answer == kQueueUnknown) return std::nullopt;
    return static_cast<std::uint32_t>(answer);
}

void CCommDev2::Backend::NoteDriverError(DWORD error, bool cancelledByUs) {
    switch (ReadDriverError(error, cancelledByUs)) {
        case DriverErrorReading::Gone: lineGone.store(true); return;
        case DriverErrorReading::Suspect:
            if (GoneConfirmed()) lineGone.store(true);
            return;
        case DriverErrorReading::Neither: return;
    }
}

bool CCommDev2::Backend::GoneConfirmed() {
    return calls.RemovedSince(path, openedAt) || calls.LeftTheList(path);
}

bool CCommDev2::Backend::Gone() const {
    return lineGone.load() || calls.RemovedSince(path, openedAt);
}

IoEnd CCommDev2::Backend::WaitIo(HANDLE port, OVERLAPPED& overlapped, DWORD& count, DWORD& error,
                                 std::chrono::milliseconds time) {
    if (calls.GetOverlappedResultEx(port, overlapped, count, Ms(time))) return IoEnd::Done;
    error = calls.GetLastError();
    return error == WAIT_TIMEOUT || error == ERROR_IO_INCOMPLETE ? IoEnd::Pending : IoEnd::Failed;
}

IoEnd CCommDev2::Backend::FinishIo(HANDLE port, OVERLAPPED& overlapped, DWORD& count, DWORD& error,
                                   std::chrono::milliseconds bound, bool& cancelled) {
    const IoEnd first = WaitIo(port, overlapped, count, error, bound);
    if (first != IoEnd::Pending) return first;
    (void)calls.CancelIo(port);
    cancelled = true;
    return WaitIo(port, overlapped, count, error, kCompletionMargin);
}

bool CCommDev2::Backend::Settled(OVERLAPPED& overlapped, bool pending,
                                 CommClock::time_point deadline) {
    if (!pending) return true;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - calls.Now());
    return calls.IoCompleted(overlapped, Ms(std::max(left, std::chrono::milliseconds(0))));
}

bool CCommDev2::Backend::ThreadEnded(CommClock::time_point deadline) {
    if (threadHandle == nullptr) return true;
    if (!calls.WaitForObject(threadHandle, deadline)) return false;
    ::CloseHandle(threadHandle);
    threadHandle = nullptr;
    return true;
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

    // The ring and its chunk buffer come with the backend; the events follow.
    CWin32CommCalls& calls = calls_ != nullptr ? *calls_ : SystemCommCalls();
    backend_.reset(new (std::nothrow) Backend(calls));
    if (!backend_) return fail(OpenErrorKind::Other, ERROR_NOT_ENOUGH_MEMORY);
    Backend& b = *backend_;
    b.path = path;
    for (auto [event, manualReset] : {std::pair{&b.readOverlapped.hEvent, TRUE},
                                      {&b.writeOverlapped.hEvent, TRUE},
                                      {&b.stopEvent, TRUE},
                                      {&b.queueAsked, FALSE},
                                      {&b.queueTold, FALSE}}) {
        *event = ::CreateEventA(nullptr, manualReset, FALSE, nullptr);
        if (*event == nullptr) return fail(OpenErrorKind::Other, ::GetLastError());
    }

    // No sharing: while the load runs, no other program can hold the port.
    DWORD error = 0;
    const HANDLE handle = OpenAfterOurClose(calls, path, error);
    if (handle == INVALID_HANDLE_VALUE) {
        // Windows denies access to a port another program holds, and to one whose adapter was
        // pulled out while the system still holds its name: the port's leaving the system's list
        // tells the second, which went away, from the first, which is in use.
        const bool goneConfirmed =
            ReadDriverError(error) == DriverErrorReading::Suspect && calls.LeftTheList(path);
        return fail(OpenErrorKindOfWin32(error, goneConfirmed), error);
    }
    b.portHandle.store(handle);
    b.openedAt = calls.Now();
    calls.NoteOpened(path, calls.PortListed(path));
    b.removalWatch = calls.WatchRemoval(handle, path);

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
// had its time on the line. A port whose driver holds the write, or the look at its queue, past
// the bound is closed: the load then meets a port that went away, when the system confirms it,
// or a write that failed.
bool CCommDev2::Write(const void* data, int length) {
    if (!IsOpen() || !WritableBytes(data, length)) return false;
    Backend& b = *backend_;
    CWin32CommCalls& calls = b.calls;
    const HANDLE port = b.portHandle.load();
    const CommClock::time_point handedAt = calls.Now();
    const CommClock::time_point deadline = handedAt + kWriteTimeout;
    // The error bits of a failed write, read by the receive thread.
    auto reportFailure = [&b, deadline](DWORD error, bool cancelled) {
        b.NoteDriverError(error, cancelled);
        if (!b.lineGone.load()) (void)b.AskQueue(deadline, b.driverHung);
    };
    DWORD written = 0;
    (void)::ResetEvent(b.writeOverlapped.hEvent);
    bool done = calls.WriteFile(port, data, static_cast<DWORD>(length), written,
                                b.writeOverlapped) != FALSE;
    if (!done) {
        const DWORD started = calls.GetLastError();
        if (started != ERROR_IO_PENDING) {
            CommDebugLine("Other Write Error \n");
            reportFailure(started, false);
        } else {
            // The port's write time-out ends the write within kWriteTimeout on a driver that
            // keeps it.
            DWORD error = 0;
            bool cancelled = false;
            switch (b.FinishIo(port, b.writeOverlapped, written, error,
                               kWriteTimeout + kCompletionMargin, cancelled)) {
                case IoEnd::Done: done = true; break;
                case IoEnd::Failed:
                    CommDebugLine("<CE-%u>\n", static_cast<unsigned>(error));
                    reportFailure(error, cancelled);
                    break;
                case IoEnd::Pending:
                    CommDebugLine("<write hung>\n");
                    b.writePending = true;
                    b.driverHung = true;
                    break;
            }
        }
    }
    // The write completed when the driver took the bytes; the driver, or the adapter's chip,
    // still holds them for as long as they take on the line.
    bool sent = false;
    if (done && written == static_cast<DWORD>(length)) {
        const CommClock::time_point completedAt = calls.Now();
        sent = WaitUntilSent(
            [&b, deadline]() -> std::optional<std::uint32_t> {
                const std::optional<std::uint32_t> queued = b.AskQueue(deadline, b.driverHung);
                return b.driverHung ? std::optional(kQueueUnanswered) : queued;
            },
            [&calls] { return calls.Now(); },
            [&calls](CommClock::time_point t) { calls.SleepUntil(t); }, deadline, b.lineRate,
            LineQuietAt(handedAt, completedAt, static_cast<std::uint32_t>(length), b.lineRate));
    }
    if (b.driverHung) {
        // A driver that held a request this long is dying, or its adapter was pulled out: the
        // system says which.
        if (b.GoneConfirmed()) b.lineGone.store(true);
        Close();
    }
    return sent;
}

void CCommDev2::Close() {
    if (!backend_) return;
    Backend& b = *backend_;
    CWin32CommCalls& calls = b.calls;
    goneAtClose_ = goneAtClose_ || b.Gone();
    const HANDLE port = b.portHandle.exchange(INVALID_HANDLE_VALUE);
    if (port != INVALID_HANDLE_VALUE) {
        calls.EndRemovalWatch(b.removalWatch);
        b.removalWatch = nullptr;
        if (b.threadHandle != nullptr) (void)::SetEvent(b.stopEvent);
        const bool endedBeforeClose = b.ThreadEnded(calls.Now() + kReceiveThreadEnd);
        // A driver that held a request past its bound, or whose device is gone, may hold the
        // next one for good: the port is closed before it is asked anything more.
        if (endedBeforeClose && !b.driverHung && !goneAtClose_) {
            (void)calls.EscapeCommFunction(port, CLRDTR);
            (void)calls.PurgeComm(port, kPurgeAll);
        }
        // Closing the port makes the driver complete whatever it still had pending.
        calls.CloseHandle(port);
        calls.NoteClosed(b.path);
        const CommClock::time_point settleBy = calls.Now() + kCompletionMargin;
        const bool settled = (endedBeforeClose || b.ThreadEnded(settleBy)) &&
                             b.Settled(b.readOverlapped, b.readPending.load(), settleBy) &&
                             b.Settled(b.writeOverlapped, b.writePending, settleBy);
        if (!settled) {
            // The driver may still write into the buffers and OVERLAPPEDs, or the thread still
            // use them: they are left to the driver for good rather than freed under it.
            CommDebugLine("<port abandoned>\n");
            CountAbandonedPort();
            (void)backend_.release();
            return;
        }
    }
    for (HANDLE* event : {&b.writeOverlapped.hEvent, &b.readOverlapped.hEvent, &b.stopEvent,
                          &b.queueAsked, &b.queueTold}) {
        if (*event != nullptr) ::CloseHandle(*event);
        *event = nullptr;
    }
    backend_.reset();
}

bool CCommDev2::IsOpen() const {
    return backend_ && backend_->portHandle.load() != INVALID_HANDLE_VALUE;
}

bool CCommDev2::LineGone() const { return goneAtClose_ || (backend_ && backend_->Gone()); }

}  // namespace morvane
