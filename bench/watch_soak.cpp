// A bench's watch that runs all day: what morvane-cli --watch keeps must not grow with the plugs.
// Simulated receivers already on the carried firmware are plugged into a running watch, all at
// once, and pulled once each has its result; again and again. The watch's memory is taken after
// the first 20 plugs and after the last, each time with every receiver pulled and the watch idle:
// the heap in use (what the allocator handed out and was not given back) and the resident size.
// Real time: a round is one detection and skip, about 25 s.
//
// Usage: watch_soak [--plugs N] [--ports K] [--sim path-to-morvane-sim]
//        (N = 200 plugs on K = 10 ports by default)
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "cli/watch.h"
#include "tests/support/sim_process.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFirstComPort = 200;
constexpr int kFirstSample = 20;  // plugs

// Counts the result events written to it and keeps nothing: a day's events would be memory of
// the bench's own.
class ResultCounter : public std::streambuf {
public:
    int results = 0;

protected:
    int_type overflow(int_type c) override {
        if (c == traits_type::eof()) return traits_type::not_eof(c);
        if (c == '\n') {
            if (line_.find("\"event\":\"result\"") != std::string::npos) ++results;
            line_.clear();
        } else if (line_.size() < 64) {
            line_ += static_cast<char>(c);
        }
        return c;
    }

private:
    std::string line_;
};

// Swallows whatever is written to it.
class Discard : public std::streambuf {
protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
};

struct Memory {
    double heapKb = 0;
    double residentKb = 0;
};

Memory Measure() {
    Memory m;
    const struct mallinfo2 heap = mallinfo2();
    m.heapKb = static_cast<double>(heap.uordblks + heap.hblkhd) / 1024.0;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) m.residentKb = std::atof(line.c_str() + 6);
    }
    return m;
}

}  // namespace

int main(int argc, char** argv) {
    std::string simPath = MORVANE_SIM_PATH;
    int plugs = 200;
    int ports = 10;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--plugs" && i + 1 < argc) {
            plugs = std::atoi(argv[++i]);
        } else if (arg == "--ports" && i + 1 < argc) {
            ports = std::atoi(argv[++i]);
        } else if (arg == "--sim" && i + 1 < argc) {
            simPath = argv[++i];
        } else {
            std::fprintf(stderr, "usage: watch_soak [--plugs N] [--ports K] [--sim PATH]\n");
            return 1;
        }
    }
    if (ports < 1 || ports > kFirstSample || plugs < kFirstSample) {
        std::fprintf(stderr, "watch_soak: 1 to %d ports, and at least %d plugs\n", kFirstSample,
                     kFirstSample);
        return 1;
    }

    std::vector<std::unique_ptr<morvane::testing::SimProcess>> sims;
    for (int i = 0; i < ports; ++i) {
        sims.push_back(std::make_unique<morvane::testing::SimProcess>(
            simPath, kFirstComPort + i,
            std::vector<std::string>{"--rate", "115200", "--firmware-version", "1.22"},
            morvane::testing::ChildStderr::ToFile));
        if (!sims.back()->Ready()) {
            std::fprintf(stderr, "watch_soak: the simulated receiver %d did not start\n", i);
            return 2;
        }
    }
    morvane::testing::PlugBoard board(true);

    // What morvane-cli --watch --json --log FILE loads.
    morvane::LoadRequest load;
    load.verify = true;
    load.skipCurrent = true;
    load.log = {true, board.Dir() + "/loads.jsonl"};
    load.program = "morvane-cli";
    ResultCounter counted;
    Discard discarded;
    std::ostream out(&counted);
    std::ostream err(&discarded);
    morvane::RunnerOutput output;
    output.out = &out;
    output.err = &err;
    output.json = true;

    // Each round: every port plugged, each pulled once its result came, then a few listings
    // with none plugged so that the watch has seen them go.
    int plugged = 0;
    bool in = false;
    int resultsBefore = 0;
    Clock::time_point pulledAt;
    Memory first;
    Memory last;
    const Clock::time_point start = Clock::now();
    morvane::WatchDeps deps;
    deps.stops = [&](std::chrono::milliseconds wait) {
        std::this_thread::sleep_for(wait);
        if (in) {
            if (counted.results - resultsBefore < ports) return morvane::StopRequest::None;
            for (int i = 0; i < ports; ++i) board.Unplug(kFirstComPort + i);
            in = false;
            pulledAt = Clock::now();
            return morvane::StopRequest::None;
        }
        if (plugged != 0 && Clock::now() - pulledAt < std::chrono::milliseconds(2500))
            return morvane::StopRequest::None;
        if (plugged == kFirstSample) first = Measure();
        if (plugged >= plugs) {
            last = Measure();
            return morvane::StopRequest::Interrupt;
        }
        resultsBefore = counted.results;
        for (int i = 0; i < ports && plugged < plugs; ++i, ++plugged)
            board.Plug(*sims[static_cast<std::size_t>(i)], kFirstComPort + i);
        in = true;
        std::fprintf(stderr, "\r%d plugged", plugged);
        return morvane::StopRequest::None;
    };
    const int status = morvane::RunWatch({}, load, output, deps);
    const double minutes = std::chrono::duration<double>(Clock::now() - start).count() / 60.0;
    std::fprintf(stderr, "\n");
    std::printf(
        "%d plugs on %d ports in %.1f min, %d results, exit status %d\n"
        "after %d plugs: heap in use %.1f kB, resident %.0f kB\n"
        "after %d plugs: heap in use %.1f kB, resident %.0f kB\n"
        "heap per plug after the first %d: %.0f bytes\n",
        plugged, ports, minutes, counted.results, status, kFirstSample, first.heapKb,
        first.residentKb, plugged, last.heapKb, last.residentKb, kFirstSample,
        (last.heapKb - first.heapKb) * 1024.0 / (plugged - kFirstSample));
    for (auto& sim : sims) sim->Stop();
    return counted.results == plugged && status == 0 ? 0 : 1;
}
