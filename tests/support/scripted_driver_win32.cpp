#include "tests/support/scripted_driver_win32.h"

#include <algorithm>
#include <cmath>
#include <string_view>

namespace morvane::testing {
namespace {

const HANDLE kPort = reinterpret_cast<HANDLE>(std::uintptr_t{0x7001});

}  // namespace

thread_local DWORD ScriptedDriver::lastError_ = 0;

ScriptedDriver::ScriptedDriver(DriverScript script, CSimEngine& receiver)
    : script_(script), receiver_(receiver), dcb_(script_.left) {}

HANDLE ScriptedDriver::CreateFileA(const char* /*path*/) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (pulled_) {
        lastError_ = script_.pull->openError;
        return INVALID_HANDLE_VALUE;
    }
    if (open_ || script_.heldByAnotherProgram || now_ < releasedAt_) {
        ++refusedOpens_;
        lastError_ = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }
    open_ = true;
    return kPort;
}

BOOL ScriptedDriver::CloseHandle(HANDLE /*port*/) {
    const std::lock_guard<std::mutex> guard(lock_);
    open_ = false;
    releasedAt_ = now_ + script_.heldAfterClose;
    arrived_.clear();
    if (!watchedPath_.empty()) closedWhileWatched_ = true;
    for (Io* io : {&read_, &write_}) {
        if (io->overlapped == nullptr || io->done) continue;
        if (pulled_ && io->fate == PendingAtPull::AfterClose)
            late_.push_back(*io);
        else
            Complete(*io, 0, ERROR_OPERATION_ABORTED);
    }
    read_ = {};
    write_ = {};
    changed_.notify_all();
    return TRUE;
}

BOOL ScriptedDriver::PurgeComm(HANDLE /*port*/, DWORD /*flags*/) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (pulled_) ++callsOnADeadPort_;
    return TRUE;
}

BOOL ScriptedDriver::EscapeCommFunction(HANDLE /*port*/, DWORD /*function*/) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (pulled_) ++callsOnADeadPort_;
    return TRUE;
}

BOOL ScriptedDriver::GetCommState(HANDLE /*port*/, DCB& dcb) {
    const std::lock_guard<std::mutex> guard(lock_);
    dcb = dcb_;
    return TRUE;
}

BOOL ScriptedDriver::SetCommState(HANDLE /*port*/, DCB& dcb) {
    const std::lock_guard<std::mutex> guard(lock_);
    dcb_ = dcb;
    applied_.push_back(dcb);
    return TRUE;
}

BOOL ScriptedDriver::ClearCommError(HANDLE /*port*/, DWORD& errors, COMSTAT& status) {
    std::unique_lock<std::mutex> guard(lock_);
    errors = 0;
    status = COMSTAT{};
    if (pulled_) {
        if (script_.pull->holdsClearCommError) {
            ++callsHeld_;
            changed_.notify_all();
            // Bounded all the same, so that a device that waits for the answer itself fails its
            // test instead of hanging it.
            (void)changed_.wait_for(guard, std::chrono::seconds(5), [this] { return !open_; });
            --callsHeld_;
        }
        return Fail(script_.pull->error);
    }
    if (script_.chipBuffer) return TRUE;
    const double seconds = std::chrono::duration<double>(lineBusyUntil_ - now_).count();
    status.cbOutQue = seconds > 0 ? static_cast<DWORD>(std::ceil(seconds * dcb_.BaudRate / 10)) : 0;
    return TRUE;
}

// Every read waits for bytes; it completes once some have arrived.
BOOL ScriptedDriver::ReadFile(HANDLE /*port*/, void* buffer, DWORD size, DWORD& /*read*/,
                              OVERLAPPED& overlapped) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (pulled_) {
        storing_ = false;
        changed_.notify_all();
        return Fail(script_.pull->error);
    }
    (void)::ResetEvent(overlapped.hEvent);
    read_ = Io{};
    read_.overlapped = &overlapped;
    read_.buffer = static_cast<char*>(buffer);
    read_.size = size;
    read_.thread = ::GetCurrentThreadId();
    storing_ = false;  // the thread stored what it had before it read again
    Deliver();
    changed_.notify_all();
    return Fail(ERROR_IO_PENDING);
}

