// CCommDev2 on Linux and other POSIX systems: termios for the line, a poll()-driven receive
// thread, and an eventfd that Close() uses to wake that thread at once.
//
// The port stays non-blocking for its whole life: the receive thread must never sit in a
// read() that Close() cannot interrupt, and Write() keeps its own deadline with poll().
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <new>
#include <optional>
#include <system_error>
#include <thread>

#include "platform/mutex.h"
#include "platform/pacing.h"
#include "platform/thread_annotations.h"
#include "serial/com_port_map.h"
#include "serial/comm_dev2.h"
#include "serial/comm_dev2_shared.h"
#include "serial/comm_error_text.h"
#include "serial/termios_line_posix.h"
#include "serial/tty_holders_linux.h"

namespace morvane {
namespace {

// How soon after this device closed a port its opening again counts as its own reopen.
constexpr std::chrono::seconds kOwnReopenWithin{1};

std::string OsText(int error) { return std::error_code(error, std::generic_category()).message(); }

// A pseudo-terminal has no modem lines and refuses these calls; that is not an error for us.
void SetModemLine(int fd, int line, bool raised) {
    int bits = line;
    (void)::ioctl(fd, raised ? TIOCMBIS : TIOCMBIC, &bits);
}

std::uint32_t CountedErrors(const serial_icounter_struct& before,
                            const serial_icounter_struct& now) {
    std::uint32_t bits = 0;
    if (now.frame != before.frame) bits |= kCommErrorFrame;
    if (now.overrun != before.overrun) bits |= kCommErrorOverrun;
    if (now.parity != before.parity) bits |= kCommErrorRxParity;
    if (now.brk != before.brk) bits |= kCommErrorBreak;
    if (now.buf_overrun != before.buf_overrun) bits |= kCommErrorRxOver;
    return bits;
}

int MsUntil(CommClock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - CommClock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

// What an open port holds here besides the ring: the descriptor, the receive thread and its
// wake-up, and what the port was set to before it was ours.
struct CCommDev2::Backend : OpenPort {
    // The open port, or -1. Close sets -1 first: it is the receive thread's signal to end.
    std::atomic<int> portFd{-1};
    int wakeFd = -1;  // eventfd; Close writes it to end the receive thread's wait
    std::thread receiver;

    std::string path;    // the device opened
    termios original{};  // the port's settings before we opened it, put back on Close
    bool originalKept = false;
    std::uint32_t lineRate = 0;  // owner thread only: the rate last applied
    int settingsError = 0;       // owner thread only: errno of the last refused ApplyCommState

    // The owner's writes and the receive thread both report errors.
    CMutex countsLock;
    serial_icounter_struct lastCounts MORVANE_GUARDED_BY(countsLock){};  // the counters last seen
    bool countsKnown MORVANE_GUARDED_BY(countsLock) = false;

    void ReceiveLoop();
    // >= 0: bytes moved into the ring; -1: the line has gone or reads keep failing.
    int Drain(int fd, bool quiet);
    void RestUntilWoken(int ms) const;
    void TakeCountsBaseline(int fd);
    void ReportErrors(int fd, std::uint32_t bits);
    // Bytes in the driver's output queue; nothing when it cannot tell (pseudo-terminals report
    // nothing queued either way).
    static std::optional<std::uint32_t> QueuedOut(int fd);
};

void CCommDev2::Backend::ReceiveLoop() {
    bool reportedGone = false;  // reported once, until bytes flow again
    for (;;) {
        const int fd = portFd.load();
        if (fd < 0) return;
        pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, -1);
        if (portFd.load() < 0) return;
        if (ready < 0) {
            if (errno == EINTR) continue;
            RestUntilWoken(static_cast<int>(kFailedReadRest.count()));
            continue;
        }
        bool gone = (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        if ((fds[0].revents & POLLIN) != 0) {
            const int moved = Drain(fd, reportedGone);
            if (moved < 0)
                gone = true;
            else if (moved > 0)
                gone = false;
        }
        if (gone) {
            // A USB serial adapter pulled out hangs its tty up at once: poll reports POLLHUP and
            // reads give end of file or EIO from then on, and the device node goes. The port
            // cannot come back; the owner learns it from LineGone instead of from a silence.
            lineGone.store(true);
            reportedGone = true;
            RestUntilWoken(static_cast<int>(kFailedReadRest.count()));
        } else {
            reportedGone = false;
        }
    }
}

int CCommDev2::Backend::Drain(int fd, bool quiet) {
    int moved = 0;
    for (;;) {
        const ssize_t n = ::read(fd, chunk.data(), kMaxChunk);
        if (n > 0) {
            // A chunk read while Close was already under way belongs to nobody.
            if (portFd.load() < 0) return moved;
            ring.Store(chunk.data(), static_cast<int>(n));
            moved += static_cast<int>(n);
            continue;
        }
        if (n == 0) return moved > 0 ? moved : -1;  // end of file: the tty was hung up
        const int error = errno;
        if (error == EINTR) continue;
        if (error == EAGAIN || error == EWOULDBLOCK) return moved;
        if (!quiet) {
            CommDebugLine("<CE-%u>\n", static_cast<unsigned>(error));
            ReportErrors(fd, error == EIO ? kCommErrorIo : 0);
        }
        return -1;
    }
}

void CCommDev2::Backend::RestUntilWoken(int ms) const {
    pollfd wake{wakeFd, POLLIN, 0};
    (void)::poll(&wake, 1, ms);
}

// Errors counted before the port was ours are not this run's errors.
void CCommDev2::Backend::TakeCountsBaseline(int fd) {
    serial_icounter_struct now{};
    if (::ioctl(fd, TIOCGICOUNT, &now) != 0) return;
    const CMutexLock guard(countsLock);
    lastCounts = now;
    countsKnown = true;
}

void CCommDev2::Backend::ReportErrors(int fd, std::uint32_t bits) {
    serial_icounter_struct now{};
    if (::ioctl(fd, TIOCGICOUNT, &now) == 0) {
        const CMutexLock guard(countsLock);
        if (countsKnown) bits |= CountedErrors(lastCounts, now);
        lastCounts = now;
        countsKnown = true;
    }
    if (bits != 0) CommDebugLine("<CE-%s>\n", CommErrorText(bits).c_str());
}

std::optional<std::uint32_t> CCommDev2::Backend::QueuedOut(int fd) {
    int queued = 0;
    if (::ioctl(fd, TIOCOUTQ, &queued) != 0) return std::nullopt;
    return static_cast<std::uint32_t>(std::max(queued, 0));
}

// Made and destroyed where the Backend is complete.
CCommDev2::CCommDev2() = default;

CCommDev2::~CCommDev2() { CCommDev2::Close(); }

CCommDev2::OpenPort* CCommDev2::Port() const { return backend_.get(); }

std::string CCommDev2::DevicePathFor(int port) const {
    return DevicePathForComPort(port).value_or("");
}

bool CCommDev2::Open(int port) {
    const std::string path = BeginOpen(port);
    auto fail = [this, &path](OpenErrorKind kind, int error) {
        if (kind == OpenErrorKind::Busy && lastOpenError_.holders.empty())
            lastOpenError_.holders = ProgramsHoldingDevice(path, "/proc", ::getpid());
        return OpenFailed(kind, error, OsText(error));
    };
    if (path.empty()) return fail(OpenErrorKind::NoSuchDevice, ENODEV);

    backend_.reset(new (std::nothrow) Backend);
    if (!backend_) return fail(OpenErrorKind::Other, ENOMEM);
    Backend& b = *backend_;
    b.wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (b.wakeFd < 0) return fail(OpenErrorKind::Other, errno);

    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        return fail(OpenErrorKindForErrno(error), error);
    }
    // Until the port is ours alone, touch nothing on it: it may be another program's line.
    auto refuse = [&](OpenErrorKind kind, int error) {
        ::close(fd);
        return fail(kind, error);
    };
    termios original{};
    if (::tcgetattr(fd, &original) != 0) {
        const int error = errno;
        const bool notTty = error == ENOTTY || error == EINVAL;
        return refuse(notTty ? OpenErrorKind::NotSerial : OpenErrorKindForErrno(error), error);
    }
    // The port is another program's whoever holds it and however: by the advisory lock (this
    // program, and others that lock ports the same way), by the exclusive flag (which keeps
    // other users out, but lets root in: so root asks for it), or only by an open descriptor
    // (a terminal program, ModemManager probing a new USB device), which only the process table
    // shows. Processes of other users are invisible there to an ordinary user: such a holder
    // without lock or flag goes unnoticed, and both programs then read the line.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        return refuse(error == EWOULDBLOCK ? OpenErrorKind::Busy : OpenErrorKindForErrno(error),
                      error);
    }
    int exclusive = 0;
    if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0)
        return refuse(OpenErrorKind::Busy, EBUSY);
    // Looking through every process's descriptors takes a few milliseconds on a busy PC, and
    // detection closes and reopens the port at each rate it tries: the port this device let go of
    // a moment ago was looked at when it was first opened, and the lock and the flag above
    // still refuse a program that took it since by either.
    const bool ownReopen = path == closedPath_ && CommClock::now() - closedAt_ < kOwnReopenWithin;
    if (!ownReopen) {
        lastOpenError_.holders = ProgramsHoldingDevice(path, "/proc", ::getpid());
        if (!lastOpenError_.holders.empty()) return refuse(OpenErrorKind::Busy, EBUSY);
    }
    (void)::ioctl(fd, TIOCEXCL);
    b.path = path;

    b.original = original;
    b.originalKept = true;
    b.portFd.store(fd);
    (void)::tcflush(fd, TCIOFLUSH);
    b.TakeCountsBaseline(fd);

    if (!InitCommState()) return fail(OpenErrorKind::SettingsRefused, b.settingsError);

    try {
        b.receiver = std::thread([&b] { b.ReceiveLoop(); });
    } catch (const std::system_error& e) {
        return fail(OpenErrorKind::Other, e.code().value());
    }
    SetModemLine(fd, TIOCM_DTR, true);
    return true;
}

