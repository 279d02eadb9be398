#include "tests/support/pty_line.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace morvane::testing {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

PtyPair::PtyPair() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name, sizeof name) != 0) {
        HangUp();
        return;
    }
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    slavePath_ = name;
}

void PtyPair::HangUp() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

bool PtyPair::Send(const std::string& bytes) {
    std::size_t sent = 0;
    const auto deadline = Clock::now() + 5s;
    while (sent < bytes.size() && Clock::now() < deadline) {
        const ssize_t n = ::write(master_, bytes.data() + sent, bytes.size() - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        pollfd out{master_, POLLOUT, 0};
        ::poll(&out, 1, 100);
    }
    return sent == bytes.size();
}

std::string PtyPair::Receive(std::size_t count) {
    std::string got;
    const auto deadline = Clock::now() + 5s;
    char buffer[4096];
    while (got.size() < count && Clock::now() < deadline) {
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n > 0) {
            got.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        pollfd in{master_, POLLIN, 0};
        ::poll(&in, 1, 100);
    }
    return got;
}

CPtyLine::CPtyLine(SPtyLineStyle style)
    : style_(style),
      crossed_(style.crossed ? std::make_unique<PtyPair>() : nullptr),
      reading_(crossed_ ? *crossed_ : sending_) {
    if (Ok()) carrier_ = std::thread([this] { Carry(); });
}

CPtyLine::~CPtyLine() {
    stop_.store(true);
    if (carrier_.joinable()) carrier_.join();
}

void CPtyLine::Carry() {
    const Clock::time_point start = Clock::now();
    std::string held;
    std::size_t seen = 0;
    double nextTickMs = style_.packetMs;
    char buffer[4096];
    while (!stop_.load()) {
        pollfd fd{sending_.Master(), POLLIN, 0};
        if (::poll(&fd, 1, 1) > 0 && (fd.revents & POLLIN) != 0) {
            const ssize_t n = ::read(sending_.Master(), buffer, sizeof buffer);
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
        if (!held.empty()) reading_.Send(held);
        held.clear();
    }
}

}  // namespace morvane::testing
