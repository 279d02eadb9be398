// The device against a pseudo-terminal pair: the test holds the master side and plays the
// receiver, the device opens the slave side as it would open a serial port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "serial/comm_dev2.h"
#include "tests/support/pty_line.h"
#include "tests/support/sim_process.h"
#include "tests/support/wait_until.h"

namespace morvane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::PlugBoard;
using testing::PtyPair;
using testing::WaitUntil;

// Another program holding the tty: a child process named `name` that opens it without a lock
// (and, if asked, makes it exclusive), until the test lets it go.
class ForeignHolder {
public:
    ForeignHolder(const std::string& path, const char* name, bool exclusive) {
        int ready[2];
        int release[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            ::prctl(PR_SET_NAME, name);
            const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (fd >= 0 && exclusive) ::ioctl(fd, TIOCEXCL);
            char c = fd >= 0 ? '1' : '0';
            (void)!::write(ready[1], &c, 1);
            (void)!::read(release[0], &c, 1);  // returns when the test closes its end
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        release_ = release[1];
        char c = 0;
        ok_ = pid_ > 0 && ::read(ready[0], &c, 1) == 1 && c == '1';
        ::close(ready[0]);
    }
    ~ForeignHolder() { Release(); }
    ForeignHolder(const ForeignHolder&) = delete;
    ForeignHolder& operator=(const ForeignHolder&) = delete;

    [[nodiscard]] bool Ok() const { return ok_; }
    [[nodiscard]] pid_t Pid() const { return pid_; }
    void Release() {
        if (release_ >= 0) ::close(release_);
        release_ = -1;
        if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int release_ = -1;
    bool ok_ = false;
};

std::string Pattern(std::size_t length, int seed = 0) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<char>((i * 7 + static_cast<std::size_t>(seed)) % 253);
    }
    return bytes;
}

std::string ReadAll(CCommDev2& dev, int length) {
    std::string out(static_cast<std::size_t>(length), '\0');
    out.resize(static_cast<std::size_t>(dev.Read(out.data(), length)));
    return out;
}

class CommDevOnPty : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pty.Ok()); }

    // Opens the way the loader does: Open, then the rate, no handshake, apply.
    bool OpenAt(CCommDev2& dev, std::uint32_t rate) {
        if (!dev.Open(1)) return false;
        dev.LineSettings().BaudRate = rate;
        return dev.SetHandshake(false) && dev.ApplyCommState();
    }

    PtyPair pty;
};

TEST(CommDev, ClosedDeviceDoesNothingHarmful) {
    CPathCommDev dev("/nonexistent/tty");
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "never opened" : "after a failed Open");
        char buffer[8];
        EXPECT_FALSE(dev.IsOpen());
        EXPECT_EQ(dev.Read(buffer, sizeof buffer), 0);
        EXPECT_FALSE(dev.Write("x", 1));
        EXPECT_FALSE(dev.SetHandshake(false));
        EXPECT_FALSE(dev.InitCommState());
        EXPECT_FALSE(dev.ApplyCommState());
        EXPECT_EQ(dev.RingCount(), 0);
        dev.Close();
        dev.Close();
        EXPECT_FALSE(dev.Open(1));
    }
}

TEST(CommDev, FailedOpenSaysWhy) {
    PlugBoard devices(true);
    devices.Plug("/dev/pts/morvane-no-such-pty", 5);
    const std::string regular = devices.Dir() + "/a-file";
    std::ofstream(regular) << "not a terminal";

    struct Row {
        const char* name;
        int port;
        std::string path;  // empty: open by number through the devices folder
        OpenErrorKind kind;
    };
    const Row rows[] = {
        {"number in no range", 500, "", OpenErrorKind::NoSuchDevice},
        {"link to a missing device", 5, "", OpenErrorKind::NoSuchDevice},
        {"not a terminal", 1, "/dev/null", OpenErrorKind::NotSerial},
        {"regular file", 1, regular, OpenErrorKind::NotSerial},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::unique_ptr<CCommDev2> dev = row.path.empty()
                                             ? std::make_unique<CCommDev2>()
                                             : std::make_unique<CPathCommDev>(row.path);
        EXPECT_FALSE(dev->Open(row.port));
        EXPECT_FALSE(dev->IsOpen());
        const OpenError& error = dev->LastOpenError();
        EXPECT_EQ(error.kind, row.kind);
        EXPECT_EQ(error.devicePath.empty(), row.port == 500) << error.devicePath;
        EXPECT_NE(error.osError, 0);
        EXPECT_FALSE(error.osText.empty());
    }
}