bool CCommDev2::ApplyCommState() {
    if (!IsOpen()) return false;
    Backend& b = *backend_;
    const int fd = b.portFd.load();
    const SLineSettings& s = lineSettings_;

    termios current{};
    if (::tcgetattr(fd, &current) != 0) {
        b.settingsError = errno;
        return false;
    }
    const std::optional<termios> wanted = TermiosForSettings(current, s);
    if (!wanted) {
        b.settingsError = EINVAL;
        return false;
    }
    if (::tcsetattr(fd, TCSANOW, &*wanted) != 0) {
        b.settingsError = errno;
        return false;
    }
    // tcsetattr succeeds when any one of the changes was taken; the rate is the one that matters.
    termios taken{};
    if (::tcgetattr(fd, &taken) != 0 || ::cfgetospeed(&taken) != ::cfgetospeed(&*wanted)) {
        b.settingsError = EINVAL;
        return false;
    }
    b.lineRate = s.BaudRate;

    SetModemLine(fd, TIOCM_DTR, s.fDtrControl == DtrControl::Enable);
    // With the handshake on, the kernel's RTS/CTS flow control drives RTS itself.
    if (!s.fOutxCtsFlow) SetModemLine(fd, TIOCM_RTS, s.fRtsControl == RtsControl::Enable);
    return true;
}

