#include "sim/sim_line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/text.h"
#include "serial/com_port_map.h"
#include "serial/open_error_facts.h"
#include "serial/port_identity.h"
#include "serial/termios_line_posix.h"

namespace morvane {

namespace {

constexpr int kPollMs = 10;
// How soon a device that hung up, or is not back yet, is tried again.
constexpr SimTime kDeviceRetry{200};
constexpr SimTime kLingerAfterTransfer{3000};

std::string SystemText(const char* what, int error) {
    return Format("%s: %s", what, std::strerror(error));
}

void PauseMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The process that holds the master side of the pseudo-terminal `slavePath` ("/dev/pts/3"), as
// "morvane-sim (pid 1234)": a live receiver's line. Nothing when no process holds it (the
// receiver that made it is gone) or the path is no pseudo-terminal. The kernel tells a master's
// terminal in its descriptor's fdinfo ("tty-index").
std::optional<std::string> PtyMasterHolder(const std::string& slavePath) {
    namespace fs = std::filesystem;
    constexpr std::string_view kPts = "/dev/pts/";
    if (!slavePath.starts_with(kPts)) return std::nullopt;
    const std::string index = slavePath.substr(kPts.size());
    std::error_code ec;
    for (const fs::directory_entry& process : fs::directory_iterator("/proc", ec)) {
        const std::string pid = process.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code fdError;
        for (const fs::directory_entry& fd :
             fs::directory_iterator(process.path() / "fd", fdError)) {
            std::error_code linkError;
            const std::string target = fs::read_symlink(fd.path(), linkError).string();
            if (target != "/dev/ptmx" && target != "/dev/pts/ptmx") continue;
            std::ifstream info(process.path() / "fdinfo" / fd.path().filename());
            for (std::string line; std::getline(info, line);) {
                if (!line.starts_with("tty-index:")) continue;
                if (line.substr(line.find_first_not_of(" \t", 10)) != index) break;
                std::string name;
                std::getline(std::ifstream(process.path() / "comm"), name);
                return Format("%s (pid %s)", name.c_str(), pid.c_str());
            }
        }
    }
    return std::nullopt;
}
// What the user is told of a device another program holds: its holders, as the updater names
// them, or the lock or flag that says so.
std::string HeldText(const std::string& path, const char* how) {
    const std::vector<std::string> holders = ProgramsHoldingDevice(path);
    std::string who = how;
    if (!holders.empty()) {
        who = holders.front();
        for (std::size_t i = 1; i < holders.size(); ++i) who += ", " + holders[i];
    }
    return Format("%s is in use by %s: the receiver needs the port to itself", path.c_str(),
                  who.c_str());
}

std::string Trimmed(std::string text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    return text;
}

}  // namespace

CSimLine::CSimLine(CSimEngine& engine, SSimLineOptions options)
    : engine_(engine), options_(std::move(options)), start_(std::chrono::steady_clock::now()) {}

CSimLine::~CSimLine() { Close(); }

bool CSimLine::Open(std::string* error) {
    if (!options_.gadget.empty()) {
        // Whatever controller the gadget sits on is where it goes back when it returns.
        std::string udc;
        std::getline(std::ifstream(options_.gadget + "/UDC"), udc);
        gadgetUdc_ = Trimmed(udc);
        if (gadgetUdc_.empty()) {
            if (error)
                *error = Format("the gadget %s is on no USB device controller: bind it first",
                                options_.gadget.c_str());
            return false;
        }
    }
    if (!OpenLine(error) || !MakeLink(error)) {
        Close();
        return false;
    }
    start_ = std::chrono::steady_clock::now();
    return true;
}

bool CSimLine::OpenLine(std::string* error) {
    return options_.device.empty() ? OpenPty(error) : OpenDevice(error);
}

bool CSimLine::OpenPty(std::string* error) {
    auto fail = [&](std::string text) {
        if (error) *error = std::move(text);
        return false;
    };
    fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) return fail(SystemText("posix_openpt", errno));
    if (grantpt(fd_) != 0) return fail(SystemText("grantpt", errno));
    if (unlockpt(fd_) != 0) return fail(SystemText("unlockpt", errno));
    char name[128];
    if (ptsname_r(fd_, name, sizeof name) != 0) return fail(SystemText("ptsname", errno));
    devicePath_ = name;

