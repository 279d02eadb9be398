// A real device wrapped for the benchmarks: when the port was opened, and when each image block
// (any write of more than one byte) started and ended, on the steady clock. Both load benchmarks
// time their loads through it.
#pragma once

#include <algorithm>
#include <chrono>
#include <memory>
#include <utility>
#include <vector>

#include "serial/serial_device.h"

namespace morvane::testing {

// What one port's device saw; outlives the device, which the load's loader owns.
struct SPortTiming {
    using Clock = std::chrono::steady_clock;
    using Seconds = std::chrono::duration<double>;

    Clock::time_point lastOpen;
    Clock::time_point openBeforeFirstBlock;  // the open the transfer went out on
    std::vector<Clock::time_point> blockStarts;
    Clock::time_point lastBlockEnd;
    Seconds writeTime{0};  // the blocks' writes, added up

    SPortTiming() { blockStarts.reserve(4096); }
    [[nodiscard]] std::size_t Blocks() const { return blockStarts.size(); }
    [[nodiscard]] Seconds Transfer() const {
        return blockStarts.empty() ? Seconds(0) : Seconds(lastBlockEnd - blockStarts.front());
    }
    // One block's start to the next one's, in milliseconds: the `fraction` quantile (0.5: the
    // median) of all of them; 0 without two blocks.
    [[nodiscard]] double BlockPeriodMs(double fraction) const {
        std::vector<double> periods;
        for (std::size_t i = 1; i < blockStarts.size(); ++i)
            periods.push_back(
                std::chrono::duration<double, std::milli>(blockStarts[i] - blockStarts[i - 1])
                    .count());
        if (periods.empty()) return 0;
        std::sort(periods.begin(), periods.end());
        return periods[static_cast<std::size_t>(fraction *
                                                static_cast<double>(periods.size() - 1))];
    }
};

class CTimingDevice : public CSerialDeviceWrapper {
public:
    CTimingDevice(std::unique_ptr<ISerialDevice> inner, SPortTiming& timing)
        : CSerialDeviceWrapper(std::move(inner)), timing_(timing) {}

    bool Open(int port) override {
        timing_.lastOpen = SPortTiming::Clock::now();
        return Inner().Open(port);
    }
    bool Write(const void* data, int length) override {
        if (length <= 1) return Inner().Write(data, length);
        const SPortTiming::Clock::time_point t0 = SPortTiming::Clock::now();
        const bool ok = Inner().Write(data, length);
        const SPortTiming::Clock::time_point t1 = SPortTiming::Clock::now();
        if (timing_.blockStarts.empty()) timing_.openBeforeFirstBlock = timing_.lastOpen;
        timing_.blockStarts.push_back(t0);
        timing_.lastBlockEnd = t1;
        timing_.writeTime += t1 - t0;
        return ok;
    }

private:
    SPortTiming& timing_;
};

}  // namespace morvane::testing