TEST_F(CommDevOnPty, OpenByNumberReopenStartsEmptyAndReleasesTheEarlierPort) {
    PtyPair second;
    ASSERT_TRUE(second.Ok());
    PlugBoard devices(true);
    ASSERT_TRUE(devices.Plug(pty.SlavePath(), 3));
    ASSERT_TRUE(devices.Plug(second.SlavePath(), 4));

    CCommDev2 dev;
    ASSERT_TRUE(dev.Open(3)) << dev.LastOpenError().osText;
    EXPECT_EQ(dev.LastOpenError().kind, OpenErrorKind::None);
    EXPECT_TRUE(dev.IsOpen());
    ASSERT_TRUE(pty.Send("hello"));
    ASSERT_TRUE(WaitUntil([&] { return dev.RingCount() == 5; }));

    ASSERT_TRUE(dev.Open(3));  // the same port again: nothing of before is left
    EXPECT_EQ(dev.RingCount(), 0);
    ASSERT_TRUE(pty.Send("again"));
    ASSERT_TRUE(WaitUntil([&] { return dev.RingCount() == 5; }));
    EXPECT_EQ(ReadAll(dev, 16), "again");

    ASSERT_TRUE(dev.Open(4));  // another port: the first is free for others now
    CCommDev2 other;
    EXPECT_TRUE(other.Open(3)) << other.LastOpenError().osText;
    ASSERT_TRUE(second.Send("two"));
    ASSERT_TRUE(WaitUntil([&] { return dev.RingCount() == 3; }));
    EXPECT_EQ(ReadAll(dev, 16), "two");
}

TEST_F(CommDevOnPty, TheRateAppliedIsTheRateOnTheLine) {
    struct Row {
        std::uint32_t rate;
        speed_t speed;
    };
    const Row rows[] = {{4800, B4800},   {9600, B9600},   {19200, B19200},
                        {38400, B38400}, {57600, B57600}, {115200, B115200}};
    CPathCommDev dev(pty.SlavePath());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.rate);
        ASSERT_TRUE(OpenAt(dev, row.rate));
        termios t{};
        ASSERT_EQ(::tcgetattr(pty.Master(), &t), 0);
        EXPECT_EQ(::cfgetospeed(&t), row.speed);
        EXPECT_EQ(::cfgetispeed(&t), row.speed);
        // Raw 8N1 (what else the settings become is checked without a port).
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
        EXPECT_EQ(t.c_lflag & ICANON, 0u);
    }

    dev.LineSettings().BaudRate = 12345;
    EXPECT_FALSE(dev.ApplyCommState());
    termios t{};
    ASSERT_EQ(::tcgetattr(pty.Master(), &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B115200));  // the line keeps its rate
    EXPECT_TRUE(dev.IsOpen());
}