// "Left" means the driver took every byte and its output queue ran empty, all within the write
// time-out, and the bytes have had their time on the line: the kernel's queue empties once a USB
// adapter's chip holds the bytes, as Windows' does. A port that cannot take them in time gives
// false, with what it did take sent.
bool CCommDev2::Write(const void* data, int length) {
    if (!IsOpen() || !WritableBytes(data, length)) return false;
    Backend& b = *backend_;
    const int fd = b.portFd.load();
    const CommClock::time_point handedAt = CommClock::now();
    const CommClock::time_point deadline = handedAt + kWriteTimeout;
    const char* next = static_cast<const char*>(data);
    int left = length;
    while (left > 0) {
        const ssize_t n = ::write(fd, next, static_cast<std::size_t>(left));
        if (n > 0) {
            next += n;
            left -= static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            const int error = errno;
            // A hung-up tty refuses every write with EIO; a device torn down mid-call, ENODEV or
            // ENXIO.
            if (error == EIO || error == ENODEV || error == ENXIO) b.lineGone.store(true);
            CommDebugLine("Other Write Error \n");
            b.ReportErrors(fd, error == EIO ? kCommErrorIo : 0);
            return false;
        }
        const int waitMs = MsUntil(deadline);
        if (waitMs <= 0) return false;
        pollfd out{fd, POLLOUT, 0};
        const int ready = ::poll(&out, 1, waitMs);
        if (ready == 0) return false;
        if (ready < 0 && errno != EINTR) {
            CommDebugLine("<CE-%u>\n", static_cast<unsigned>(errno));
            b.ReportErrors(fd, 0);
            return false;
        }
    }
    const CommClock::time_point completedAt = CommClock::now();
    // Earlier writes had left the line, so the driver holds no more of ours than this one: a USB
    // modem's driver (cdc_acm) counts a whole USB buffer for every byte in flight, which taken
    // at its word would hold each byte of a command for the full write time-out.
    const auto queued = [fd, length]() -> std::optional<std::uint32_t> {
        const std::optional<std::uint32_t> reported = Backend::QueuedOut(fd);
        if (!reported) return reported;
        return std::min(*reported, static_cast<std::uint32_t>(length));
    };
    return WaitUntilSent(
        queued, [] { return CommClock::now(); }, [](CommClock::time_point t) { SleepUntil(t); },
        deadline, b.lineRate,
        LineQuietAt(handedAt, completedAt, static_cast<std::uint32_t>(length), b.lineRate));
}

