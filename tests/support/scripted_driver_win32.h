// A USB serial adapter's Windows driver, played on a virtual clock behind the device's
// CWin32CommCalls, for what Wine's ports cannot show: a port held a moment after it was closed,
// written bytes that leave at the line rate while the driver's queue or the adapter chip's
// buffer holds them, a chip that starts sending only once the USB transfer is in, the settings
// the last program left, and an adapter pulled out, with what each kind of driver then does
// (the error it gives every call, pending requests it ends, holds until the port is closed or
// past that, a name that lingers, a notification or none).
//
// The simulated receiver sits on the line: it hears what goes out at the port's rate, and its
// answers come back through the receive thread's reads. Nothing here completes an I/O with time
// alone: a bounded wait that finds one pending lets its bound pass on the clock; a wait for the
// device's own thread or events is a real one, unless the driver holds that thread in a call.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "serial/comm_calls_win32.h"
#include "sim/sim_engine.h"

namespace morvane::testing {

// What a pulled adapter's driver does with a request pending when the adapter goes.
enum class PendingAtPull : std::uint8_t {
    EndsWithError,  // completes it at once with the pull's error
    UntilClose,     // ignores its cancellation; completes it when the port is closed
    AfterClose,     // ignores its cancellation, and completes it only after the port was closed
};

struct DriverScript {
    std::chrono::milliseconds heldAfterClose{0};  // an open before then is refused
    bool heldByAnotherProgram = false;            // every open is refused
    // The adapter chip's buffer takes each write whole: the driver's queue reads empty at once,
    // and the bytes still leave at the line rate.
    bool chipBuffer = false;
    // The USB transfer that carries a write into the chip takes this long: the write completes
    // then, and the chip starts sending then.
    std::chrono::microseconds handOver{0};
    // A read that got bytes ends with ERROR_TIMEOUT and its count, as Wine's do.
    bool readsEndWithTimeout = false;
    // The system's list of ports never names the port, as some drivers' virtual ports.
    bool neverListed = false;
    // Writes from the first one of more than one byte on stay pending until they are cancelled.
    bool holdsWritesUntilCancelled = false;
    // The adapter is pulled out once this many bytes were written; the write that carries the
    // last of them is the one under way.
    struct Pull {
        std::size_t afterBytes = 0;
        DWORD error = ERROR_BAD_COMMAND;  // what every call on the port gives from then on
        PendingAtPull read = PendingAtPull::UntilClose;
        PendingAtPull write = PendingAtPull::UntilClose;
        bool notifies = false;  // the system tells of the removal (the device-handle notice)
        bool listed = false;    // the port stays in the system's list of ports
        // What an open of the port gives then: the name gone, or (access denied) still held.
        DWORD openError = ERROR_FILE_NOT_FOUND;
        // The dying driver never answers ClearCommError: the call returns when the port closes.
        bool holdsClearCommError = false;
    };
    std::optional<Pull> pull;
    // What GetCommState reports until our first SetCommState.
    DCB left = [] {
        DCB plain{};
        plain.DCBlength = sizeof plain;
        plain.BaudRate = 9600;
        plain.ByteSize = 8;
        plain.fBinary = 1;
        return plain;
    }();
};

class ScriptedDriver final : public CWin32CommCalls {
public:
    ScriptedDriver(DriverScript script, CSimEngine& receiver);

    DWORD GetLastError() override { return lastError_; }
    HANDLE CreateFileA(const char* path) override;
    BOOL CloseHandle(HANDLE port) override;
    BOOL SetupComm(HANDLE, DWORD, DWORD) override { return TRUE; }
    BOOL PurgeComm(HANDLE port, DWORD flags) override;
    BOOL GetCommState(HANDLE port, DCB& dcb) override;
    BOOL SetCommState(HANDLE port, DCB& dcb) override;
    BOOL SetCommTimeouts(HANDLE, COMMTIMEOUTS&) override { return TRUE; }
    BOOL ClearCommError(HANDLE port, DWORD& errors, COMSTAT& status) override;
    BOOL EscapeCommFunction(HANDLE port, DWORD function) override;
    BOOL ReadFile(HANDLE port, void* buffer, DWORD size, DWORD& read,
                  OVERLAPPED& overlapped) override;
    BOOL WriteFile(HANDLE port, const void* data, DWORD size, DWORD& written,
                   OVERLAPPED& overlapped) override;
    BOOL GetOverlappedResultEx(HANDLE port, OVERLAPPED& overlapped, DWORD& transferred,
                               DWORD ms) override;
    bool IoCompleted(OVERLAPPED& overlapped, DWORD ms) override;
    BOOL CancelIo(HANDLE port) override;
    bool WaitForObject(HANDLE object, Clock::time_point deadline) override;
    bool PortListed(const std::string& path) override;
    void* WatchRemoval(HANDLE port, const std::string& path) override;
    void EndRemovalWatch(void* watch) override;
    Clock::time_point Now() override;
    void SleepUntil(Clock::time_point deadline) override;

