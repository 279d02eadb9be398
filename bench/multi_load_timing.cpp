// N simulated receivers loaded side by side by the CLI's own load runner (what morvane-cli does
// with N --com options), timed per port: how closely each transfer keeps to its schedule (the
// pauses plus the time the device took for each write), how closely the fixed waits between
// detection and the first block keep to their nominal 21.5 s, and how much processor the whole
// process used per second of wall time. Real time: each round takes a whole load (~100 s).
//
// Beside each round stands the floor of this machine at that moment: plain 20 ms sleeps with
// the least timer slack, taken on a thread of their own while the round runs. A transfer cannot
// keep its schedule better than a sleep wakes up, so its ratio is judged against that floor.
//
// Then a watch round: the watch of morvane-cli --watch running while 16 simulated receivers are
// plugged at random moments within 30 s, each loaded, verified and recorded; how long from the
// first plug to the last record, and the processor it took.
//
// Usage: multi_load_timing [N...] [--no-watch] [--sim path-to-morvane-sim]
//        (N = 1 4 16 64 by default; 64 at most)
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli/load_runner.h"
#include "cli/watch.h"
#include "platform/pacing.h"
#include "serial/comm_dev2.h"
#include "tests/support/sim_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// COM numbers end at 255: the receivers take the last 64 of them, room for a bench of four hubs
// of 16.
constexpr int kFirstComPort = 192;
constexpr int kMostReceivers = 255 - kFirstComPort + 1;
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

// The mean wall time of a 20 ms sleep over its 20 ms, taken until `stop` is raised: what the
// system's timer gives a thread that asks for the least slack.
class SleepFloor {
public:
    SleepFloor()
        : thread_([this] {
              const morvane::CPacingScope pacing;
              while (!stop_.load()) {
                  const Clock::time_point t0 = Clock::now();
                  std::this_thread::sleep_for(std::chrono::milliseconds(kBlockPauseMs));
                  slept_ += Clock::now() - t0;
                  ++sleeps_;
              }
              timespec cpu{};
              clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
              cpuSeconds_ =
                  static_cast<double>(cpu.tv_sec) + static_cast<double>(cpu.tv_nsec) / 1e9;
          }) {}
    ~SleepFloor() { Stop(); }
    SleepFloor(const SleepFloor&) = delete;
    SleepFloor& operator=(const SleepFloor&) = delete;

    // Ends the sleeps; the ratio they kept (1.0 for none).
    double Stop() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
        if (sleeps_ == 0) return 1.0;
        return slept_.count() / (sleeps_ * kBlockPauseMs / 1000.0);
    }
    // The processor time the sleeps took, which is not the loads' (after Stop).
    [[nodiscard]] double CpuSeconds() const { return cpuSeconds_; }

private:
    std::atomic<bool> stop_{false};
    Seconds slept_{0};  // the thread's own until joined
    unsigned long sleeps_ = 0;
    double cpuSeconds_ = 0;
    std::thread thread_;
};

struct Round {
    int n = 0;
    int loaded = 0;
    double worstTransfer = 0;  // transfer wall / schedule, the worst port
    double meanTransfer = 0;   // the same, over all ports loaded
    double floor = 0;          // a plain 20 ms sleep's wall / 20 ms during the round
    double worstFixed = 0;     // fixed waits wall / nominal, the worst port
    double cpuPerWall = 0;
    double wall = 0;
};

// N simulated receivers on COM numbers from kFirstComPort on, each in a devices folder of its own.
bool StartSims(const std::string& simPath, int n,
               std::vector<std::unique_ptr<morvane::testing::SimProcess>>& sims) {
    for (int i = 0; i < n; ++i) {
        sims.push_back(std::make_unique<morvane::testing::SimProcess>(
            simPath, kFirstComPort + i, std::vector<std::string>{"--rate", "115200"}));
        if (!sims.back()->Ready()) {
            std::fprintf(stderr, "multi_load_timing: simulator %d did not start\n", i + 1);
            return false;
        }
    }
    return true;
}

