// N simulated receivers loaded side by side by the CLI's own load runner (what morvane-cli does
// with N --com options), timed per port: how closely each transfer keeps to its schedule (the
// pauses plus the time the device took for each write), the median block period of the slowest
// port, how closely the fixed waits between detection and the first block keep to their nominal
// 21.5 s, and how much processor the whole process used per second of wall time. Real time: each
// round takes a whole load (~100 s).
//
// Beside each round stands the floor of this machine at that moment: plain 20 ms sleeps with
// the least timer slack, taken on a thread of their own while the round runs. A transfer cannot
// keep its schedule better than a sleep wakes up, so its ratio is judged against that floor.
//
// Then a watch round: the watch of morvane-cli --watch running while 16 simulated receivers are
// plugged at random moments within 30 s, each loaded, verified and recorded; how closely their
// transfers kept to their schedule, how long from the first plug to the last record, and the
// processor it took.
//
// With --browser, the watch round runs twice: as it is, and with morvane-cli --serve's page served
// and a headless chromium following its events, to show that a browser costs the loads nothing.
//
// Usage: multi_load_timing [N...] [--no-watch | --watch-only] [--watch N] [--browser]
//                          [--sim path-to-morvane-sim]
//        (N = 1 4 16 64 by default; 64 at most; the watch round has 16 receivers unless told)
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli/bench_server.h"
#include "cli/load_runner.h"
#include "cli/watch.h"
#include "platform/pacing.h"
#include "serial/comm_dev2.h"
#include "tests/support/sim_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/timing_device.h"
#include "tests/support/wait_until.h"

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
    double worstPeriod = 0;    // the median block period in ms, the worst port
    double cpuPerWall = 0;
    double wall = 0;
};

