// The simulated receiver on a real pseudo-terminal, driven from the updater's side of the line.
// These run in real time; every wait is bounded and ends as soon as its condition holds.
#include "sim/sim_line.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "res/firmware_image.h"
#include "serial/termios_line_posix.h"
#include "tests/support/pty_line.h"
#include "tests/support/sim_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

namespace morvane {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using ::testing::HasSubstr;
using testing::WaitUntil;

constexpr auto kBound = 5s;

// The updater's end of the line, raw, at a rate of its choosing.
class UpdaterEnd {
public:
    explicit UpdaterEnd(const std::string& path)
        : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
    // The updater's end of a cable whose other end is the device the receiver serves: the master
    // side of a pseudo-terminal, which shares the device's line settings.
    explicit UpdaterEnd(const testing::PtyPair& cable) : fd_(cable.Master()), owned_(false) {}
    ~UpdaterEnd() { Close(); }
    void Close() {
        if (fd_ >= 0 && owned_) close(fd_);
        fd_ = -1;
    }
    // The rate set on the line, in baud.
    [[nodiscard]] std::uint32_t Rate() const {
        termios tio{};
        return tcgetattr(fd_, &tio) == 0 ? RateForSpeed(cfgetospeed(&tio)) : 0;
    }
    [[nodiscard]] bool IsOpen() const { return fd_ >= 0; }
    void SetRate(std::uint32_t rate) {
        termios tio{};
        ASSERT_EQ(tcgetattr(fd_, &tio), 0);
        cfmakeraw(&tio);
        ASSERT_TRUE(SpeedForRate(rate));
        cfsetispeed(&tio, *SpeedForRate(rate));
        cfsetospeed(&tio, *SpeedForRate(rate));
        ASSERT_EQ(tcsetattr(fd_, TCSANOW, &tio), 0);
    }
    // Writes everything, waiting for room; false when the line refuses (errno kept) or has no
    // room for the bound.
    bool Write(std::string_view bytes) {
        const auto until = std::chrono::steady_clock::now() + kBound;
        while (!bytes.empty()) {
            if (std::chrono::steady_clock::now() >= until) return false;
            const ssize_t n = write(fd_, bytes.data(), bytes.size());
            if (n > 0) {
                bytes.remove_prefix(static_cast<std::size_t>(n));
            } else if (n < 0 && errno == EAGAIN) {
                pollfd pfd{fd_, POLLOUT, 0};
                poll(&pfd, 1, 100);
            } else {
                return false;
            }
        }
        return true;
    }
    // Reads until the text received so far holds `text`, or the bound passes.
    std::string ReadUntil(const std::string& text) {
        std::string received;
        const auto until = std::chrono::steady_clock::now() + kBound;
        while (received.find(text) == std::string::npos &&
               std::chrono::steady_clock::now() < until) {
            pollfd pfd{fd_, POLLIN, 0};
            if (poll(&pfd, 1, 50) > 0) {
                char buffer[512];
                const ssize_t n = read(fd_, buffer, sizeof buffer);
                if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
            }
        }
        return received;
    }

private:
    int fd_;
    bool owned_ = true;
};

// A receiver served on its own thread, as morvane-sim serves it.
class RunningSim {
public:
    RunningSim(SSimOptions simOptions, SSimLineOptions lineOptions)
        : engine_(WithLog(std::move(simOptions))) {
        lineOptions.log = [this](const std::string& line) { Append(line); };
        line_ = std::make_unique<CSimLine>(engine_, std::move(lineOptions));
    }
    ~RunningSim() { Stop(); }

    bool Start(std::string* error) {
        if (!line_->Open(error)) return false;
        thread_ = std::thread([this] {
            end_ = line_->Run(stop_);
            ended_.store(true);
        });
        return true;
    }
    void Stop() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
    }
    [[nodiscard]] bool Ended() const { return ended_.load(); }
    [[nodiscard]] SimRunEnd End() const { return end_; }
    [[nodiscard]] std::string Log() {
        std::lock_guard lock(mutex_);
        return log_;
    }
    CSimLine& Line() { return *line_; }
    CSimEngine& Engine() { return engine_; }

private:
    SSimOptions WithLog(SSimOptions o) {
        o.log = [this](const std::string& line) { Append(line); };
        return o;
    }
    void Append(const std::string& line) {
        std::lock_guard lock(mutex_);
        log_ += line + "\n";
    }

