// What a hung-up line costs: a port whose other side went away (an unplugged USB adapter, a
// simulator that closed) must not keep a core busy while the updater still holds it open.
// Opens a pseudo-terminal, hangs it up, keeps the device open for a second and prints the
// process's processor time over that second.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "serial/comm_dev2.h"

namespace {

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("pseudo-terminal");
        return 1;
    }
    morvane::CPathCommDev device(ptsname(master));
    if (!device.Open(1)) {
        std::fprintf(stderr, "cannot open %s\n", ptsname(master));
        return 1;
    }
    close(master);  // the line goes away under the open port

    constexpr auto kHeld = std::chrono::seconds(1);
    const double cpuBefore = CpuSeconds();
    const auto wallBefore = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(kHeld);
    const double cpu = CpuSeconds() - cpuBefore;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    device.Close();

    std::printf("hung-up port held open: %.3f s wall, %.4f s CPU, CPU/wall %.4f\n", wall, cpu,
                cpu / wall);
    return 0;
}
