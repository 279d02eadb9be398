// What the termios and the Win32 backends of CCommDev2 share: the parts of an open port that do
// not depend on the system, the debug lines, and the wait for a write to leave the PC. Only
// comm_dev2.cpp and the platforms' comm_dev2_*.cpp include it.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

#include "platform/text.h"
#include "serial/comm_dev2.h"
#include "serial/receive_ring.h"

namespace morvane {

using CommClock = std::chrono::steady_clock;

// A write that has not left the PC within this time has failed.
inline constexpr std::chrono::milliseconds kWriteTimeout{1000};
// One driver read never asks for more than this.
inline constexpr int kMaxChunk = ISerialDevice::kBufferSize - 1;
// How long the receive thread rests after a read failed (the line went away: a USB adapter
// pulled, a pseudo-terminal closed on the other side) before it reads again, so that a dead
// port costs no processor time.
inline constexpr std::chrono::milliseconds kFailedReadRest{50};

// Every platform's open port holds the receive ring and its storage, and the chunk one driver
// read fills (the receive thread's alone). They exist exactly from a successful resource
// set-up in Open until Close: nothing is allocated while bytes flow.
struct CCommDev2::OpenPort {
    std::array<char, kBufferSize> ringBytes{};
    std::array<char, kBufferSize> chunk{};
    CReceiveRing ring{ringBytes};
    // Raised by the receive thread or a write once the device went away; a hung-up port never
    // carries bytes again, so it stays raised until Close, and the device keeps it after that
    // until its next Open.
    std::atomic<bool> lineGone{false};
};

// Debug lines are formatted into a 64-byte buffer: an overlong line is cut, never allocated.
void CommDebugLine(const char* format, ...) MORVANE_PRINTF_FORMAT(1, 2);

// Whether Write may hand `length` bytes at `data` to the system at all.
[[nodiscard]] inline bool WritableBytes(const void* data, int length) {
    return length >= 0 && (data != nullptr || length == 0);
}

// How long `bytes` take on a line at `rate` with ten bit times a byte, rounded up to the
// microsecond; an unknown rate counts as 9600.
[[nodiscard]] std::chrono::microseconds LineTime(std::uint32_t bytes, std::uint32_t rate);

// A USB serial adapter's driver completes a write, and reports its output queue empty, once the
// bytes are in the adapter chip's own transmit buffer, which holds a whole block: only the clock
// tells when they have left the line. The margin is the USB transfer that carries them to the
// chip: the host controller sends it in the next 1 ms frame, or in the one after when it just
// missed it.
inline constexpr std::chrono::milliseconds kUsbHandOver{2};

// The earliest time the last of `bytes`, handed to the driver at `handedAt` in a write that it
// completed at `completedAt`, has left a line at `rate`, whatever the driver reports. The chip
// starts sending when the USB transfer is in (at most kUsbHandOver after the hand-over), and
// never before the driver completed the write that carried them to it: a driver slower than the
// margin would otherwise shorten the silence after the block by what it took longer.
[[nodiscard]] inline CommClock::time_point LineQuietAt(CommClock::time_point handedAt,
                                                       CommClock::time_point completedAt,
                                                       std::uint32_t bytes, std::uint32_t rate) {
    return std::max(handedAt + kUsbHandOver, completedAt) + LineTime(bytes, rate);
}

// A write is complete when its bytes have left the line, not when the driver took them: only
// then is a pause the loader makes after a block a pause on the line. Waits until `queued()` (the
// bytes in the driver's output queue; nothing when the driver cannot tell, which counts as sent)
// is 0, looking again after about as long as the queued bytes take on the line, and then until
// `quietAt` (LineQuietAt). False when `deadline` passed with bytes still queued. `now` and
// `sleepUntil` are the device's clock.
template <class Queued, class Now, class SleepUntilFn>
bool WaitUntilSent(Queued queued, Now now, SleepUntilFn sleepUntil, CommClock::time_point deadline,
                   std::uint32_t rate, CommClock::time_point quietAt) {
    for (;;) {
        const std::optional<std::uint32_t> left = queued();
        const CommClock::time_point t = now();
        if (!left || *left == 0) {
            if (t < quietAt) sleepUntil(quietAt);
            return true;
        }
        if (t >= deadline) return false;
        sleepUntil(std::min<CommClock::time_point>(t + LineTime(*left, rate), deadline));
    }
}

}  // namespace morvane