    std::mutex mutex_;
    std::string log_;
    CSimEngine engine_;
    std::unique_ptr<CSimLine> line_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> ended_{false};
    SimRunEnd end_ = SimRunEnd::Stopped;
    std::thread thread_;
};

SSimOptions Options() {
    SSimOptions o;
    o.expectedImage = EmbeddedFirmwareImage();
    return o;
}

SSimLineOptions Line(const std::function<void(SSimLineOptions&)>& set) {
    SSimLineOptions o;
    set(o);
    return o;
}

TEST(SimOnAPty, AnswersAtItsRateAndHearsNoiseAtAnother) {
    RunningSim sim(Options(), {});
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;

    UpdaterEnd updater(sim.Line().DevicePath());
    ASSERT_TRUE(updater.IsOpen());
    updater.SetRate(4800);
    ASSERT_TRUE(updater.Write("$JOFF\r\n$JI\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return sim.Log().find("line noise") != std::string::npos; }))
        << sim.Log();

    // The updater closes and reopens the port for every rate it tries.
    updater.Close();
    UpdaterEnd again(sim.Line().DevicePath());
    again.SetRate(9600);
    ASSERT_TRUE(again.Write("$JOFF\r\n$JI\r\n"));
    const std::string reply = again.ReadUntil("TUNDRO W6*");
    EXPECT_THAT(reply, HasSubstr("$>JI,"));
    EXPECT_THAT(reply, HasSubstr("$W6,VERSION,A,1.21,"));

    sim.Stop();
    const SSimSession session = sim.Engine().Session();
    ASSERT_EQ(session.commands.size(), 2u);
    EXPECT_EQ(session.commands[1].line, "$JI");
    EXPECT_EQ(session.commands[1].rate, 9600u);
}

TEST(SimOnAPty, HangsUpInTheMiddleOfTheTransfer) {
    RunningSim sim(Options(), Line([](SSimLineOptions& o) { o.hangupAfterBytes = 1000; }));
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;
    UpdaterEnd updater(sim.Line().DevicePath());
    updater.SetRate(9600);
    ASSERT_TRUE(updater.Write("$JAPPTRANSFER\r\n"));

    const auto image = EmbeddedFirmwareImage();
    const std::string_view text(reinterpret_cast<const char*>(image.data()), image.size());
    bool writeFailed = false;
    for (std::size_t at = 0; at < text.size() && !writeFailed; at += 50) {
        writeFailed = !updater.Write(text.substr(at, 50));
    }
    EXPECT_TRUE(writeFailed) << "an unplugged line takes no more bytes";
    ASSERT_TRUE(WaitUntil([&] { return sim.Ended(); }));
    EXPECT_EQ(sim.End(), SimRunEnd::HungUp);
    EXPECT_EQ(sim.Engine().ImageBytes(), 1000u);
    EXPECT_FALSE(sim.Engine().Session().transfer.complete);
    EXPECT_THAT(sim.Log(), HasSubstr("transfer INCOMPLETE: 1000 bytes"));
}

TEST(SimOnAPty, EndsOnItsOwnWhenTheUpdaterClosesAfterTheTransfer) {
    RunningSim sim(Options(), Line([](SSimLineOptions& o) {
                       o.split = true;
                       o.exitAfterTransfer = true;
                   }));
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;
    {
        UpdaterEnd updater(sim.Line().DevicePath());
        updater.SetRate(9600);
        ASSERT_TRUE(updater.Write("$JAPPTRANSFER\r\n"));
        EXPECT_THAT(updater.ReadUntil("\r\n"), HasSubstr("$W6LOADER,Version,"));
        const auto image = EmbeddedFirmwareImage();
        ASSERT_TRUE(updater.Write({reinterpret_cast<const char*>(image.data()), image.size()}));
        ASSERT_TRUE(
            WaitUntil([&] { return sim.Log().find("transfer complete") != std::string::npos; }));
        EXPECT_FALSE(sim.Ended()) << "still there while the port is open";
    }
    ASSERT_TRUE(WaitUntil([&] { return sim.Ended(); }));
    EXPECT_EQ(sim.End(), SimRunEnd::TransferEnded);
    EXPECT_EQ(SessionExitStatus(sim.Engine().Session(), false), 0);
}

// A receiver with a USB port of its own: at its restart the port and its COM link go, and come
// back on another pseudo-terminal under the same link, where the new firmware answers. Whoever
// plays the receiver's USB port is told the moment it restarts.
TEST(SimOnAPty, DropsItsPortAtTheRestartAndComesBackUnderTheSameLink) {
    std::atomic<int> restarts{0};
    const testing::TempDir dir("sim-drop");
    ASSERT_EQ(setenv("MORVANE_DEVICES", dir.Path().c_str(), 1), 0);
    const std::filesystem::path link = dir / "com9";
    auto linked = [&] {
        return std::filesystem::is_symlink(std::filesystem::symlink_status(link));
    };
    RunningSim sim(Options(), Line([&restarts](SSimLineOptions& o) {
                       o.comPort = 9;
                       o.dropPortOnRestart = SimTime(300);
                       o.onRestart = [&restarts] { ++restarts; };
                   }));
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;
    {
        UpdaterEnd updater(link.string());
        updater.SetRate(9600);
        const auto image = EmbeddedFirmwareImage();
        ASSERT_TRUE(updater.Write("$JAPPTRANSFER\r\n"));
        ASSERT_TRUE(updater.Write({reinterpret_cast<const char*>(image.data()), image.size()}));
        // The restart is told before the port drops; the port is gone for only 0.3 s, too short
        // for a poll of the link on a loaded machine, but the old line stays dead.
        ASSERT_TRUE(WaitUntil([&] { return restarts.load() == 1; })) << sim.Log();
        EXPECT_TRUE(WaitUntil([&] { return !updater.Write("$JI\r\n"); })) << "the port is gone";
    }
    ASSERT_TRUE(WaitUntil(linked)) << sim.Log();
    ASSERT_TRUE(WaitUntil([&] { return sim.Log().find("running firmware") != std::string::npos; }));
    UpdaterEnd again(link.string());
    again.SetRate(9600);
    ASSERT_TRUE(again.Write("$JOFF\r\n$JI\r\n"));
    EXPECT_THAT(again.ReadUntil("TUNDRO W6*"), HasSubstr("$W6,VERSION,A,1.22,")) << sim.Log();

    sim.Stop();
    EXPECT_EQ(SessionExitStatus(sim.Engine().Session(), false), 0);
    ASSERT_EQ(unsetenv("MORVANE_DEVICES"), 0);
}

// On an existing serial device the receiver's UART runs at the receiver's rate: it sets the
// device to it, and follows "$JBAUD". A receiver on a USB port of its own has no rate, and leaves
// the device's alone (a gadget's port cannot be set to one).
TEST(SimOnADevice, TheReceiverSetsItsRateUnlessItsPortIsItsOwnUsb) {
    for (const bool native : {false, true}) {
        SCOPED_TRACE(native ? "its own USB port" : "behind a UART");
        testing::PtyPair cable;
        ASSERT_TRUE(cable.Ok());
        UpdaterEnd updater(cable);
        updater.SetRate(4800);
        SSimOptions options = Options();
        options.usbNative = native;
        RunningSim sim(options, Line([&](SSimLineOptions& o) { o.device = cable.SlavePath(); }));
        std::string error;
        ASSERT_TRUE(sim.Start(&error)) << error;
        EXPECT_EQ(sim.Line().DevicePath(), cable.SlavePath());
        EXPECT_EQ(updater.Rate(), native ? 4800u : 9600u);

        ASSERT_TRUE(updater.Write("$JOFF\r\n$JBAUD,19200\r\n"));
        ASSERT_TRUE(WaitUntil([&] {
            return sim.Log().find("now listening at 19200") != std::string::npos;
        })) << sim.Log();
        ASSERT_TRUE(updater.Write("$JI\r\n"));
        EXPECT_THAT(updater.ReadUntil("TUNDRO W6*"), HasSubstr("$>JI,")) << sim.Log();
        // The reply comes after the receiver took its new rate.
        EXPECT_EQ(updater.Rate(), native ? 4800u : 19200u);
        sim.Stop();
        // What the updater's side runs at is known only from a UART's rate.
        EXPECT_EQ(sim.Engine().Session().commands.back().rate, native ? 0u : 19200u);
    }
}

// A receiver whose USB port a gadget plays, reached through a link as a by-id name leads to a
// port: it takes the gadget off the bus while it restarts and puts it back on its controller;
// a device that hangs up under it is waited for, and served once it opens again; and the device
// is its alone while it serves it.
TEST(SimOnADevice, ItDropsOffTheBusAndWaitsForAPortThatHungUp) {
    const testing::TempDir dir("sim-device");
    const std::filesystem::path gadget = dir / "w6";
    std::filesystem::create_directories(gadget);
    std::ofstream(gadget / "UDC") << "dummy_udc.0\n";
    const auto udc = [&] { return testing::ReadTextFile((gadget / "UDC").string()); };
    const std::filesystem::path port = dir / "port";
    auto first = std::make_unique<testing::PtyPair>();
    testing::PtyPair second;
    ASSERT_TRUE(first->Ok() && second.Ok());
    std::filesystem::create_symlink(first->SlavePath(), port);

    SSimOptions options = Options();
    options.usbNative = true;
    RunningSim sim(options, Line([&](SSimLineOptions& o) {
                       o.device = port.string();
                       o.gadget = gadget.string();
                       o.dropPortOnRestart = SimTime(300);
                   }));
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;
    {
        SSimOptions otherOptions = Options();
        CSimEngine otherEngine(otherOptions);
        CSimLine other(otherEngine, Line([&](SSimLineOptions& o) { o.device = port.string(); }));
        EXPECT_FALSE(other.Open(&error));
        EXPECT_THAT(error, HasSubstr(port.string() + " is in use by"));
    }

    first.reset();  // the adapter pulled
    ASSERT_TRUE(WaitUntil([&] { return sim.Log().find("hung up") != std::string::npos; }));
    std::filesystem::remove(port);
    std::filesystem::create_symlink(second.SlavePath(), port);  // and plugged again
    UpdaterEnd updater(second);
    ASSERT_TRUE(WaitUntil([&] { return sim.Log().find("is back on") != std::string::npos; }))
        << sim.Log();
    ASSERT_TRUE(updater.Write("$JOFF\r\n$JI\r\n"));
    EXPECT_THAT(updater.ReadUntil("TUNDRO W6*"), HasSubstr("1.21"));

    const auto image = EmbeddedFirmwareImage();
    ASSERT_TRUE(updater.Write("$JAPPTRANSFER\r\n"));
    ASSERT_TRUE(updater.Write({reinterpret_cast<const char*>(image.data()), image.size()}));
    EXPECT_TRUE(WaitUntil([&] { return udc() == "\n"; })) << sim.Log();
    EXPECT_TRUE(WaitUntil([&] { return udc() == "dummy_udc.0\n"; })) << sim.Log();
    ASSERT_TRUE(WaitUntil([&] { return sim.Log().find("running firmware") != std::string::npos; }));
    ASSERT_TRUE(updater.Write("$JOFF\r\n$JI\r\n"));
    EXPECT_THAT(updater.ReadUntil("TUNDRO W6*"), HasSubstr("$W6,VERSION,A,1.22,")) << sim.Log();
}

// The program's command line with these options.
std::vector<std::string> SimProgram(std::vector<std::string> options) {
    options.insert(options.begin(), MORVANE_SIM_PROGRAM);
    return options;
}

TEST(SimProgram, FirstLineLinkReportAndExitStatus) {
    const testing::TempDir dir("sim-program");
    ASSERT_EQ(setenv("MORVANE_DEVICES", (dir / "devices").c_str(), 1), 0);
    const std::string report = (dir / "report.json").string();

    ChildProcess sim(SimProgram(
        {"--rate", "19200", "--com", "9", "--report", report, "--no-transfer-expected"}));
    const std::string path = sim.FirstLine(kBound);
    ASSERT_THAT(path, ::testing::StartsWith("/dev/pts/"));
    EXPECT_EQ(std::filesystem::read_symlink(dir / "devices" / "com9"), path);
    // A second receiver on the same COM number is refused and names the one there; the link
    // stays the first one's.
    ChildProcess second(SimProgram({"--com", "9"}), {}, testing::ChildStderr::Piped);
    EXPECT_EQ(second.Wait(kBound), 3);
    EXPECT_THAT(second.Err(),
                HasSubstr(path + " is the line of another receiver, morvane-sim (pid " +
                          std::to_string(sim.Pid()) + ")"));
    EXPECT_EQ(std::filesystem::read_symlink(dir / "devices" / "com9"), path);
    {
        UpdaterEnd updater(path);
        updater.SetRate(19200);
        ASSERT_TRUE(updater.Write("$JOFF\r\n$JI\r\n"));
        EXPECT_THAT(updater.ReadUntil("TUNDRO W6*"), HasSubstr("$>JI,"));
    }
    EXPECT_EQ(sim.Stop(SIGTERM, kBound), 0);
    EXPECT_FALSE(
        std::filesystem::exists(std::filesystem::symlink_status(dir / "devices" / "com9")));

    const std::string json = testing::ReadTextFile(report);
    EXPECT_THAT(json, HasSubstr("{\"t\":"));
    EXPECT_THAT(json, HasSubstr(",\"rate\":19200,\"line\":\"$JI\"}"));
    EXPECT_THAT(
        json,
        HasSubstr("\"transfer\":{\"started\":false,\"complete\":false,\"bytes_received\":0,"));
    EXPECT_THAT(json, HasSubstr("\"version\":\"1.21\"}"));

    // Without a transfer a run is a failure unless none was expected; a bad option is its own
    // status.
    ChildProcess idle(SimProgram({"--only-rate", "4800"}));
    EXPECT_THAT(idle.FirstLine(kBound), ::testing::StartsWith("/dev/pts/"));
    EXPECT_EQ(idle.Stop(SIGINT, kBound), 1);
    EXPECT_EQ(ChildProcess(SimProgram({"--rate", "1234"})).Wait(kBound), 2);
    ASSERT_EQ(unsetenv("MORVANE_DEVICES"), 0);
    EXPECT_EQ(ChildProcess(SimProgram({"--com", "9"})).Wait(kBound), 3)
        << "a COM link needs the devices folder";
}

// Two USB serial adapters joined by a null-modem cable, stood in for by two pseudo-terminals that
// socat joins: the receiver serves one end, morvane-cli loads it through the other. socat holds
// neither terminal (wait-slave), so both programs find their port free, and it outlives the
// updater's closing and reopening of its end (ignoreeof).
TEST(SimProgram, ServesAWholeLoadThroughTwoCrossedPorts) {
    const std::string socatPath = "/usr/bin/socat";
    if (!std::filesystem::exists(socatPath))
        GTEST_SKIP() << "socat is not installed (tools/deps.sh installs it)";
    const testing::TempDir dir("sim-crossed");
    const std::string receiverEnd = (dir / "receiver").string();
    const std::string updaterEnd = (dir / "updater").string();
    const std::string report = (dir / "report.json").string();
    ChildProcess cable({socatPath, "pty,raw,echo=0,wait-slave,link=" + receiverEnd,
                        "pty,raw,echo=0,wait-slave,ignoreeof,link=" + updaterEnd});
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(receiverEnd); }));

    ChildProcess sim(SimProgram({"--device", receiverEnd, "--rate", "115200", "--report", report,
                                 "--exit-after-transfer"}),
                     {}, testing::ChildStderr::ToFile, (dir / "sim.log").string());
    ASSERT_EQ(sim.FirstLine(kBound), receiverEnd);
    ChildProcess second(SimProgram({"--device", receiverEnd}), {}, testing::ChildStderr::Piped);
    EXPECT_EQ(second.Wait(kBound), 3);
    EXPECT_THAT(second.Err(), HasSubstr(receiverEnd + " is in use by morvane-sim (pid"));

    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(updaterEnd); }));
    ChildProcess cli({MORVANE_CLI_PROGRAM, "--port", updaterEnd, "--no-log"},
                     {"XDG_STATE_HOME=" + (dir / "state").string()}, testing::ChildStderr::Piped);
    EXPECT_EQ(cli.Wait(std::chrono::minutes(5)), 0) << cli.Out() << cli.Err();
    EXPECT_EQ(sim.Wait(std::chrono::seconds(20)), 0)
        << testing::ReadTextFile((dir / "sim.log").string());
    EXPECT_EQ(testing::JsonValue(testing::ReadTextFile(report), "image_matches"), "true");
}

}  // namespace
}  // namespace morvane
