#include "tests/serial/scripted_comm_driver.h"

#include <algorithm>

namespace morvane::testing {
namespace {

// Each thread has its own last error, as with the system.
thread_local DWORD lastError = 0;

const HANDLE kPort = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x7001));

BOOL Fail(DWORD error) {
    lastError = error;
    return FALSE;
}

}  // namespace

DCB SDriverScript::PlainSettings() {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.fBinary = 1;
    return dcb;
}

CScriptedCommDriver::CScriptedCommDriver(SDriverScript script, CSimEngine& receiver)
    : script_(script),
      receiver_(receiver),
      start_(Clock::time_point{} + std::chrono::hours(1)),
      now_(start_),
      releasedAt_(start_),
      settings_(script.leftSettings),
      lineBusyUntil_(start_) {}

DWORD CScriptedCommDriver::GetLastError() { return lastError; }

HANDLE CScriptedCommDriver::CreateFileA(const char* path) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (std::string(path).rfind("\\\\.\\COM", 0) != 0) {
        lastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    if (open_ || script_.heldByAnotherProgram || now_ < releasedAt_) {
        ++refusedOpens_;
        lastError = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }
    open_ = true;
    arrived_.clear();
    return kPort;
}

BOOL CScriptedCommDriver::CloseHandle(HANDLE port) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (port != kPort || !open_) return Fail(ERROR_INVALID_HANDLE);
    open_ = false;
    releasedAt_ = now_ + script_.releaseAfterClose;
    arrived_.clear();
    handedOver_ = false;
    pendingRead_ = nullptr;
    results_.clear();
    changed_.notify_all();
    return TRUE;
}

BOOL CScriptedCommDriver::SetupComm(HANDLE port, DWORD, DWORD) {
    return port == kPort ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL CScriptedCommDriver::SetCommMask(HANDLE port, DWORD) {
    return port == kPort ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL CScriptedCommDriver::PurgeComm(HANDLE port, DWORD flags) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (port != kPort) return Fail(ERROR_INVALID_HANDLE);
    if ((flags & PURGE_RXCLEAR) != 0) arrived_.clear();
    if ((flags & PURGE_TXCLEAR) != 0) lineBusyUntil_ = std::min(lineBusyUntil_, now_);
    return TRUE;
}

BOOL CScriptedCommDriver::GetCommState(HANDLE port, DCB& dcb) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (port != kPort) return Fail(ERROR_INVALID_HANDLE);
    dcb = settings_;
    return TRUE;
}

BOOL CScriptedCommDriver::SetCommState(HANDLE port, DCB& dcb) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (port != kPort) return Fail(ERROR_INVALID_HANDLE);
    if (!IsSimRate(dcb.BaudRate)) return Fail(ERROR_INVALID_PARAMETER);
    settings_ = dcb;
    applied_.push_back(dcb);
    return TRUE;
}

BOOL CScriptedCommDriver::SetCommTimeouts(HANDLE port, COMMTIMEOUTS&) {
    return port == kPort ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL CScriptedCommDriver::ClearCommError(HANDLE port, DWORD& errors, COMSTAT& status) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (port != kPort) return Fail(ERROR_INVALID_HANDLE);
    errors = 0;
    status = COMSTAT{};
    status.cbInQue = static_cast<DWORD>(arrived_.size());
    status.cbOutQue = QueuedOutLocked();
    return TRUE;
}

BOOL CScriptedCommDriver::EscapeCommFunction(HANDLE port, DWORD) {
    return port == kPort ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL CScriptedCommDriver::ReadFile(HANDLE port, void* buffer, DWORD size, DWORD& read,
                                   OVERLAPPED& overlapped) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (port != kPort || !open_) return Fail(ERROR_INVALID_HANDLE);
    (void)::ResetEvent(overlapped.hEvent);
    // What an earlier read handed over has been stored: the thread reads again only after that.
    handedOver_ = false;
    changed_.notify_all();
    pendingRead_ = &overlapped;
    pendingBuffer_ = static_cast<char*>(buffer);
    pendingSize_ = size;
    if (arrived_.empty()) return Fail(ERROR_IO_PENDING);
    // Bytes were waiting: the read completes at once.
    CompleteReadLocked();
    const auto it = std::find_if(results_.begin(), results_.end(),
                                 [&](const SResult& r) { return r.overlapped == &overlapped; });
    read = it->count;
    results_.erase(it);
    return TRUE;
}