// The driver takes the bytes at once (or once the USB transfer into the chip is in); they leave
// one after another at the line rate.
BOOL ScriptedDriver::WriteFile(HANDLE /*port*/, const void* data, DWORD size, DWORD& written,
                               OVERLAPPED& overlapped) {
    std::string notify;
    BOOL result = FALSE;
    {
        const std::lock_guard<std::mutex> guard(lock_);
        if (pulled_) return Fail(script_.pull->error);
        auto pending = [&](std::optional<Clock::time_point> completesAt) {
            (void)::ResetEvent(overlapped.hEvent);
            write_ = Io{};
            write_.overlapped = &overlapped;
            write_.size = size;
            write_.thread = ::GetCurrentThreadId();
            write_.completesAt = completesAt;
            return Fail(ERROR_IO_PENDING);
        };
        if (script_.holdsWritesUntilCancelled && size > 1) {
            if (!troubleAt_) troubleAt_ = now_;
            return pending(std::nullopt);
        }
        bytesWritten_ += size;
        const bool pulls = script_.pull && script_.pull->afterBytes > 0 &&
                           bytesWritten_ >= script_.pull->afterBytes;
        if (pulls && script_.pull->write != PendingAtPull::EndsWithError) {
            // Under way as the adapter goes: its bytes never reach the line.
            result = pending(std::nullopt);
            PullLocked();
            notify = watchedPath_;
        } else {
            const auto byteTime = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(10.0 / dcb_.BaudRate));
            const Clock::time_point leaves =
                std::max(lineBusyUntil_,
                         now_ + std::chrono::duration_cast<Clock::duration>(script_.handOver));
            lineBusyUntil_ = leaves + byteTime * size;
            onLine_.push_back({now_, leaves, lineBusyUntil_});
            const std::string answer = receiver_.Receive(
                std::string_view(static_cast<const char*>(data), size), dcb_.BaudRate,
                std::chrono::duration_cast<SimTime>(now_ - start_));
            // DSR is low on a three-wire cable: with DSR sensitivity the driver drops what
            // arrives.
            if (dcb_.fDsrSensitivity == 0) {
                arrived_ += answer;
                Deliver();
            }
            if (script_.handOver > std::chrono::microseconds(0)) {
                result = pending(leaves);
            } else {
                written = size;
                result = TRUE;
            }
            if (pulls) {
                PullLocked();
                notify = watchedPath_;
            }
        }
    }
    if (!notify.empty() && script_.pull->notifies) NoteRemoved(notify);
    return result;
}

BOOL ScriptedDriver::GetOverlappedResultEx(HANDLE /*port*/, OVERLAPPED& overlapped,
                                           DWORD& transferred, DWORD ms) {
    const std::lock_guard<std::mutex> guard(lock_);
    Io* io = IoOf(overlapped);
    if (io == nullptr) return TRUE;  // completed, and closed since
    if (!io->done) {
        const Clock::time_point waitedUntil = now_ + std::chrono::milliseconds(ms);
        if (io->completesAt && *io->completesAt <= waitedUntil) {
            now_ = std::max(now_, *io->completesAt);
            Complete(*io, io->size, 0);
        } else {
            if (ms == 0) return Fail(ERROR_IO_INCOMPLETE);
            now_ = waitedUntil;
            return Fail(WAIT_TIMEOUT);
        }
    }
    transferred = io->count;
    return io->error == 0 ? TRUE : Fail(io->error);
}

bool ScriptedDriver::IoCompleted(OVERLAPPED& overlapped, DWORD ms) {
    const std::lock_guard<std::mutex> guard(lock_);
    const Io* io = IoOf(overlapped);
    if (io == nullptr || io->done) return true;
    now_ += std::chrono::milliseconds(ms);
    return false;
}

BOOL ScriptedDriver::CancelIo(HANDLE /*port*/) {
    const std::lock_guard<std::mutex> guard(lock_);
    const DWORD thread = ::GetCurrentThreadId();
    for (Io* io : {&read_, &write_}) {
        if (io->overlapped == nullptr || io->done || io->thread != thread) continue;
        // A pulled adapter's driver that holds its requests ignores the cancellation.
        if (pulled_ && io->fate != PendingAtPull::EndsWithError) continue;
        Complete(*io, 0, ERROR_OPERATION_ABORTED);
    }
    return TRUE;
}

// The device's own thread and events are real: they are waited for in real time, unless the
// driver holds the thread that would set them, when the wait's bound passes on the clock.
bool ScriptedDriver::WaitForObject(HANDLE object, Clock::time_point deadline) {
    for (int slice = 0; slice < 20000; ++slice) {
        if (::WaitForSingleObject(object, 1) == WAIT_OBJECT_0) return true;
        const std::lock_guard<std::mutex> guard(lock_);
        if (callsHeld_ > 0) {
            now_ = std::max(now_, deadline);
            return false;
        }
    }
    return false;
}

bool ScriptedDriver::PortListed(const std::string& /*path*/) {
    const std::lock_guard<std::mutex> guard(lock_);
    return !script_.neverListed && (!pulled_ || script_.pull->listed);
}

void* ScriptedDriver::WatchRemoval(HANDLE /*port*/, const std::string& path) {
    const std::lock_guard<std::mutex> guard(lock_);
    // Only a system that tells of the removal (Windows 8 and later) takes the request.
    if (!script_.pull || !script_.pull->notifies) return nullptr;
    watchedPath_ = path;
    return this;
}

void ScriptedDriver::EndRemovalWatch(void* watch) {
    if (watch == nullptr) return;
    const std::lock_guard<std::mutex> guard(lock_);
    watchedPath_.clear();
}