// How closely the ports whose loads were good kept to their schedule.
void JudgeTransfers(const std::vector<morvane::testing::SPortTiming>& timings,
                    const std::vector<bool>& good, Round& round) {
    for (std::size_t i = 0; i < timings.size(); ++i) {
        const morvane::testing::SPortTiming& t = timings[i];
        if (!good[i] || t.Blocks() == 0) continue;
        ++round.loaded;
        const double transfer = t.Transfer().count();
        // The last block has no pause after it.
        const double schedule =
            static_cast<double>(t.Blocks() - 1) * kBlockPauseMs / 1000.0 + t.writeTime.count();
        const double fixed = Seconds(t.blockStarts.front() - t.openBeforeFirstBlock).count();
        round.worstTransfer = std::max(round.worstTransfer, transfer / schedule);
        round.meanTransfer += transfer / schedule;
        round.worstFixed = std::max(round.worstFixed, fixed / kNominalFixedWait);
        round.worstPeriod = std::max(round.worstPeriod, t.BlockPeriodMs(0.5));
    }
    if (round.loaded != 0) round.meanTransfer /= round.loaded;
}

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
    std::vector<morvane::testing::SPortTiming> timings(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        requests[static_cast<std::size_t>(i)].portPath =
            sims[static_cast<std::size_t>(i)]->DevicePath();
    const morvane::SessionFactory sessions = [&](const morvane::LoadRequest& r) {
        const auto at = static_cast<std::size_t>(
            std::find_if(requests.begin(), requests.end(),
                         [&](const morvane::LoadRequest& q) { return q.portPath == r.portPath; }) -
            requests.begin());
        morvane::SessionDeps deps;
        deps.device = std::make_unique<morvane::testing::CTimingDevice>(
            std::make_unique<morvane::CPathCommDev>(r.portPath), timings[at]);
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
    std::vector<bool> good;
    for (const int status : statuses) good.push_back(status == 0);
    JudgeTransfers(timings, good, round);
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
    Round transfers;        // how the verified ones kept to their schedule
    bool followed = false;  // a browser followed the page's events
};

int CountLines(const std::string& path) {
    std::ifstream in(path);
    int lines = 0;
    for (std::string line; std::getline(in, line);) ++lines;
    return lines;
}

// morvane-cli --serve's page, and a headless chromium that follows it for the whole round.
class FollowedPage {
public:
    explicit FollowedPage(morvane::RunnerOutput& output) {
        if (!server_.Bind({"127.0.0.1", 0})) return;
        server_.Start();
        output.alsoEvents = [this](const nlohmann::ordered_json& e) { feed_.Publish(e); };
        const std::string url = "http://127.0.0.1:" + std::to_string(server_.Port()) + "/";
        browser_ = std::make_unique<morvane::testing::ChildProcess>(
            std::vector<std::string>{"/usr/bin/chromium", "--headless=new", "--no-sandbox",
                                     "--disable-gpu", "--window-size=1920,1080",
                                     "--user-data-dir=" + profile_.Path().string(),
                                     "--remote-debugging-port=0", url},
            std::vector<std::string>{}, morvane::testing::ChildStderr::ToFile,
            profile_.Path().string() + "/chromium.log");
        // Once the page runs, it follows /events.
        following_ = morvane::testing::WaitUntil([this] { return feed_.Following() > 0; },
                                                 std::chrono::seconds(30));
    }
    ~FollowedPage() {
        browser_.reset();
        server_.Stop();
    }
    FollowedPage(const FollowedPage&) = delete;
    FollowedPage& operator=(const FollowedPage&) = delete;

    // Whether a browser followed the events from the start to now.
    [[nodiscard]] bool Followed() const { return following_ && feed_.Following() > 0; }

private:
    morvane::testing::TempDir profile_{"bench-browser"};
    morvane::CBenchFeed feed_{{"bench", "Tundro W6 1.22", "now"}};
    morvane::CBenchServer server_{feed_, ""};
    std::unique_ptr<morvane::testing::ChildProcess> browser_;
    bool following_ = false;
};

bool RunWatchRound(const std::string& simPath, int n, Seconds within, bool withPage,
                   WatchRound& round) {
    std::vector<std::unique_ptr<morvane::testing::SimProcess>> sims;
    if (!StartSims(simPath, n, sims)) return false;
    morvane::testing::PlugBoard board;
    setenv("MORVANE_DEVICES", board.Dir().c_str(), 1);
    const std::string log = board.Dir() + "/loads.jsonl";

    std::mt19937 random(20);
    std::uniform_real_distribution<double> moment(0.0, within.count());
    std::vector<Seconds> plugAt;
    for (int i = 0; i < n; ++i) plugAt.emplace_back(moment(random));

    // What morvane-cli --watch --log FILE loads, each port's device timed.
    morvane::LoadRequest load;
    load.verify = true;
    load.skipCurrent = true;
    load.log = {true, log};
    load.program = "morvane-cli";
    std::vector<morvane::testing::SPortTiming> timings(static_cast<std::size_t>(n));
    std::ostringstream out;
    std::ostringstream err;
    morvane::RunnerOutput output;
    output.out = &out;
    output.err = &err;
    output.json = true;
    std::optional<FollowedPage> page;
    if (withPage) page.emplace(output);
    morvane::WatchDeps deps;
    deps.makeSession = [&](const morvane::LoadRequest& r) {
        morvane::SessionDeps sessionDeps;
        sessionDeps.device = std::make_unique<morvane::testing::CTimingDevice>(
            std::make_unique<morvane::CPathCommDev>(board.LinkPath(r.comPort)),
            timings[static_cast<std::size_t>(r.comPort - kFirstComPort)]);
        return std::make_unique<morvane::CLoadSession>(r, std::move(sessionDeps));
    };
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
    round.followed = page && page->Followed();
    page.reset();

    // When each port's result came, against when it was plugged.
    std::istringstream events(out.str());
    double lastEnd = 0;
    std::vector<bool> verified(static_cast<std::size_t>(n), false);
    for (std::string line; std::getline(events, line);) {
        if (line.find("\"event\":\"result\"") == std::string::npos) continue;
        const std::string port = morvane::testing::JsonValue(line, "port");
        const double t = std::atof(morvane::testing::JsonValue(line, "t").c_str());
        const int index = std::atoi(port.c_str() + 3) - kFirstComPort;
        const bool good = line.find("\"verified_version\":\"1.22\"") != std::string::npos;
        round.verified += good ? 1 : 0;
        lastEnd = std::max(lastEnd, t);
        if (index >= 0 && index < n) {
            verified[static_cast<std::size_t>(index)] = good;
            round.worstPlugToEnd =
                std::max(round.worstPlugToEnd, t - plugAt[static_cast<std::size_t>(index)].count());
        }
    }
    JudgeTransfers(timings, verified, round.transfers);
    const Seconds firstPlug = *std::min_element(plugAt.begin(), plugAt.end());
    round.firstPlugToLastEnd = lastEnd - firstPlug.count();
    for (auto& sim : sims) sim->Stop();
    return true;
}

void PrintWatchRound(const char* name, int n, const WatchRound& w, double loadAverage) {
    std::printf(
        "%s: %d plugged within 30 s, %d verified, %d records; transfer/schedule mean %.4f max "
        "%.4f, floor %.4f, block period max %.2f ms; first plug to last result %.1f s, slowest "
        "plug to result %.1f s; CPU/wall %.5f (limit %.3f); loadavg %.1f\n",
        name, w.plugged, w.verified, w.records, w.transfers.meanTransfer, w.transfers.worstTransfer,
        w.floor, w.transfers.worstPeriod, w.firstPlugToLastEnd, w.worstPlugToEnd, w.cpuPerWall,
        0.002 * n, loadAverage);
    std::fflush(stdout);
}

double LoadAverage() {
    double load[1] = {0};
    getloadavg(load, 1);
    return load[0];
}

}  // namespace