    termios tio{};
    if (tcgetattr(fd_, &tio) != 0) return fail(SystemText("tcgetattr", errno));
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    const std::optional<speed_t> speed = SpeedForRate(engine_.Rate());
    if (!speed) return fail(Format("no line speed for %u baud", engine_.Rate()));
    cfsetispeed(&tio, *speed);
    cfsetospeed(&tio, *speed);
    if (tcsetattr(fd_, TCSANOW, &tio) != 0) return fail(SystemText("tcsetattr", errno));

    // Open and close the other end once: from then on this side reports a hang-up whenever
    // nobody holds the port, which is how the runner knows not to talk into the void (bytes
    // written then would wait in the line and reach the next opener stale).
    const int other = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (other < 0) return fail(SystemText(name, errno));
    close(other);
    return true;
}

bool CSimLine::OpenDevice(std::string* error) {
    auto fail = [&](std::string text) {
        if (error) *error = std::move(text);
        return false;
    };
    const std::string& path = options_.device;
    devicePath_ = path;
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return fail(SystemText(path.c_str(), errno));
    termios tio{};
    if (tcgetattr(fd_, &tio) != 0)
        return fail(Format("%s is no serial port: %s", path.c_str(), std::strerror(errno)));
    // A port another program holds is that program's line, by the same rules as the updater's:
    // the lock, the exclusive flag, or an open descriptor that only the process table shows.
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0) return fail(HeldText(path, "another program's lock"));
    int exclusive = 0;
    if (ioctl(fd_, TIOCGEXCL, &exclusive) == 0 && exclusive != 0)
        return fail(HeldText(path, "another program (the port is exclusive)"));
    if (!ProgramsHoldingDevice(path).empty()) return fail(HeldText(path, ""));
    // A gadget's port may refuse it; the lock still keeps out the programs that ask.
    (void)ioctl(fd_, TIOCEXCL);
    deviceSettings_ = std::make_unique<termios>(tio);

    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    if (!engine_.UsbNative()) {
        const std::optional<speed_t> speed = SpeedForRate(engine_.Rate());
        if (!speed) return fail(Format("no line speed for %u baud", engine_.Rate()));
        cfsetispeed(&tio, *speed);
        cfsetospeed(&tio, *speed);
    }
    if (tcsetattr(fd_, TCSANOW, &tio) != 0) return fail(SystemText(path.c_str(), errno));
    termios taken{};
    if (!engine_.UsbNative() &&
        (tcgetattr(fd_, &taken) != 0 || cfgetospeed(&taken) != cfgetospeed(&tio))) {
        return fail(
            Format("%s does not take %u baud (a USB gadget's port has no rate: serve it "
                   "with --usb-native)",
                   path.c_str(), engine_.Rate()));
    }
    deviceRate_ = engine_.Rate();
    // What lay in the line before the receiver took it was meant for nobody.
    (void)tcflush(fd_, TCIOFLUSH);
    return true;
}

bool CSimLine::MakeLink(std::string* error) {
    if (options_.comPort == 0) return true;
    auto fail = [&](std::string text) {
        if (error) *error = std::move(text);
        return false;
    };
    const std::string dir = DevicesDirFromEnv();
    if (dir.empty()) return fail("--com needs MORVANE_DEVICES to name the devices folder");
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) return fail(Format("%s: %s", dir.c_str(), ec.message().c_str()));
    const std::string link = Format("%s/com%d", dir.c_str(), options_.comPort);
    // A link left by a receiver that died is replaced; anything else there is not ours. A link
    // to a live receiver's line is that receiver's: taken over, it would leave the receiver
    // unreachable, and removed at this one's exit, gone for good.
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(link, ec))) {
        const std::string target = std::filesystem::read_symlink(link, ec).string();
        if (const std::optional<std::string> holder = PtyMasterHolder(target)) {
            return fail(
                ComPortName(options_.comPort) +
                Format(" is taken: %s is the line of another receiver, %s; give this one another "
                       "--com number",
                       target.c_str(), holder->c_str()));
        }
        std::filesystem::remove(link, ec);
    }
    if (symlink(devicePath_.c_str(), link.c_str()) != 0)
        return fail(SystemText(link.c_str(), errno));
    linkPath_ = link;
    return true;
}

