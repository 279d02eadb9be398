#include "serial/comm_calls_win32.h"

#include "platform/pacing.h"

namespace morvane {
namespace {

class CSystemCommCalls final : public CWin32CommCalls {
public:
    DWORD GetLastError() override { return ::GetLastError(); }
    HANDLE CreateFileA(const char* path) override {
        return ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    }
    BOOL CloseHandle(HANDLE port) override { return ::CloseHandle(port); }
    BOOL SetupComm(HANDLE port, DWORD inQueue, DWORD outQueue) override {
        return ::SetupComm(port, inQueue, outQueue);
    }
    BOOL SetCommMask(HANDLE port, DWORD mask) override { return ::SetCommMask(port, mask); }
    BOOL PurgeComm(HANDLE port, DWORD flags) override { return ::PurgeComm(port, flags); }
    BOOL GetCommState(HANDLE port, DCB& dcb) override { return ::GetCommState(port, &dcb); }
    BOOL SetCommState(HANDLE port, DCB& dcb) override { return ::SetCommState(port, &dcb); }
    BOOL SetCommTimeouts(HANDLE port, COMMTIMEOUTS& timeouts) override {
        return ::SetCommTimeouts(port, &timeouts);
    }
    BOOL ClearCommError(HANDLE port, DWORD& errors, COMSTAT& status) override {
        return ::ClearCommError(port, &errors, &status);
    }
    BOOL EscapeCommFunction(HANDLE port, DWORD function) override {
        return ::EscapeCommFunction(port, function);
    }
    BOOL ReadFile(HANDLE port, void* buffer, DWORD size, DWORD& read,
                  OVERLAPPED& overlapped) override {
        return ::ReadFile(port, buffer, size, &read, &overlapped);
    }
    BOOL WriteFile(HANDLE port, const void* data, DWORD size, DWORD& written,
                   OVERLAPPED& overlapped) override {
        return ::WriteFile(port, data, size, &written, &overlapped);
    }
    // Windows 8's GetOverlappedResultEx made of calls Windows 7 has.
    BOOL GetOverlappedResultEx(HANDLE port, OVERLAPPED& overlapped, DWORD& transferred,
                               DWORD ms) override {
        if (ms != 0 && ::WaitForSingleObject(overlapped.hEvent, ms) == WAIT_TIMEOUT) {
            ::SetLastError(WAIT_TIMEOUT);
            return FALSE;
        }
        return ::GetOverlappedResult(port, &overlapped, &transferred, FALSE);
    }
    BOOL CancelIo(HANDLE port) override { return ::CancelIo(port); }
    Clock::time_point Now() override { return Clock::now(); }
    void SleepUntil(Clock::time_point deadline) override { morvane::SleepUntil(deadline); }
};

}  // namespace

void CWin32CommCalls::NoteClosed(const std::string& path) {
    const Clock::time_point now = Now();
    const CMutexLock guard(closesLock_);
    closedAt_[path] = now;
}

std::optional<CWin32CommCalls::Clock::time_point> CWin32CommCalls::ClosedAt(
    const std::string& path) {
    const CMutexLock guard(closesLock_);
    const auto it = closedAt_.find(path);
    if (it == closedAt_.end()) return std::nullopt;
    return it->second;
}

CWin32CommCalls& SystemCommCalls() {
    static CSystemCommCalls calls;
    return calls;
}

}  // namespace morvane
