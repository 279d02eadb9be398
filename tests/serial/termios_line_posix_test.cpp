#include "serial/termios_line_posix.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace morvane {
namespace {

// Every rate the loader probes and the simulated receiver serves has a constant that reads back
// as the same rate; anything else has none.
TEST(TermiosLine, RatesAndSpeedsGoBothWays) {
    for (const std::uint32_t rate :
         {300u, 1200u, 4800u, 9600u, 19200u, 38400u, 57600u, 115200u, 230400u, 921600u}) {
        SCOPED_TRACE(rate);
        const std::optional<speed_t> speed = SpeedForRate(rate);
        ASSERT_TRUE(speed);
        EXPECT_EQ(RateForSpeed(*speed), rate);
    }
    for (const std::uint32_t rate : {0u, 110u, 12345u, 19201u, 1000000u}) {
        EXPECT_FALSE(SpeedForRate(rate)) << rate;
    }
    EXPECT_EQ(RateForSpeed(B0), 0u);
}

TEST(TermiosLine, OpenErrnosBecomeWhatTheUserCanDo) {
    const struct {
        int error;
        OpenErrorKind kind;
    } rows[] = {
        {ENOENT, OpenErrorKind::NoSuchDevice},
        {ENXIO, OpenErrorKind::NoSuchDevice},
        {ENODEV, OpenErrorKind::NoSuchDevice},
        {EACCES, OpenErrorKind::PermissionDenied},
        {EPERM, OpenErrorKind::PermissionDenied},
        {EBUSY, OpenErrorKind::Busy},
        {EWOULDBLOCK, OpenErrorKind::Busy},
        {ENOTTY, OpenErrorKind::NotSerial},
        {EIO, OpenErrorKind::Other},
        {ENOMEM, OpenErrorKind::Other},
    };
    for (const auto& row : rows) EXPECT_EQ(OpenErrorKindForErrno(row.error), row.kind) << row.error;
}

// What the port is set to from the default settings and their variants. `current` starts as a
// cooked terminal (echo, line editing, CR/LF translation, flow control) with every flag the
// raw line must clear raised.
TEST(TermiosLine, SettingsBecomeARawLine) {
    termios cooked{};
    cooked.c_iflag = IGNBRK | BRKINT | ICRNL | IXON | IXOFF | IXANY | ISTRIP | INPCK;
    cooked.c_oflag = OPOST | ONLCR;
    cooked.c_lflag = ECHO | ECHONL | ICANON | ISIG | IEXTEN;
    cooked.c_cflag = CS7 | PARENB | PARODD | CSTOPB | CRTSCTS;

    SLineSettings base;
    base.BaudRate = 19200;
    base.ByteSize = 8;
    base.fParity = true;
    base.fDtrControl = DtrControl::Enable;
    base.fRtsControl = RtsControl::Enable;
    base.XonChar = 0x11;
    base.XoffChar = 0x13;

    struct Row {
        const char* name;
        void (*edit)(SLineSettings&);
        tcflag_t cflagSet;  // of CSIZE, PARENB, PARODD, CSTOPB, CRTSCTS
        tcflag_t iflagSet;  // of IXON, IXOFF, INPCK
    };
    const Row rows[] = {
        {"8N1", [](SLineSettings&) {}, CS8, 0},
        {"7E1",
         [](SLineSettings& s) {
             s.ByteSize = 7;
             s.Parity = LineParity::Even;
         },
         CS7 | PARENB, INPCK},
        {"odd parity, not checked",
         [](SLineSettings& s) {
             s.Parity = LineParity::Odd;
             s.fParity = false;
         },
         CS8 | PARENB | PARODD, 0},
        {"two stop bits", [](SLineSettings& s) { s.StopBits = LineStopBits::Two; }, CS8 | CSTOPB,
         0},
        {"5 data bits", [](SLineSettings& s) { s.ByteSize = 5; }, CS5, 0},
        {"hardware handshake", [](SLineSettings& s) { s.fOutxCtsFlow = true; }, CS8 | CRTSCTS, 0},
        {"XON/XOFF both ways", [](SLineSettings& s) { s.fOutX = s.fInX = true; }, CS8,
         IXON | IXOFF},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SLineSettings s = base;
        row.edit(s);
        const std::optional<termios> t = TermiosForSettings(cooked, s);
        ASSERT_TRUE(t);
        EXPECT_EQ(cfgetospeed(&*t), static_cast<speed_t>(B19200));
        EXPECT_EQ(cfgetispeed(&*t), static_cast<speed_t>(B19200));
        EXPECT_EQ(t->c_cflag & (CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS), row.cflagSet);
        EXPECT_EQ(t->c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
        EXPECT_EQ(t->c_iflag & (IXON | IXOFF | INPCK), row.iflagSet);
        EXPECT_EQ(t->c_iflag & (IGNBRK | BRKINT | ICRNL | IXANY | ISTRIP), 0u);
        EXPECT_EQ(t->c_oflag & OPOST, 0u);
        EXPECT_EQ(t->c_lflag & (ECHO | ECHONL | ICANON | ISIG | IEXTEN), 0u);
        EXPECT_EQ(t->c_cc[VMIN], 1);
        EXPECT_EQ(t->c_cc[VTIME], 0);
        EXPECT_EQ(t->c_cc[VSTART], 0x11);
        EXPECT_EQ(t->c_cc[VSTOP], 0x13);
    }

    const struct {
        const char* name;
        void (*edit)(SLineSettings&);
    } refused[] = {
        {"rate without a constant", [](SLineSettings& s) { s.BaudRate = 12345; }},
        {"no rate", [](SLineSettings& s) { s.BaudRate = 0; }},
        {"9 data bits", [](SLineSettings& s) { s.ByteSize = 9; }},
        {"no data bits", [](SLineSettings& s) { s.ByteSize = 0; }},
        {"mark parity", [](SLineSettings& s) { s.Parity = static_cast<LineParity>(3); }},
        {"one and a half stop bits",
         [](SLineSettings& s) { s.StopBits = static_cast<LineStopBits>(1); }},
    };
    for (const auto& row : refused) {
        SLineSettings s = base;
        row.edit(s);
        EXPECT_FALSE(TermiosForSettings(cooked, s)) << row.name;
    }
}

}  // namespace
}  // namespace morvane