void CSimLine::FollowReceiverRate() {
    if (options_.device.empty() || engine_.UsbNative() || fd_ < 0 || engine_.Rate() == deviceRate_)
        return;
    termios tio{};
    const std::optional<speed_t> speed = SpeedForRate(engine_.Rate());
    // The line's last bytes went out at the old rate, as a UART changes only between bytes.
    if (!speed || tcgetattr(fd_, &tio) != 0 || cfsetispeed(&tio, *speed) != 0 ||
        cfsetospeed(&tio, *speed) != 0 || tcsetattr(fd_, TCSADRAIN, &tio) != 0) {
        Log(Format("%s does not take %u baud: %s", devicePath_.c_str(), engine_.Rate(),
                   std::strerror(errno)));
    }
    deviceRate_ = engine_.Rate();
}

bool CSimLine::PutGadgetOnBus(bool on) {
    std::ofstream udc(options_.gadget + "/UDC");
    udc << (on ? gadgetUdc_ : std::string()) << '\n';
    udc.close();
    if (!udc.good()) {
        Log(Format("the gadget %s could not be %s the bus", options_.gadget.c_str(),
                   on ? "put back on" : "taken off"));
        return false;
    }
    gadgetOffBus_ = !on;
    return true;
}

void CSimLine::DropPort(SimTime now) {
    Log(Format("restarting: the port goes for %.1f s",
               static_cast<double>(options_.dropPortOnRestart.count()) / 1000.0));
    CloseLine();
    RemoveLink();
    if (!options_.gadget.empty()) (void)PutGadgetOnBus(false);
    portBackAt_ = now + options_.dropPortOnRestart;
}

void CSimLine::LoseDevice(SimTime now) {
    Log(Format("%s hung up: the receiver waits for it to come back", devicePath_.c_str()));
    CloseLine();
    portBackAt_ = now + kDeviceRetry;
}

bool CSimLine::BringPortBack(SimTime now) {
    portBackAt_.reset();
    if (gadgetOffBus_ && !PutGadgetOnBus(true)) return false;
    std::string error;
    if (!OpenLine(&error)) {
        CloseLine();
        if (options_.device.empty()) {
            Log("the port cannot come back: " + error);
            return false;
        }
        if (!waitLogged_) Log("waiting for the device: " + error);
        waitLogged_ = true;
        portBackAt_ = now + kDeviceRetry;
        return true;
    }
    if (!MakeLink(&error)) {
        Log("the port cannot come back: " + error);
        return false;
    }
    waitLogged_ = false;
    Log(Format("the port is back on %s%s%s", devicePath_.c_str(),
               linkPath_.empty() ? "" : ", linked as ", linkPath_.c_str()));
    return true;
}

void CSimLine::CloseLine() {
    if (fd_ < 0) return;
    if (deviceSettings_) {
        (void)tcsetattr(fd_, TCSANOW, deviceSettings_.get());
        // The exclusive flag belongs to the tty, not to this descriptor.
        (void)ioctl(fd_, TIOCNXCL);
        deviceSettings_.reset();
    }
    close(fd_);
    fd_ = -1;
}

void CSimLine::RemoveLink() {
    if (linkPath_.empty()) return;
    // Only the link this runner made: another receiver may have taken the number since.
    std::error_code ec;
    if (std::filesystem::read_symlink(linkPath_, ec) == devicePath_)
        std::filesystem::remove(linkPath_, ec);
    linkPath_.clear();
}

void CSimLine::Close() {
    CloseLine();
    RemoveLink();
    // A receiver ended while restarting leaves its port where it found it: on the bus.
    if (gadgetOffBus_) (void)PutGadgetOnBus(true);
}

std::uint32_t CSimLine::LineRate() const {
    if (!options_.device.empty()) return engine_.UsbNative() ? 0 : deviceRate_;
    termios tio{};
    if (fd_ < 0 || tcgetattr(fd_, &tio) != 0) return 0;
    return RateForSpeed(cfgetospeed(&tio));
}

SimTime CSimLine::Now() const {
    return std::chrono::duration_cast<SimTime>(std::chrono::steady_clock::now() - start_);
}

bool CSimLine::Take(std::string_view received, SimTime now) {
    const std::uint32_t rate = LineRate();
    if (options_.hangupAfterBytes == 0) {
        Transmit(engine_.Receive(received, rate, now));
        return false;
    }
    // Byte by byte, so the line drops exactly where it was asked to, even when the command that
    // opens the transfer arrives together with the image.
    for (std::size_t i = 0; i < received.size(); ++i) {
        Transmit(engine_.Receive(received.substr(i, 1), rate, now));
        if (engine_.InTransfer() && engine_.ImageBytes() >= options_.hangupAfterBytes) {
            Log(Format("hanging up after %zu image bytes", engine_.ImageBytes()));
            CloseLine();
            return true;
        }
    }
    return false;
}