    void Advance(std::chrono::milliseconds time) { SleepUntil(Now() + time); }
    // Until the receive thread has stored every byte the receiver sent (or the port closed); a
    // thread that no longer reads is given two seconds.
    void WaitUntilReceived();
    // Until the receive thread's read is pending (or two seconds passed).
    void WaitUntilReading();
    // Pulls the adapter out now (the script's pull, whatever its byte count).
    void PullNow();
    // Completes what was left pending past the port's close, into the buffers and events the
    // device handed over: false when one of its events was closed already (the device freed
    // what the driver still held).
    bool CompleteLate();

    // Bytes written that have not yet left on the line.
    std::uint32_t QueuedOut();
    std::vector<DCB> AppliedSettings();
    int RefusedOpens();
    std::size_t BytesWritten();
    // When each write was handed to the driver, when its first byte began to leave on the line,
    // and when its last one had left.
    struct OnLine {
        Clock::time_point handed;
        Clock::time_point leaves;
        Clock::time_point left;
    };
    std::vector<OnLine> Written();
    // When the adapter was pulled out, or the driver first held a write.
    Clock::time_point TroubleAt();
    // Calls the device made on the port that a dying driver can hold for good, after it held
    // one past its bound or the adapter was gone: DTR dropped, queues purged.
    int CallsOnADeadPort();
    // The port was closed while the system still watched it for its removal.
    bool ClosedWhileWatched();

private:
    struct Io {
        OVERLAPPED* overlapped = nullptr;
        char* buffer = nullptr;
        DWORD size = 0;
        DWORD thread = 0;  // the thread that started it: CancelIo ends only that thread's I/O
        bool done = false;
        DWORD count = 0;
        DWORD error = 0;
        std::optional<Clock::time_point> completesAt;  // a hand-over that ends by itself
        PendingAtPull fate = PendingAtPull::EndsWithError;
    };

    BOOL Fail(DWORD error);
    void PullLocked();
    void Deliver();
    void Complete(Io& io, DWORD count, DWORD error);
    void SettleAtPull(Io& io, PendingAtPull fate);
    Io* IoOf(const OVERLAPPED& overlapped);

    static thread_local DWORD lastError_;  // each thread's own, as the system keeps it
    const DriverScript script_;
    CSimEngine& receiver_;
    std::mutex lock_;
    std::condition_variable changed_;
    const Clock::time_point start_ = Clock::time_point{} + std::chrono::hours(1);
    Clock::time_point now_ = start_;
    Clock::time_point releasedAt_ = start_;
    Clock::time_point lineBusyUntil_ = start_;
    bool open_ = false;
    int refusedOpens_ = 0;
    DCB dcb_;
    std::vector<DCB> applied_;
    std::string arrived_;   // received, not yet handed to a read
    Io read_;               // the receive thread's read
    Io write_;              // a write left pending
    std::vector<Io> late_;  // left pending past the port's close
    std::size_t bytesWritten_ = 0;
    bool pulled_ = false;
    std::optional<Clock::time_point> troubleAt_;
    std::vector<OnLine> onLine_;
    bool storing_ = false;  // a read was handed bytes the thread has not stored yet
    int callsHeld_ = 0;     // threads held in a call the driver does not answer
    int callsOnADeadPort_ = 0;
    std::string watchedPath_;  // the port watched for its removal; empty: none
    bool closedWhileWatched_ = false;
};

}  // namespace morvane::testing
