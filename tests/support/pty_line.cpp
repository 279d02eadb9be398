#include "tests/support/pty_line.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <vector>

namespace morvane::testing {
namespace {

// A pseudo-terminal's master, and the path of its terminal side in `path`.
int OpenMaster(std::string& path) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, name, sizeof name) != 0) {
        if (master >= 0) ::close(master);
        return -1;
    }
    path = name;
    return master;
}

}  // namespace

CPtyLine::CPtyLine(SPtyLineStyle style) : style_(style) {
    sendingMaster_ = OpenMaster(sendingPath_);
    if (style_.crossed) {
        readingMaster_ = OpenMaster(readingPath_);
    } else {
        readingMaster_ = sendingMaster_;
        readingPath_ = sendingPath_;
    }
    if (Ok()) carrier_ = std::thread([this] { Carry(); });
}

CPtyLine::~CPtyLine() {
    stop_.store(true);
    if (carrier_.joinable()) carrier_.join();
    if (readingMaster_ >= 0 && readingMaster_ != sendingMaster_) ::close(readingMaster_);
    if (sendingMaster_ >= 0) ::close(sendingMaster_);
}

void CPtyLine::Carry() {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    std::vector<char> held;
    std::size_t seen = 0;
    double nextTickMs = style_.packetMs;
    char buffer[4096];
    while (!stop_.load()) {
        pollfd fd{sendingMaster_, POLLIN, 0};
        if (::poll(&fd, 1, 1) > 0 && (fd.revents & POLLIN) != 0) {
            const ssize_t n = ::read(sendingMaster_, buffer, sizeof buffer);
            for (ssize_t i = 0; i < n; ++i, ++seen) {
                if (seen != style_.dropByte) held.push_back(buffer[i]);
            }
        }
        if (style_.packetMs > 0) {
            const double nowMs =
                std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            if (nowMs < nextTickMs) continue;
            while (nextTickMs <= nowMs) nextTickMs += style_.packetMs;
        }
        if (!held.empty()) (void)!::write(readingMaster_, held.data(), held.size());
        held.clear();
    }
}

}  // namespace morvane::testing
