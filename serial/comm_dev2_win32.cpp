// CCommDev2 on Windows: a COM port opened for overlapped I/O, the system's own line settings and
// time-outs, and a receive thread that moves what the port receives into the ring.
//
// How the receive thread waits: it keeps one overlapped read of up to 4095 bytes pending. With
// the port's time-outs (10 ms between bytes, no total limit) such a read completes once bytes
// came and the line then paused for 10 ms, and it stays pending, at no cost, while nothing comes.
// A thread parked in WaitCommEvent for EV_RXCHAR instead would depend on the driver's event
// support: Wine's serial layer on a pseudo-terminal ends every such wait at once with
// ERROR_OPERATION_ABORTED, so that loop spins a processor while nothing arrives. Close wakes the
// thread through an event of its own; the thread then cancels its read and waits for the
// cancellation to finish before it ends, so no read is left writing into freed buffers.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <new>
#include <string>

#include "platform/debug.h"
#include "platform/text.h"
#include "serial/com_port_path.h"
#include "serial/comm_dev2.h"
#include "serial/comm_error_text.h"
#include "serial/receive_ring.h"

namespace morvane {
namespace {

constexpr DWORD kQueueSize = CCommDev2::kBufferSize;
// One driver read never asks for more than this.
constexpr DWORD kMaxChunk = CCommDev2::kBufferSize - 1;
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
// A read that brings nothing has failed (with these time-outs a good one waits for the first
// byte); the receive thread rests before it reads again, so a port that keeps failing (a USB
// adapter pulled) costs no processor time.
constexpr DWORD kEmptyReadRestMs = 50;

// Debug lines are formatted into a 64-byte buffer: an overlong line is cut, never allocated.
MORVANE_PRINTF_FORMAT(1, 2) void DebugLine(const char* format, ...) {
    char line[64];
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    OutputDebugStringA(line);
}

std::string SystemText(DWORD error) {
    char* text = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string out = length > 0 && text != nullptr ? std::string(text, length) : std::string();
    if (text != nullptr) ::LocalFree(text);
    while (!out.empty() &&
           (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.')) {
        out.pop_back();
    }
    return out.empty() ? "system error " + std::to_string(error) : out;
}

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

}  // namespace

// Everything an open port holds. It exists exactly from a successful resource set-up in Open
// until Close, so a device that was never opened holds nothing.
struct CCommDev2::Backend {
    Backend() : ring(ringBuffer) {}
    Backend(const Backend&) = delete;
    Backend& operator=(const Backend&) = delete;

    // The open port, or INVALID_HANDLE_VALUE. Close invalidates it first: the receive thread
    // checks it after every wait and ends when it is gone.
    std::atomic<HANDLE> portHandle{INVALID_HANDLE_VALUE};
    HANDLE threadHandle = nullptr;
    HANDLE stopEvent = nullptr;  // Close sets it to end the receive thread's wait at once
    OVERLAPPED writeOverlapped{};
    OVERLAPPED readOverlapped{};  // receive thread only

    char ringBuffer[kBufferSize] = {};
    char chunkBuffer[kBufferSize] = {};  // receive thread only: one driver read
    CReceiveRing ring;

    DCB driverSettings{};  // owner thread only: what the driver reported, for the fields we leave

    static DWORD WINAPI ReceiveThread(void* self);
    void ReceiveLoop(HANDLE port);
    // Bytes of one read into chunkBuffer; 0 when the read failed or `stop` was raised.
    DWORD ReadChunk(HANDLE port, bool& stop);
    void ReportErrors(HANDLE port) const;
    void Rest(DWORD ms) const { (void)::WaitForSingleObject(stopEvent, ms); }
};

DWORD WINAPI CCommDev2::Backend::ReceiveThread(void* self) {
    Backend& b = *static_cast<Backend*>(self);
    // The handle is closed only after this thread ended, so the thread may keep its value.
    b.ReceiveLoop(b.portHandle.load());
    return 0;
}

void CCommDev2::Backend::ReceiveLoop(HANDLE port) {
    if (!::SetCommMask(port, EV_RXCHAR)) return;
    while (portHandle.load() != INVALID_HANDLE_VALUE) {
        bool stop = false;
        const DWORD n = ReadChunk(port, stop);
        // A chunk read while Close was already under way belongs to nobody.
        if (stop || portHandle.load() == INVALID_HANDLE_VALUE) return;
        if (n > 0)
            ring.Store(chunkBuffer, static_cast<int>(n));
        else
            Rest(kEmptyReadRestMs);
    }
}

DWORD CCommDev2::Backend::ReadChunk(HANDLE port, bool& stop) {
    DWORD count = 0;
    if (::ReadFile(port, chunkBuffer, kMaxChunk, &count, &readOverlapped)) return count;
    const DWORD started = ::GetLastError();
    if (started != ERROR_IO_PENDING) {
        ReportErrors(port);
        return 0;
    }
    const HANDLE waitFor[2] = {readOverlapped.hEvent, stopEvent};
    const DWORD woken = ::WaitForMultipleObjects(2, waitFor, FALSE, INFINITE);
    if (woken != WAIT_OBJECT_0) {
        // Close is under way: the read must be over before its buffer and event go away.
        stop = true;
        (void)::CancelIo(port);
        (void)::GetOverlappedResult(port, &readOverlapped, &count, TRUE);
        return 0;
    }
    if (::GetOverlappedResult(port, &readOverlapped, &count, FALSE)) return count;
    const DWORD error = ::GetLastError();
    // A read whose time-out struck ends with the bytes it got; some drivers report the time-out
    // as an error, with the count still valid.
    if (error == ERROR_TIMEOUT) return count;
    if (portHandle.load() == INVALID_HANDLE_VALUE) return 0;
    DebugLine("<CE-%u>\n", static_cast<unsigned>(error));
    ReportErrors(port);
    return count;
}

void CCommDev2::Backend::ReportErrors(HANDLE port) const {
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(port, &errors, &status)) return;
    if (errors != 0) DebugLine("<CE-%s>\n", CommErrorText(errors).c_str());
}

CCommDev2::CCommDev2() = default;

CCommDev2::~CCommDev2() { CCommDev2::Close(); }

std::string ComPortDevicePath(int port) { return Format("\\\\.\\COM%d", port); }

std::string CCommDev2::DevicePathFor(int port) const { return ComPortDevicePath(port); }

bool CCommDev2::Open(int port) {
    Close();
    lastOpenError_ = OpenError{};
    const std::string path = DevicePathFor(port);
    lastOpenError_.devicePath = path;

    auto fail = [this](OpenErrorKind kind, DWORD error) {
        lastOpenError_.kind = kind;
        lastOpenError_.osError = static_cast<int>(error);
        lastOpenError_.osText = SystemText(error);
        Close();
        return false;
    };

    // The ring, its chunk buffer and lock come with the backend; the two events follow.
    backend_.reset(new (std::nothrow) Backend);
    if (!backend_) return fail(OpenErrorKind::Other, ERROR_NOT_ENOUGH_MEMORY);
    Backend& b = *backend_;
    b.readOverlapped.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (b.readOverlapped.hEvent == nullptr) return fail(OpenErrorKind::Other, ::GetLastError());
    b.writeOverlapped.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (b.writeOverlapped.hEvent == nullptr) return fail(OpenErrorKind::Other, ::GetLastError());
    b.stopEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (b.stopEvent == nullptr) return fail(OpenErrorKind::Other, ::GetLastError());

    // No sharing: while the load runs, no other program can hold the port.
    const HANDLE handle =
        ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return fail(KindForError(error), error);
    }
    b.portHandle.store(handle);

