// N simulated receivers loaded side by side by the CLI's own load runner (what morvane-cli does
// with N --com options), timed per port: how closely each transfer keeps to its schedule (the
// pauses plus the time the device took for each write), how closely the fixed waits between
// detection and the first block keep to their nominal 21.5 s, and how much processor the whole
// process used per second of wall time. Real time: each round takes a whole load (~100 s).
//
// Usage: multi_load_timing [N...] [--sim path-to-morvane-sim]   (N = 1 4 16 by default)
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cli/load_runner.h"
#include "serial/comm_dev2.h"
#include "tests/support/sim_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

constexpr int kFirstComPort = 220;
constexpr double kNominalFixedWait =
    21.5;  // from the reopen at the working rate to the first block
constexpr unsigned kBlockPauseMs = 20;

// What one port's device saw; outlives the device, which the load's loader owns.
struct PortTiming {
    Clock::time_point lastOpen;
    Clock::time_point openBeforeFirstBlock;
    Clock::time_point firstBlockStart;
    Clock::time_point lastBlockEnd;
    Seconds writeTime{0};
    unsigned long blocks = 0;
};

// The real device on a path, with the time of every open and every image block write.
class TimingDevice : public morvane::CSerialDeviceWrapper {
public:
    TimingDevice(const std::string& path, PortTiming& timing)
        : CSerialDeviceWrapper(std::make_unique<morvane::CPathCommDev>(path)), timing_(timing) {}

    bool Open(int port) override {
        timing_.lastOpen = Clock::now();
        return Inner().Open(port);
    }
    bool Write(const void* data, int length) override {
        if (length <= 1) return Inner().Write(data, length);
        const Clock::time_point t0 = Clock::now();
        const bool ok = Inner().Write(data, length);
        const Clock::time_point t1 = Clock::now();
        if (timing_.blocks == 0) {
            timing_.firstBlockStart = t0;
            timing_.openBeforeFirstBlock = timing_.lastOpen;
        }
        timing_.lastBlockEnd = t1;
        timing_.writeTime += t1 - t0;
        ++timing_.blocks;
        return ok;
    }

private:
    PortTiming& timing_;
};

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Round {
    int n = 0;
    int loaded = 0;
    double worstTransfer = 0;  // transfer wall / schedule, the worst port
    double meanTransfer = 0;   // the same, over all ports loaded
    double worstFixed = 0;     // fixed waits wall / nominal, the worst port
    double cpuPerWall = 0;
    double wall = 0;
};

bool RunRound(const std::string& simPath, int n, Round& round) {
    std::vector<std::unique_ptr<morvane::testing::SimProcess>> sims;
    for (int i = 0; i < n; ++i) {
        sims.push_back(std::make_unique<morvane::testing::SimProcess>(
            simPath, kFirstComPort + i, std::vector<std::string>{"--rate", "115200"}));
        if (!sims.back()->Ready()) {
            std::fprintf(stderr, "multi_load_timing: simulator %d did not start\n", i + 1);
            return false;
        }
    }
    std::vector<morvane::LoadRequest> requests(static_cast<std::size_t>(n));
    std::vector<PortTiming> timings(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        requests[static_cast<std::size_t>(i)].portPath =
            sims[static_cast<std::size_t>(i)]->DevicePath();
    const morvane::SessionFactory sessions = [&](const morvane::LoadRequest& r) {
        const auto at = static_cast<std::size_t>(
            std::find_if(requests.begin(), requests.end(),
                         [&](const morvane::LoadRequest& q) { return q.portPath == r.portPath; }) -
            requests.begin());
        morvane::SessionDeps deps;
        deps.device = std::make_unique<TimingDevice>(r.portPath, timings[at]);
        return std::make_unique<morvane::CLoadSession>(r, std::move(deps));
    };
    // The output a log would get (every line prefixed with its port), thrown away here.
    std::ostringstream out;
    std::ostringstream err;
    morvane::RunnerOutput output;
    output.out = &out;
    output.err = &err;

    const double cpu0 = CpuSeconds();
    const Clock::time_point wall0 = Clock::now();
    const std::vector<int> statuses = morvane::RunGroup(requests, output, sessions).ExitStatuses();
    round.wall = Seconds(Clock::now() - wall0).count();
    round.cpuPerWall = (CpuSeconds() - cpu0) / round.wall;
    round.n = n;
    for (int i = 0; i < n; ++i) {
        const PortTiming& t = timings[static_cast<std::size_t>(i)];
        if (statuses[static_cast<std::size_t>(i)] != 0 || t.blocks == 0) continue;
        ++round.loaded;
        const double transfer = Seconds(t.lastBlockEnd - t.firstBlockStart).count();
        // The last block has no pause after it.
        const double schedule = (t.blocks - 1) * kBlockPauseMs / 1000.0 + t.writeTime.count();
        const double fixed = Seconds(t.firstBlockStart - t.openBeforeFirstBlock).count();
        round.worstTransfer = std::max(round.worstTransfer, transfer / schedule);
        round.meanTransfer += transfer / schedule;
        round.worstFixed = std::max(round.worstFixed, fixed / kNominalFixedWait);
    }
    if (round.loaded != 0) round.meanTransfer /= round.loaded;
    for (auto& sim : sims) sim->Stop();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string simPath = MORVANE_SIM_PATH;
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--sim" && i + 1 < argc) {
            simPath = argv[++i];
        } else {
            sizes.push_back(std::atoi(arg.c_str()));
        }
    }
    if (sizes.empty()) sizes = {1, 4, 16};

    // The machine's load matters to the timing: the pauses end when the scheduler lets them.
    std::printf("%4s  %6s  %26s  %23s  %9s  %6s  %8s\n", "N", "loaded",
                "transfer/schedule mean max", "fixed waits/nominal max", "CPU/wall", "limit",
                "loadavg");
    bool allLoaded = true;
    for (const int n : sizes) {
        Round r;
        double load[1] = {0};
        getloadavg(load, 1);
        if (!RunRound(simPath, n, r)) return 2;
        allLoaded &= r.loaded == n;
        std::printf("%4d  %3d/%-2d  %19.4f %6.4f  %23.4f  %9.5f  %6.3f  %8.1f\n", r.n, r.loaded,
                    r.n, r.meanTransfer, r.worstTransfer, r.worstFixed, r.cpuPerWall, 0.002 * r.n,
                    load[0]);
        std::fflush(stdout);
    }
    return allLoaded ? 0 : 1;
}