SimRunEnd CSimLine::Run(const std::atomic<bool>& stop) {
    SimRunEnd end = SimRunEnd::Stopped;
    bool endedBefore = engine_.TransferEnded();
    bool restartingBefore = engine_.Restarting();
    std::string buffer(4096, '\0');
    while (!stop.load()) {
        if (portBackAt_) {
            // Nobody can reach the receiver now; it goes on restarting all the same.
            const SimTime now = Now();
            (void)engine_.Tick(0, now);
            if (now >= *portBackAt_ && !BringPortBack(now)) {
                end = SimRunEnd::Failed;
                break;
            }
            if (portBackAt_) {
                PauseMs(kPollMs);
                continue;
            }
        }
        pollfd pfd{fd_, POLLIN, 0};
        const int ready = poll(&pfd, 1, kPollMs);
        if (ready < 0) {
            if (errno == EINTR) continue;  // most likely the signal that raised `stop`
            Log(SystemText("poll", errno));
            end = SimRunEnd::Failed;
            break;
        }
        const SimTime now = Now();
        // On a pseudo-terminal a hang-up says only that nobody holds the other end now; a device
        // that hangs up has gone.
        bool hungUp = (pfd.revents & (POLLHUP | POLLERR)) != 0;
        bool gotData = false;
        if (ready > 0 && (pfd.revents & POLLIN) != 0) {
            const ssize_t n = read(fd_, buffer.data(), buffer.size());
            if (n > 0) {
                gotData = true;
                if (Take(std::string_view(buffer.data(), static_cast<std::size_t>(n)), now)) {
                    end = SimRunEnd::HungUp;
                    break;
                }
            } else if (n == 0 || errno == EIO) {
                hungUp = true;
            }
        }
        if (hungUp && !gotData && !options_.device.empty()) {
            LoseDevice(now);
            continue;
        }
        FollowReceiverRate();

        const std::string periodic = engine_.Tick(LineRate(), now);
        if (!hungUp) Transmit(periodic);

        if (engine_.TransferEnded() && !endedBefore && options_.onTransferEnded)
            options_.onTransferEnded();
        endedBefore = engine_.TransferEnded();
        if (engine_.Restarting() && !restartingBefore && options_.onRestart) options_.onRestart();
        if (options_.dropPortOnRestart.count() > 0 && engine_.Restarting() && !restartingBefore) {
            restartingBefore = true;
            DropPort(now);
            continue;
        }
        restartingBefore = engine_.Restarting();

        if (options_.exitAfterTransfer && !gotData) {
            const bool lingered =
                engine_.TransferEnded() && now - engine_.TransferEndedAt() >= kLingerAfterTransfer;
            const bool portClosed = engine_.TransferStarted() && hungUp;
            if (lingered || portClosed) {
                end = SimRunEnd::TransferEnded;
                break;
            }
        }
        // With nobody on the other end, poll reports the hang-up at once: wait here instead.
        if (hungUp && !gotData) PauseMs(kPollMs);
    }
    engine_.Finish(Now());
    if (engine_.TransferEnded() && !endedBefore && options_.onTransferEnded)
        options_.onTransferEnded();
    return end;
}

void CSimLine::Transmit(const std::string& bytes) {
    std::size_t at = 0;
    while (at < bytes.size() && fd_ >= 0) {
        std::size_t piece = bytes.size() - at;
        if (options_.split) piece = std::min<std::size_t>(piece, 1 + (at * 7 + bytes.size()) % 7);
        const ssize_t n = write(fd_, bytes.data() + at, piece);
        if (n > 0) {
            at += static_cast<std::size_t>(n);
            if (options_.split && at < bytes.size()) PauseMs(3);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            // Nobody reads the line: wait a little for room, then let the rest go, as a UART would.
            pollfd pfd{fd_, POLLOUT, 0};
            if (poll(&pfd, 1, 50) > 0 && (pfd.revents & POLLOUT) != 0) continue;
        }
        if (!writeDropLogged_) {
            Log(Format("the line takes no more output (%s): replies are dropped",
                       n < 0 ? std::strerror(errno) : "nothing written"));
            writeDropLogged_ = true;
        }
        return;
    }
}

void CSimLine::Log(const std::string& text) const {
    if (options_.log) {
        options_.log(
            Format("%9.3f s  %s", static_cast<double>(Now().count()) / 1000.0, text.c_str()));
    }
}

}  // namespace morvane