int main(int argc, char** argv) {
    std::string simPath = MORVANE_SIM_PATH;
    std::vector<int> sizes;
    bool watch = true;
    bool watchOnly = false;
    bool browser = false;
    int watched = 16;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--no-watch") {
            watch = false;
        } else if (arg == "--watch-only") {
            watchOnly = true;
        } else if (arg == "--browser") {
            browser = true;
        } else if (arg == "--watch" && i + 1 < argc) {
            watched = std::atoi(argv[++i]);
        } else if (arg == "--sim" && i + 1 < argc) {
            simPath = argv[++i];
        } else {
            sizes.push_back(std::atoi(arg.c_str()));
        }
    }
    if (sizes.empty() && !watchOnly) sizes = {1, 4, 16, kMostReceivers};
    sizes.push_back(watched);
    for (const int n : sizes) {
        if (n < 1 || n > kMostReceivers) {
            std::fprintf(stderr, "multi_load_timing: N is 1 to %d, not %d\n", kMostReceivers, n);
            return 2;
        }
    }
    sizes.pop_back();

    // The machine's load matters to the timing: the pauses end when the scheduler lets them.
    if (!sizes.empty())
        std::printf("%4s  %6s  %26s  %6s  %23s  %10s  %9s  %6s  %8s\n", "N", "loaded",
                    "transfer/schedule mean max", "floor", "fixed waits/nominal max", "period max",
                    "CPU/wall", "limit", "loadavg");
    bool allLoaded = true;
    for (const int n : sizes) {
        Round r;
        const double load = LoadAverage();
        if (!RunRound(simPath, n, r)) return 2;
        allLoaded &= r.loaded == n;
        std::printf("%4d  %3d/%-2d  %19.4f %6.4f  %6.4f  %23.4f  %7.2f ms  %9.5f  %6.3f  %8.1f\n",
                    r.n, r.loaded, r.n, r.meanTransfer, r.worstTransfer, r.floor, r.worstFixed,
                    r.worstPeriod, r.cpuPerWall, 0.002 * r.n, load);
        std::fflush(stdout);
    }
    if (watch || watchOnly) {
        // With --browser, the same round again with the page served and a browser following it,
        // so the two are measured on the machine as it is now.
        for (const bool withPage :
             browser ? std::vector<bool>{false, true} : std::vector<bool>{false}) {
            WatchRound w;
            const double load = LoadAverage();
            if (!RunWatchRound(simPath, watched, Seconds(30), withPage, w)) return 2;
            allLoaded &= w.verified == watched && w.records == watched;
            if (withPage && !w.followed) {
                std::fprintf(stderr, "multi_load_timing: no browser followed the page\n");
                allLoaded = false;
            }
            PrintWatchRound(withPage ? "watch, page followed by chromium" : "watch", watched, w,
                            load);
        }
    }
    return allLoaded ? 0 : 1;
}
