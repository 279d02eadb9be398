// One real-time W6 load against the simulated receiver, timed: how closely the transfer keeps
// to its schedule (the pauses plus the time the device took for each write), the block period
// (one block's start to the next one's), how closely the fixed waits keep to their nominal
// length, and how much processor the load used.
//
// Usage: load_timing [path-to-morvane-sim]   (the build's own by default)
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "loader/load_seams.h"
#include "loader/loader_w6.h"
#include "record/loader_status.h"
#include "serial/comm_dev2.h"
#include "tests/support/sim_process.h"
#include "tests/support/timing_device.h"

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

constexpr int kComPort = 202;

// The real waits, with the wall time each kind took against what was asked.
class TimingWaits : public morvane::IWaits {
public:
    void WaitPumping(unsigned ms) override {
        const Clock::time_point t0 = Clock::now();
        morvane::RealWaits().WaitPumping(ms);
        pumpingWall += Clock::now() - t0;
        pumpingNominalMs += ms;
    }
    void Sleep(unsigned ms) override {
        const Clock::time_point t0 = Clock::now();
        morvane::RealWaits().Sleep(ms);
        sleepWall += Clock::now() - t0;
        sleepNominalMs += ms;
        ++sleeps;
    }
    Seconds pumpingWall{0};
    unsigned long pumpingNominalMs = 0;
    Seconds sleepWall{0};
    unsigned long sleepNominalMs = 0;
    unsigned long sleeps = 0;
};

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string simPath = argc > 1 ? argv[1] : MORVANE_SIM_PATH;
    morvane::testing::SimProcess sim(simPath, kComPort, {"--rate", "115200"});
    if (!sim.Ready()) {
        std::fprintf(stderr, "load_timing: the simulator did not start (%s)\n", simPath.c_str());
        return 2;
    }

    morvane::SLoaderState state;
    state.SetComPort(kComPort);
    TimingWaits waits;
    morvane::testing::SPortTiming timing;

    morvane::LoaderDeps deps;
    deps.device = std::make_unique<morvane::testing::CTimingDevice>(
        std::make_unique<morvane::CCommDev2>(), timing);
    deps.waits = &waits;
    morvane::CLoaderW6 loader(&state, std::move(deps));

    const double cpu0 = CpuSeconds();
    const Clock::time_point wall0 = Clock::now();
    loader.Run();
    const Seconds wall = Clock::now() - wall0;
    const double cpu = CpuSeconds() - cpu0;
    sim.Stop();

    const auto status = morvane::StatusText(state.GetStatus());
    const Seconds transfer = timing.Transfer();
    // The last block has no pause after it, so the schedule is every pause plus every write.
    const Seconds schedule = Seconds(waits.sleepNominalMs / 1000.0) + timing.writeTime;

    std::printf("load outcome            %s\n", status ? std::string(*status).c_str() : "?");
    std::printf("load wall time          %.3f s\n", wall.count());
    std::printf(
        "transfer                %zu blocks, %lu pauses of 20 ms, device write time %.3f s\n",
        timing.Blocks(), waits.sleeps, timing.writeTime.count());
    // A block's start to the next one's: its line time (26.04 ms for 50 bytes at 19200 Bd), the
    // hand-over margin and the pause.
    std::printf("block period            median %.2f ms  (min %.2f, 95th percentile %.2f)\n",
                timing.BlockPeriodMs(0.5), timing.BlockPeriodMs(0), timing.BlockPeriodMs(0.95));
    std::printf("transfer wall/schedule  %.4f  (%.3f s / %.3f s)\n",
                transfer.count() / schedule.count(), transfer.count(), schedule.count());
    std::printf("fixed waits wall/nominal %.4f  (%.3f s / %.3f s)\n",
                waits.pumpingWall.count() / (waits.pumpingNominalMs / 1000.0),
                waits.pumpingWall.count(), waits.pumpingNominalMs / 1000.0);
    std::printf("cpu/wall                %.4f  (%.3f s / %.3f s)\n", cpu / wall.count(), cpu,
                wall.count());
    return state.GetStatus() == morvane::STATUS_FIRMWARE_COMPLETE ? 0 : 1;
}