CWin32CommCalls::Clock::time_point ScriptedDriver::Now() {
    const std::lock_guard<std::mutex> guard(lock_);
    return now_;
}

void ScriptedDriver::SleepUntil(Clock::time_point deadline) {
    const std::lock_guard<std::mutex> guard(lock_);
    now_ = std::max(now_, deadline);
}

void ScriptedDriver::WaitUntilReceived() {
    std::unique_lock<std::mutex> guard(lock_);
    (void)changed_.wait_for(guard, std::chrono::seconds(2),
                            [this] { return !open_ || (arrived_.empty() && !storing_); });
}

void ScriptedDriver::WaitUntilReading() {
    std::unique_lock<std::mutex> guard(lock_);
    (void)changed_.wait_for(guard, std::chrono::seconds(2),
                            [this] { return read_.overlapped != nullptr && !read_.done; });
}

void ScriptedDriver::PullNow() {
    std::string notify;
    {
        const std::lock_guard<std::mutex> guard(lock_);
        PullLocked();
        notify = watchedPath_;
    }
    if (!notify.empty() && script_.pull->notifies) NoteRemoved(notify);
}

bool ScriptedDriver::CompleteLate() {
    const std::lock_guard<std::mutex> guard(lock_);
    bool eventsAlive = true;
    for (Io& io : late_) {
        // The event first: one the device closed means it freed what the driver still held.
        if (::SetEvent(io.overlapped->hEvent) == FALSE) {
            eventsAlive = false;
            continue;
        }
        if (io.buffer != nullptr) std::fill_n(io.buffer, std::min<DWORD>(io.size, 4), 'x');
        io.overlapped->Internal = 0;
        io.done = true;
    }
    late_.clear();
    return eventsAlive;
}

std::uint32_t ScriptedDriver::QueuedOut() {
    DWORD errors = 0;
    COMSTAT status{};
    (void)ClearCommError(kPort, errors, status);
    return status.cbOutQue;
}

std::vector<DCB> ScriptedDriver::AppliedSettings() {
    const std::lock_guard<std::mutex> guard(lock_);
    return applied_;
}

int ScriptedDriver::RefusedOpens() {
    const std::lock_guard<std::mutex> guard(lock_);
    return refusedOpens_;
}

std::size_t ScriptedDriver::BytesWritten() {
    const std::lock_guard<std::mutex> guard(lock_);
    return bytesWritten_;
}

std::vector<ScriptedDriver::OnLine> ScriptedDriver::Written() {
    const std::lock_guard<std::mutex> guard(lock_);
    return onLine_;
}

CWin32CommCalls::Clock::time_point ScriptedDriver::TroubleAt() {
    const std::lock_guard<std::mutex> guard(lock_);
    return troubleAt_.value_or(now_);
}

int ScriptedDriver::CallsOnADeadPort() {
    const std::lock_guard<std::mutex> guard(lock_);
    return callsOnADeadPort_;
}

bool ScriptedDriver::ClosedWhileWatched() {
    const std::lock_guard<std::mutex> guard(lock_);
    return closedWhileWatched_;
}

BOOL ScriptedDriver::Fail(DWORD error) {
    lastError_ = error;
    return FALSE;
}

void ScriptedDriver::PullLocked() {
    pulled_ = true;
    if (!troubleAt_) troubleAt_ = now_;
    arrived_.clear();
    SettleAtPull(read_, script_.pull->read);
    SettleAtPull(write_, script_.pull->write);
    changed_.notify_all();
}

void ScriptedDriver::SettleAtPull(Io& io, PendingAtPull fate) {
    if (io.overlapped == nullptr || io.done) return;
    io.fate = fate;
    if (fate != PendingAtPull::EndsWithError) return;
    // The receive thread has the failed read to take before the clock moves on.
    if (&io == &read_) storing_ = true;
    Complete(io, 0, script_.pull->error);
}

void ScriptedDriver::Deliver() {
    if (read_.overlapped == nullptr || read_.done || arrived_.empty()) return;
    const DWORD n = std::min<DWORD>(read_.size, static_cast<DWORD>(arrived_.size()));
    std::copy_n(arrived_.begin(), n, read_.buffer);
    arrived_.erase(0, n);
    storing_ = true;
    Complete(read_, n, script_.readsEndWithTimeout ? ERROR_TIMEOUT : 0);
}

void ScriptedDriver::Complete(Io& io, DWORD count, DWORD error) {
    io.done = true;
    io.count = count;
    io.error = error;
    (void)::SetEvent(io.overlapped->hEvent);
    changed_.notify_all();
}

ScriptedDriver::Io* ScriptedDriver::IoOf(const OVERLAPPED& overlapped) {
    if (read_.overlapped == &overlapped) return &read_;
    if (write_.overlapped == &overlapped) return &write_;
    for (Io& io : late_)
        if (io.overlapped == &overlapped) return &io;
    return nullptr;
}

}  // namespace morvane::testing