TEST_F(CommDevOnPty, CloseGivesThePortItsOwnSettingsBack) {
    termios before{};
    ASSERT_EQ(::tcgetattr(pty.Master(), &before), 0);
    ASSERT_NE(before.c_lflag & ICANON, 0u);
    CPathCommDev dev(pty.SlavePath());
    ASSERT_TRUE(OpenAt(dev, 115200));
    dev.Close();
    termios after{};
    ASSERT_EQ(::tcgetattr(pty.Master(), &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(::cfgetospeed(&after), ::cfgetospeed(&before));
}

TEST_F(CommDevOnPty, SecondOpenOfAHeldPortIsBusyEvenForRoot) {
    CPathCommDev first(pty.SlavePath());
    ASSERT_TRUE(OpenAt(first, 19200));
    CPathCommDev second(pty.SlavePath());
    EXPECT_FALSE(second.Open(1));
    EXPECT_FALSE(second.IsOpen());
    EXPECT_EQ(second.LastOpenError().kind, OpenErrorKind::Busy);
    EXPECT_EQ(second.LastOpenError().devicePath, pty.SlavePath());

    // The refused Open left the holder's line alone.
    termios t{};
    ASSERT_EQ(::tcgetattr(pty.Master(), &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B19200));
    ASSERT_TRUE(pty.Send("still mine"));
    ASSERT_TRUE(WaitUntil([&] { return first.RingCount() == 10; }));

    first.Close();
    EXPECT_TRUE(second.Open(1)) << second.LastOpenError().osText;
}

// Programs that hold a port without the lock: a terminal program, ModemManager probing a new
// device (open only), or one that made the tty exclusive, which root may open anyway.
TEST_F(CommDevOnPty, APortAnotherProgramHoldsIsBusyAndNamesTheHolder) {
    for (const bool exclusive : {false, true}) {
        SCOPED_TRACE(exclusive ? "exclusive, no lock" : "open, no lock");
        ForeignHolder holder(pty.SlavePath(), "line-holder", exclusive);
        ASSERT_TRUE(holder.Ok());
        CPathCommDev dev(pty.SlavePath());
        EXPECT_FALSE(dev.Open(1));
        EXPECT_FALSE(dev.IsOpen());
        const OpenError& error = dev.LastOpenError();
        EXPECT_EQ(error.kind, OpenErrorKind::Busy);
        EXPECT_EQ(error.holders, std::vector<std::string>{"line-holder (pid " +
                                                          std::to_string(holder.Pid()) + ")"});
        holder.Release();
        if (exclusive) {
            // A pseudo-terminal keeps the exclusive flag while its other side is open: with its
            // holder gone, the flag alone still refuses the port, to root as to everyone else.
            EXPECT_FALSE(dev.Open(1));
            EXPECT_EQ(dev.LastOpenError().kind, OpenErrorKind::Busy);
            EXPECT_TRUE(dev.LastOpenError().holders.empty());
            continue;
        }
        EXPECT_TRUE(dev.Open(1)) << dev.LastOpenError().osText;
        EXPECT_TRUE(dev.LastOpenError().holders.empty());
    }
}

TEST_F(CommDevOnPty, WithoutReadsTheFirst4096BytesAreKept) {
    CPathCommDev dev(pty.SlavePath());
    ASSERT_TRUE(OpenAt(dev, 115200));
    const std::string sent = Pattern(5000);
    ASSERT_TRUE(pty.Send(sent));
    ASSERT_TRUE(WaitUntil([&] { return dev.RingCount() == CCommDev2::kBufferSize; }));
    EXPECT_EQ(ReadAll(dev, 5000), sent.substr(0, CCommDev2::kBufferSize));
}

TEST_F(CommDevOnPty, BytesComeOutInArrivalOrderAcrossTheRingsEnd) {
    CPathCommDev dev(pty.SlavePath());
    ASSERT_TRUE(OpenAt(dev, 115200));
    const std::string first = Pattern(3000, 1);
    const std::string second = Pattern(3000, 2);  // wraps: 3000 + 3000 > 4096
    ASSERT_TRUE(pty.Send(first));
    ASSERT_TRUE(WaitUntil([&] { return dev.RingCount() == 3000; }));
    EXPECT_EQ(ReadAll(dev, 3000), first);
    ASSERT_TRUE(pty.Send(second));
    ASSERT_TRUE(WaitUntil([&] { return dev.RingCount() == 3000; }));
    EXPECT_EQ(ReadAll(dev, 1000), second.substr(0, 1000));
    EXPECT_EQ(ReadAll(dev, 2000), second.substr(1000));
}

TEST_F(CommDevOnPty, ReadLargerThanHeldEmptiesTheRing) {
    CPathCommDev dev(pty.SlavePath());
    ASSERT_TRUE(OpenAt(dev, 19200));
    ASSERT_TRUE(pty.Send("$JI\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return dev.RingCount() == 5; }));
    EXPECT_EQ(ReadAll(dev, 100), "$JI\r\n");
    EXPECT_EQ(dev.RingCount(), 0);
    EXPECT_EQ(ReadAll(dev, 100), "");
}

TEST_F(CommDevOnPty, WrittenBytesReachTheOtherSide) {
    CPathCommDev dev(pty.SlavePath());
    ASSERT_TRUE(OpenAt(dev, 19200));
    const std::string block = Pattern(50) + "\r\n";
    const auto start = Clock::now();
    EXPECT_TRUE(dev.Write(block.data(), static_cast<int>(block.size())));
    // The pseudo-terminal takes the block at once, as a USB adapter's chip does: the write still
    // lasts the block's 27 ms on the line.
    EXPECT_GE(Clock::now() - start, 27ms);
    EXPECT_EQ(pty.Receive(block.size()), block);
    EXPECT_TRUE(dev.Write("", 0));
}

// Real time: about one second, the write time-out itself.
TEST_F(CommDevOnPty, AWriteThatCannotLeaveFailsAfterTheTimeOut) {
    CPathCommDev dev(pty.SlavePath());
    ASSERT_TRUE(OpenAt(dev, 115200));
    const std::string flood(1 << 20, 'x');  // far more than the pseudo-terminal buffers
    const auto start = Clock::now();
    EXPECT_FALSE(dev.Write(flood.data(), static_cast<int>(flood.size())));
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 950ms);  // never gives up before the time-out
    EXPECT_TRUE(dev.IsOpen());
}

TEST_F(CommDevOnPty, CloseWhileTheReceiveThreadWaitsReturnsPromptly) {
    CPathCommDev dev(pty.SlavePath());
    ASSERT_TRUE(OpenAt(dev, 19200));
    const auto start = Clock::now();
    dev.Close();
    EXPECT_LT(Clock::now() - start, 500ms);
    EXPECT_FALSE(dev.IsOpen());
}

// A line that went away (the other side closed, an adapter pulled): the device says so without
// being written to, reads give nothing, writes fail, and the device still closes. (What a hung-up
// line costs in processor time is measured by bench/hangup_cpu, not asserted here.)
TEST_F(CommDevOnPty, AHungUpLineIsGoneFailsWritesAndStillCloses) {
    CPathCommDev dev(pty.SlavePath());
    ASSERT_TRUE(OpenAt(dev, 19200));
    EXPECT_FALSE(dev.LineGone());
    pty.HangUp();
    EXPECT_TRUE(testing::WaitUntil([&] { return dev.LineGone(); }));
    char buffer[8];
    EXPECT_EQ(dev.Read(buffer, sizeof buffer), 0);
    EXPECT_FALSE(dev.Write("x", 1));
    const auto start = Clock::now();
    dev.Close();
    EXPECT_LT(Clock::now() - start, 500ms);
    // A load that closed the port on its failed write still learns why, until the next open.
    EXPECT_TRUE(dev.LineGone());
}

}  // namespace
}  // namespace morvane