void CCommDev2::Close() {
    if (!backend_) return;
    Backend& b = *backend_;
    goneAtClose_ = goneAtClose_ || b.lineGone.load();
    const int fd = b.portFd.exchange(-1);
    if (b.wakeFd >= 0) {
        const std::uint64_t one = 1;
        if (::write(b.wakeFd, &one, sizeof one) < 0) {
            // An eventfd write fails only when its counter would overflow: it is signalled anyway.
        }
    }
    if (b.receiver.joinable()) b.receiver.join();
    if (fd >= 0) {
        SetModemLine(fd, TIOCM_DTR, false);
        (void)::tcflush(fd, TCIOFLUSH);
        if (b.originalKept) (void)::tcsetattr(fd, TCSANOW, &b.original);
        // The exclusive flag belongs to the tty, not to our descriptor: a pseudo-terminal whose
        // other side stays open would keep refusing everyone else.
        (void)::ioctl(fd, TIOCNXCL);
        ::close(fd);  // also gives up the lock
        closedPath_ = b.path;
        closedAt_ = CommClock::now();
    }
    if (b.wakeFd >= 0) {
        ::close(b.wakeFd);
        b.wakeFd = -1;
    }
    backend_.reset();
}

bool CCommDev2::IsOpen() const { return backend_ && backend_->portFd.load() >= 0; }

bool CCommDev2::LineGone() const { return goneAtClose_ || (backend_ && backend_->lineGone.load()); }

}  // namespace morvane