BOOL CScriptedCommDriver::WriteFile(HANDLE port, const void* data, DWORD size, DWORD& written,
                                    OVERLAPPED& overlapped) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (port != kPort || !open_) return Fail(ERROR_INVALID_HANDLE);
    (void)::ResetEvent(overlapped.hEvent);
    // The driver takes the bytes at once; they leave one after another at the line rate.
    const auto byteTime = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(10.0 / settings_.BaudRate));
    lineBusyUntil_ = std::max(lineBusyUntil_, now_) + byteTime * size;
    const auto at = std::chrono::duration_cast<SimTime>(now_ - start_);
    const std::string answer = receiver_.Receive(
        std::string_view(static_cast<const char*>(data), size), settings_.BaudRate, at);
    // With DSR sensitivity on, the driver drops what arrives while DSR is low.
    if (!(settings_.fDsrSensitivity != 0 && !script_.dsrHigh)) {
        arrived_.insert(arrived_.end(), answer.begin(), answer.end());
        CompleteReadLocked();
    }
    // Completed as far as the driver is concerned: it holds the bytes.
    written = size;
    return TRUE;
}

BOOL CScriptedCommDriver::GetOverlappedResult(HANDLE, OVERLAPPED& overlapped, DWORD& transferred,
                                              BOOL wait) {
    std::unique_lock<std::mutex> guard(lock_);
    const auto done = [&] {
        return std::find_if(results_.begin(), results_.end(),
                            [&](const SResult& r) { return r.overlapped == &overlapped; });
    };
    if (wait) changed_.wait(guard, [&] { return done() != results_.end(); });
    const auto it = done();
    if (it == results_.end()) return Fail(ERROR_IO_INCOMPLETE);
    const SResult result = *it;
    results_.erase(it);
    transferred = result.count;
    return result.error == 0 ? TRUE : Fail(result.error);
}

BOOL CScriptedCommDriver::CancelIo(HANDLE port) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (port != kPort) return Fail(ERROR_INVALID_HANDLE);
    if (pendingRead_ != nullptr) {
        Complete(*pendingRead_, 0, ERROR_OPERATION_ABORTED);
        pendingRead_ = nullptr;
    }
    return TRUE;
}

CWin32CommCalls::Clock::time_point CScriptedCommDriver::Now() {
    const std::lock_guard<std::mutex> guard(lock_);
    return now_;
}

void CScriptedCommDriver::SleepUntil(Clock::time_point deadline) {
    const std::lock_guard<std::mutex> guard(lock_);
    now_ = std::max(now_, deadline);
}

void CScriptedCommDriver::Advance(std::chrono::milliseconds time) {
    const std::lock_guard<std::mutex> guard(lock_);
    now_ += time;
}

void CScriptedCommDriver::WaitUntilReceived() {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [this] { return !open_ || (arrived_.empty() && !handedOver_); });
}

std::uint32_t CScriptedCommDriver::QueuedOut() {
    const std::lock_guard<std::mutex> guard(lock_);
    return QueuedOutLocked();
}

std::vector<DCB> CScriptedCommDriver::AppliedSettings() {
    const std::lock_guard<std::mutex> guard(lock_);
    return applied_;
}

int CScriptedCommDriver::RefusedOpens() {
    const std::lock_guard<std::mutex> guard(lock_);
    return refusedOpens_;
}

std::uint32_t CScriptedCommDriver::QueuedOutLocked() const {
    if (lineBusyUntil_ <= now_) return 0;
    // Bytes whose time on the line has not yet begun or not yet ended.
    const double seconds = std::chrono::duration<double>(lineBusyUntil_ - now_).count();
    const double bytes = seconds * settings_.BaudRate / 10.0;
    return static_cast<std::uint32_t>(bytes + 0.999);
}

void CScriptedCommDriver::CompleteReadLocked() {
    if (pendingRead_ == nullptr || arrived_.empty()) return;
    const DWORD n = std::min<DWORD>(pendingSize_, static_cast<DWORD>(arrived_.size()));
    std::copy_n(arrived_.begin(), n, pendingBuffer_);
    arrived_.erase(arrived_.begin(), arrived_.begin() + n);
    handedOver_ = true;
    Complete(*pendingRead_, n, 0);
    pendingRead_ = nullptr;
}

void CScriptedCommDriver::Complete(OVERLAPPED& overlapped, DWORD count, DWORD error) {
    results_.push_back({&overlapped, count, error});
    (void)::SetEvent(overlapped.hEvent);
    changed_.notify_all();
}

}  // namespace morvane::testing