bool RunRound(const std::string& simPath, int n, Round& round) {
    std::vector<std::unique_ptr<morvane::testing::SimProcess>> sims;
    if (!StartSims(simPath, n, sims)) return false;
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
    SleepFloor floor;
    const std::vector<int> statuses = morvane::RunGroup(requests, output, sessions).ExitStatuses();
    round.floor = floor.Stop();
    round.wall = Seconds(Clock::now() - wall0).count();
    round.cpuPerWall = (CpuSeconds() - cpu0 - floor.CpuSeconds()) / round.wall;
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

struct WatchRound {
    int plugged = 0;
    int verified = 0;
    int records = 0;
    double firstPlugToLastEnd = 0;  // seconds
    double worstPlugToEnd = 0;      // seconds, the slowest receiver from its plug to its result
    double cpuPerWall = 0;
    double floor = 0;
};

int CountLines(const std::string& path) {
    std::ifstream in(path);
    int lines = 0;
    for (std::string line; std::getline(in, line);) ++lines;
    return lines;
}

bool RunWatchRound(const std::string& simPath, int n, Seconds within, WatchRound& round) {
    std::vector<std::unique_ptr<morvane::testing::SimProcess>> sims;
    if (!StartSims(simPath, n, sims)) return false;
    morvane::testing::PlugBoard board;
    setenv("MORVANE_DEVICES", board.Dir().c_str(), 1);
    const std::string log = board.Dir() + "/loads.jsonl";

    std::mt19937 random(20);
    std::uniform_real_distribution<double> moment(0.0, within.count());
    std::vector<Seconds> plugAt;
    for (int i = 0; i < n; ++i) plugAt.emplace_back(moment(random));

    // What morvane-cli --watch --log FILE loads.
    morvane::LoadRequest load;
    load.verify = true;
    load.skipCurrent = true;
    load.log = {true, log};
    load.program = "morvane-cli";
    std::ostringstream out;
    std::ostringstream err;
    morvane::RunnerOutput output;
    output.out = &out;
    output.err = &err;
    output.json = true;
    morvane::WatchDeps deps;
    const Clock::time_point start = Clock::now();
    std::vector<bool> plugged(static_cast<std::size_t>(n), false);
    deps.stops = [&](std::chrono::milliseconds wait) {
        std::this_thread::sleep_for(wait);
        const Seconds t = Clock::now() - start;
        for (std::size_t i = 0; i < plugged.size(); ++i) {
            if (!plugged[i] && t >= plugAt[i])
                plugged[i] = board.Plug(*sims[i], kFirstComPort + static_cast<int>(i));
        }
        // Idle once every receiver has its record: the watch then ends at once.
        return CountLines(log) >= n ? morvane::StopRequest::Interrupt : morvane::StopRequest::None;
    };

    const double cpu0 = CpuSeconds();
    SleepFloor floor;
    (void)morvane::RunWatch({}, load, output, deps);
    round.floor = floor.Stop();
    const Seconds wall = Clock::now() - start;
    round.cpuPerWall = (CpuSeconds() - cpu0 - floor.CpuSeconds()) / wall.count();
    round.plugged = static_cast<int>(std::count(plugged.begin(), plugged.end(), true));
    round.records = CountLines(log);

    // When each port's result came, against when it was plugged.
    std::istringstream events(out.str());
    double lastEnd = 0;
    for (std::string line; std::getline(events, line);) {
        if (line.find("\"event\":\"result\"") == std::string::npos) continue;
        const std::string port = morvane::testing::JsonValue(line, "port");
        const double t = std::atof(morvane::testing::JsonValue(line, "t").c_str());
        const int index = std::atoi(port.c_str() + 3) - kFirstComPort;
        if (line.find("\"verified_version\":\"1.22\"") != std::string::npos) ++round.verified;
        lastEnd = std::max(lastEnd, t);
        if (index >= 0 && index < n)
            round.worstPlugToEnd =
                std::max(round.worstPlugToEnd, t - plugAt[static_cast<std::size_t>(index)].count());
    }
    const Seconds firstPlug = *std::min_element(plugAt.begin(), plugAt.end());
    round.firstPlugToLastEnd = lastEnd - firstPlug.count();
    for (auto& sim : sims) sim->Stop();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string simPath = MORVANE_SIM_PATH;
    std::vector<int> sizes;
    bool watch = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--no-watch") {
            watch = false;
        } else if (arg == "--sim" && i + 1 < argc) {
            simPath = argv[++i];
        } else {
            sizes.push_back(std::atoi(arg.c_str()));
        }
    }
    if (sizes.empty()) sizes = {1, 4, 16, kMostReceivers};
    for (const int n : sizes) {
        if (n < 1 || n > kMostReceivers) {
            std::fprintf(stderr, "multi_load_timing: N is 1 to %d, not %d\n", kMostReceivers, n);
            return 2;
        }
    }

    // The machine's load matters to the timing: the pauses end when the scheduler lets them.
    std::printf("%4s  %6s  %26s  %6s  %23s  %9s  %6s  %8s\n", "N", "loaded",
                "transfer/schedule mean max", "floor", "fixed waits/nominal max", "CPU/wall",
                "limit", "loadavg");
    bool allLoaded = true;
    for (const int n : sizes) {
        Round r;
        double load[1] = {0};
        getloadavg(load, 1);
        if (!RunRound(simPath, n, r)) return 2;
        allLoaded &= r.loaded == n;
        std::printf("%4d  %3d/%-2d  %19.4f %6.4f  %6.4f  %23.4f  %9.5f  %6.3f  %8.1f\n", r.n,
                    r.loaded, r.n, r.meanTransfer, r.worstTransfer, r.floor, r.worstFixed,
                    r.cpuPerWall, 0.002 * r.n, load[0]);
        std::fflush(stdout);
    }
    if (watch) {
        constexpr int kWatched = 16;
        WatchRound w;
        double load[1] = {0};
        getloadavg(load, 1);
        if (!RunWatchRound(simPath, kWatched, Seconds(30), w)) return 2;
        allLoaded &= w.verified == kWatched && w.records == kWatched;
        std::printf(
            "watch: %d plugged within 30 s, %d verified, %d records; first plug to last result "
            "%.1f s, slowest plug to result %.1f s; floor %.4f; CPU/wall %.5f; loadavg %.1f\n",
            w.plugged, w.verified, w.records, w.firstPlugToLastEnd, w.worstPlugToEnd, w.floor,
            w.cpuPerWall, load[0]);
    }
    return allLoaded ? 0 : 1;
}
