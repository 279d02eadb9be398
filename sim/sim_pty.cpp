#include "sim/sim_pty.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>

#include "platform/text.h"
#include "serial/com_port_map.h"
#include "serial/port_identity.h"
#include "serial/termios_line_posix.h"

namespace morvane {

namespace {

constexpr int kPollMs = 10;
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

}  // namespace

CSimPty::CSimPty(CSimEngine& engine, SSimPtyOptions options)
    : engine_(engine), options_(std::move(options)), start_(std::chrono::steady_clock::now()) {}

CSimPty::~CSimPty() { Close(); }

bool CSimPty::Open(std::string* error) {
    if (!OpenLine(error) || !MakeLink(error)) {
        Close();
        return false;
    }
    start_ = std::chrono::steady_clock::now();
    return true;
}

bool CSimPty::OpenLine(std::string* error) {
    auto fail = [&](std::string text) {
        if (error) *error = std::move(text);
        return false;
    };
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0) return fail(SystemText("posix_openpt", errno));
    if (grantpt(master_) != 0) return fail(SystemText("grantpt", errno));
    if (unlockpt(master_) != 0) return fail(SystemText("unlockpt", errno));
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) return fail(SystemText("ptsname", errno));
    slavePath_ = name;

    termios tio{};
    if (tcgetattr(master_, &tio) != 0) return fail(SystemText("tcgetattr", errno));
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    const std::optional<speed_t> speed = SpeedForRate(engine_.Rate());
    if (!speed) return fail(Format("no line speed for %u baud", engine_.Rate()));
    cfsetispeed(&tio, *speed);
    cfsetospeed(&tio, *speed);
    if (tcsetattr(master_, TCSANOW, &tio) != 0) return fail(SystemText("tcsetattr", errno));

    // Open and close the other end once: from then on this side reports a hang-up whenever
    // nobody holds the port, which is how the runner knows not to talk into the void (bytes
    // written then would wait in the line and reach the next opener stale).
    const int other = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (other < 0) return fail(SystemText(name, errno));
    close(other);
    return true;
}

bool CSimPty::MakeLink(std::string* error) {
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
    if (symlink(slavePath_.c_str(), link.c_str()) != 0)
        return fail(SystemText(link.c_str(), errno));
    linkPath_ = link;
    return true;
}

void CSimPty::DropPort(SimTime now) {
    Log(Format("restarting: the port goes for %.1f s",
               static_cast<double>(options_.dropPortOnRestart.count()) / 1000.0));
    Close();
    portBackAt_ = now + options_.dropPortOnRestart;
}

bool CSimPty::BringPortBack() {
    portBackAt_.reset();
    std::string error;
    if (!OpenLine(&error) || !MakeLink(&error)) {
        Log("the port cannot come back: " + error);
        Close();
        return false;
    }
    Log(Format("the port is back on %s%s%s", slavePath_.c_str(),
               linkPath_.empty() ? "" : ", linked as ", linkPath_.c_str()));
    return true;
}

void CSimPty::Close() {
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
    if (!linkPath_.empty()) {
        // Only the link this runner made: another receiver may have taken the number since.
        std::error_code ec;
        if (std::filesystem::read_symlink(linkPath_, ec) == slavePath_)
            std::filesystem::remove(linkPath_, ec);
        linkPath_.clear();
    }
}

std::uint32_t CSimPty::LineRate() const {
    termios tio{};
    if (master_ < 0 || tcgetattr(master_, &tio) != 0) return 0;
    return RateForSpeed(cfgetospeed(&tio));
}

SimTime CSimPty::Now() const {
    return std::chrono::duration_cast<SimTime>(std::chrono::steady_clock::now() - start_);
}

SimRunEnd CSimPty::Run(const std::atomic<bool>& stop) {
    SimRunEnd end = SimRunEnd::Stopped;
    bool endedBefore = engine_.TransferEnded();
    bool restartingBefore = engine_.Restarting();
    std::string buffer(4096, '\0');
    while (!stop.load()) {
        if (portBackAt_) {
            // Nobody can reach the receiver now; it goes on restarting all the same.
            const SimTime now = Now();
            (void)engine_.Tick(0, now);
            if (now < *portBackAt_) {
                PauseMs(kPollMs);
                continue;
            }
            if (!BringPortBack()) {
                end = SimRunEnd::Failed;
                break;
            }
        }
        pollfd pfd{master_, POLLIN, 0};
        const int ready = poll(&pfd, 1, kPollMs);
        if (ready < 0) {
            if (errno == EINTR) continue;  // most likely the signal that raised `stop`
            Log(SystemText("poll", errno));
            end = SimRunEnd::Failed;
            break;
        }
        const SimTime now = Now();
        bool otherEndOpen = (pfd.revents & POLLHUP) == 0;
        bool gotData = false;
        if (ready > 0 && (pfd.revents & POLLIN) != 0) {
            const ssize_t n = read(master_, buffer.data(), buffer.size());
            if (n > 0) {
                gotData = true;
                const std::uint32_t rate = LineRate();
                const std::string_view received(buffer.data(), static_cast<std::size_t>(n));
                if (options_.hangupAfterBytes != 0) {
                    // Byte by byte, so the line drops exactly where it was asked to, even when the
                    // command that opens the transfer arrives together with the image.
                    bool hungUp = false;
                    for (std::size_t i = 0; i < received.size() && !hungUp; ++i) {
                        Transmit(engine_.Receive(received.substr(i, 1), rate, now));
                        hungUp = engine_.InTransfer() &&
                                 engine_.ImageBytes() >= options_.hangupAfterBytes;
                    }
                    if (hungUp) {
                        Log(Format("hanging up after %zu image bytes", engine_.ImageBytes()));
                        close(master_);
                        master_ = -1;
                        end = SimRunEnd::HungUp;
                        break;
                    }
                } else {
                    Transmit(engine_.Receive(received, rate, now));
                }
            } else if (n < 0 && errno == EIO) {
                otherEndOpen = false;
            }
        }

        const std::string periodic = engine_.Tick(LineRate(), now);
        if (otherEndOpen) Transmit(periodic);

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
            const bool portClosed = engine_.TransferStarted() && !otherEndOpen;
            if (lingered || portClosed) {
                end = SimRunEnd::TransferEnded;
                break;
            }
        }
        // With nobody on the other end, poll reports the hang-up at once: wait here instead.
        if (!otherEndOpen && !gotData) PauseMs(kPollMs);
    }
    engine_.Finish(Now());
    if (engine_.TransferEnded() && !endedBefore && options_.onTransferEnded)
        options_.onTransferEnded();
    return end;
}

void CSimPty::Transmit(const std::string& bytes) {
    std::size_t at = 0;
    while (at < bytes.size() && master_ >= 0) {
        std::size_t piece = bytes.size() - at;
        if (options_.split) piece = std::min<std::size_t>(piece, 1 + (at * 7 + bytes.size()) % 7);
        const ssize_t n = write(master_, bytes.data() + at, piece);
        if (n > 0) {
            at += static_cast<std::size_t>(n);
            if (options_.split && at < bytes.size()) PauseMs(3);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            // Nobody reads the line: wait a little for room, then let the rest go, as a UART would.
            pollfd pfd{master_, POLLOUT, 0};
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

void CSimPty::Log(const std::string& text) const {
    if (options_.log) {
        options_.log(
            Format("%9.3f s  %s", static_cast<double>(Now().count()) / 1000.0, text.c_str()));
    }
}

}  // namespace morvane