    (void)::SetCommMask(handle, EV_RXCHAR);
    (void)::SetupComm(handle, kQueueSize, kQueueSize);
    (void)::PurgeComm(handle, kPurgeAll);

    if (!InitCommState()) return fail(OpenErrorKind::SettingsRefused, ::GetLastError());

    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 10;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 1000;
    (void)::SetCommTimeouts(handle, &timeouts);

    b.threadHandle = ::CreateThread(nullptr, 0, &Backend::ReceiveThread, &b, 0, nullptr);
    if (b.threadHandle == nullptr) return fail(OpenErrorKind::Other, ::GetLastError());

    // Pseudo-terminals behind a Wine port have no modem lines and refuse this; the line settings
    // above asked for DTR already.
    (void)::EscapeCommFunction(handle, SETDTR);
    return true;
}

bool CCommDev2::InitCommState() {
    if (!IsOpen()) return false;
    Backend& b = *backend_;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    (void)::GetCommState(b.portHandle.load(), &dcb);
    dcb.DCBlength = sizeof dcb;
    b.driverSettings = dcb;

    lineSettings = DefaultLineSettings();
    return ApplyCommState();
}

bool CCommDev2::SetHandshake(bool enable) {
    if (!IsOpen()) return false;
    SetLineHandshake(lineSettings, enable);
    return true;
}

// The driver's block with our fields written over it: fDsrSensitivity, fTXContinueOnXoff,
// fErrorChar, fAbortOnError, ErrorChar and EofChar stay as the driver reported them.
bool CCommDev2::ApplyCommState() {
    if (!IsOpen()) return false;
    Backend& b = *backend_;
    const SLineSettings& s = lineSettings;
    DCB dcb = b.driverSettings;
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
    return ::SetCommState(b.portHandle.load(), &dcb) != FALSE;
}

// True only when every byte was written within the write time-out.
bool CCommDev2::Write(const void* data, int length) {
    if (!IsOpen() || length < 0 || (data == nullptr && length > 0)) return false;
    Backend& b = *backend_;
    const HANDLE port = b.portHandle.load();
    DWORD written = 0;
    (void)::ResetEvent(b.writeOverlapped.hEvent);
    if (!::WriteFile(port, data, static_cast<DWORD>(length), &written, &b.writeOverlapped)) {
        const DWORD started = ::GetLastError();
        if (started != ERROR_IO_PENDING) {
            DebugLine("Other Write Error \n");
            b.ReportErrors(port);
            return false;
        }
        for (;;) {
            if (::GetOverlappedResult(port, &b.writeOverlapped, &written, TRUE)) break;
            const DWORD error = ::GetLastError();
            if (error == ERROR_IO_INCOMPLETE) continue;
            DebugLine("<CE-%u>\n", static_cast<unsigned>(error));
            b.ReportErrors(port);
            return false;
        }
    }
    return written == static_cast<DWORD>(length);
}

int CCommDev2::Read(char* buffer, int length) {
    if (!IsOpen()) return 0;
    return backend_->ring.Take(buffer, length);
}

void CCommDev2::Close() {
    if (!backend_) return;
    Backend& b = *backend_;
    const HANDLE port = b.portHandle.exchange(INVALID_HANDLE_VALUE);
    if (port != INVALID_HANDLE_VALUE) {
        (void)::SetCommMask(port, 0);
        if (b.threadHandle != nullptr) {
            (void)::SetEvent(b.stopEvent);
            (void)::WaitForSingleObject(b.threadHandle, INFINITE);
            ::CloseHandle(b.threadHandle);
            b.threadHandle = nullptr;
        }
        (void)::EscapeCommFunction(port, CLRDTR);
        (void)::PurgeComm(port, kPurgeAll);
        ::CloseHandle(port);
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

int CCommDev2::RingCount() const { return backend_ ? backend_->ring.Count() : 0; }

}  // namespace morvane
