#include "serial/termios_line_posix.h"

#include <cerrno>

namespace morvane {
namespace {

struct RateSpeed {
    std::uint32_t rate;
    speed_t speed;
};

constexpr RateSpeed kRates[] = {
    {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},   {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600}, {115200, B115200},
    {230400, B230400}, {460800, B460800}, {921600, B921600},
};

}  // namespace

std::optional<speed_t> SpeedForRate(std::uint32_t rate) {
    for (const RateSpeed& r : kRates) {
        if (r.rate == rate) return r.speed;
    }
    return std::nullopt;
}

std::uint32_t RateForSpeed(speed_t speed) {
    for (const RateSpeed& r : kRates) {
        if (r.speed == speed) return r.rate;
    }
    return 0;
}

OpenErrorKind OpenErrorKindForErrno(int error) {
    switch (error) {
        case ENOENT:
        case ENXIO:
        case ENODEV: return OpenErrorKind::NoSuchDevice;
        case EACCES:
        case EPERM: return OpenErrorKind::PermissionDenied;
        case EBUSY:
        case EWOULDBLOCK: return OpenErrorKind::Busy;
        case ENOTTY: return OpenErrorKind::NotSerial;
        default: return OpenErrorKind::Other;
    }
}

std::optional<termios> TermiosForSettings(const termios& current, const SLineSettings& s) {
    const std::optional<speed_t> speed = SpeedForRate(s.BaudRate);
    std::optional<tcflag_t> size;  // CS5 is 0 on Linux: no size is not the same as CS5
    switch (s.ByteSize) {
        case 5: size = CS5; break;
        case 6: size = CS6; break;
        case 7: size = CS7; break;
        case 8: size = CS8; break;
        default: break;
    }
    // Mark and space parity and one and a half stop bits have numbers of their own in the
    // device-control block, but termios offers none of them.
    const bool parityKnown =
        s.Parity == LineParity::None || s.Parity == LineParity::Odd || s.Parity == LineParity::Even;
    const bool stopBitsKnown = s.StopBits == LineStopBits::One || s.StopBits == LineStopBits::Two;
    if (!speed || !size || !parityKnown || !stopBitsKnown) return std::nullopt;

    termios t = current;
    // Raw bytes both ways: no echo, no line editing, no signals, no character translation.
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | INPCK);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= *size | CLOCAL | CREAD;
    if (s.Parity != LineParity::None) {
        t.c_cflag |= PARENB | (s.Parity == LineParity::Odd ? PARODD : 0);
        if (s.fParity) t.c_iflag |= INPCK;
    }
    if (s.StopBits == LineStopBits::Two) t.c_cflag |= CSTOPB;
    // Linux has no DSR output flow control; fOutxDsrFlow asks for nothing here.
    if (s.fOutxCtsFlow) t.c_cflag |= CRTSCTS;
    if (s.fOutX) t.c_iflag |= IXON;
    if (s.fInX) t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(s.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(s.XoffChar);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ::cfsetispeed(&t, *speed);
    ::cfsetospeed(&t, *speed);
    return t;
}

}  // namespace morvane
