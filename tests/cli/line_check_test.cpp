// The line check's reckoning on made-up timelines: what came back, and the silence between
// blocks worked out from when the bytes arrived; and whole checks on a loopback line on a
// virtual clock, from the blocks written to the exit status.
#include "cli/line_check.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <vector>

#include "cli/exit_status.h"
#include "tests/support/output_text.h"
#include "tests/support/virtual_line.h"

namespace morvane {
namespace {

// Blocks of a load's 50 bytes at 19200 Bd (a character every 0.52 ms), the line silent for
// `silences[k]` ms after block k; every byte read as it arrives.
struct STimeline {
    std::vector<std::uint8_t> sent;
    std::vector<SLineArrival> arrivals;
};

SLineCheckPlan Plan(int blocks = 4) {
    SLineCheckPlan plan;
    plan.blocks = blocks;
    return plan;
}

STimeline Timeline(const std::vector<double>& silences) {
    const SLineCheckPlan plan = Plan(static_cast<int>(silences.size()) + 1);
    const double character = 10.0 * 1000.0 / plan.baudRate;
    STimeline line;
    double t = 0;
    for (int block = 0; block < plan.blocks; ++block) {
        for (int i = 0; i < plan.blockSize; ++i) {
            t += character;
            line.sent.push_back(static_cast<std::uint8_t>('0' + (block * plan.blockSize + i) % 40));
            line.arrivals.push_back({t, 1});
        }
        if (block + 1 < plan.blocks) t += silences[static_cast<std::size_t>(block)];
    }
    return line;
}

// The same bytes handed over by a driver only on the ticks of its latency timer.
std::vector<SLineArrival> InPackets(const std::vector<SLineArrival>& arrivals, double periodMs) {
    std::vector<SLineArrival> packets;
    for (const SLineArrival& arrival : arrivals) {
        const double tick = periodMs * std::ceil(arrival.ms / periodMs);
        if (packets.empty() || packets.back().ms != tick) packets.push_back({tick, 0});
        packets.back().count += arrival.count;
    }
    return packets;
}

// The bytes of `blocks` blocks from block 10 on handed over in one read as their last byte came,
// as a PC busy elsewhere reads them now and then.
std::vector<SLineArrival> OneLateRead(std::vector<SLineArrival> arrivals, int blocks) {
    const auto first = arrivals.begin() + 10 * 50;
    const auto last = first + blocks * 50 - 1;
    *first = {last->ms, static_cast<std::size_t>(blocks) * 50};
    arrivals.erase(first + 1, last + 1);
    return arrivals;
}

TEST(LineCheck, JudgesThePausesByThePeriodAndTheWholeRunNotBySingleSilences) {
    struct Row {
        const char* what;
        std::vector<double> silences;
        double packetMs;  // 0: every byte read as it arrives
        bool kept;
        const char* says;
        double min, median;
        int lateBlocks = 0;  // blocks read back in one late read
    };
    const Row rows[] = {
        {"a load's pace", {20.4, 25.0, 21.0}, 0, true, "median 21.0 ms", 20.4, 21.0},
        {"within the reads' timing", {19.2, 20.0, 20.0}, 0, true, "min 19.2 ms", 19.2, 20.0},
        {"a load's pace in packets", std::vector<double>(59, 20.5), 16, true, "passed", 0, 0},
        {"blocks run together", {0.0, 0.0, 0.0}, 0, false, "less than 20 ms", 0.0, 0.0},
        {"blocks run together in packets", std::vector<double>(59, 0.0), 16, false,
         "run into the next one", 0, 0},
        {"half the pause", {10.0, 10.0, 10.0}, 0, false, "less than 20 ms", 10.0, 10.0},
        {"read back in batches", std::vector<double>(59, 20.5), 300, false, "Blocks not timed", 0,
         0},
        {"a read that came late", std::vector<double>(59, 20.5), 0, true,
         "2 of the 59 silences fell inside reads that came late", 20.5, 20.5, 3},
        {"reads late for one silence in ten", std::vector<double>(59, 20.5), 0, false,
         "Blocks not timed: 6 of the 59", 20.5, 20.5, 7},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        STimeline line = Timeline(row.silences);
        if (row.packetMs > 0) line.arrivals = InPackets(line.arrivals, row.packetMs);
        if (row.lateBlocks > 0) line.arrivals = OneLateRead(line.arrivals, row.lateBlocks);
        const SLineCheckPlan plan = Plan(static_cast<int>(row.silences.size()) + 1);
        const SLineCheckResult result = AnalyseLineCheck(plan, line.sent, line.sent, line.arrivals);
        const std::string report = LineCheckReport(result, plan, "COM5");
        EXPECT_EQ(result.pauses, row.silences.size());
        EXPECT_EQ(result.Passed(plan), row.kept) << report;
        EXPECT_EQ(report.find("Line check passed") != std::string::npos, row.kept) << report;
        EXPECT_TRUE(testing::Has(report, row.says)) << report;
        if (row.packetMs == 0) {
            EXPECT_NEAR(result.minSilenceMs, row.min, 1e-6);
            EXPECT_NEAR(result.medianSilenceMs, row.median, 1e-6);
        }
    }
}

TEST(LineCheck, ThePeriodAndTheRunAreTimedAsTheLineCarriedThem) {
    const STimeline line = Timeline({20.0, 20.0, 20.0});
    const SLineCheckResult result = AnalyseLineCheck(Plan(), line.sent, line.sent, line.arrivals);
    const double block = 50 * 10.0 * 1000.0 / 19200;
    EXPECT_NEAR(result.blockMs, block, 1e-6);
    EXPECT_NEAR(result.periodMs, block + 20, 1e-6);
    EXPECT_NEAR(result.runMs, 4 * block + 60, 1e-6);
    EXPECT_NEAR(result.scheduleMs, result.runMs, 1e-6);
    EXPECT_NEAR(result.silenceMs, 20, 1e-6);
}

TEST(LineCheck, WhatCameBackIsComparedWithWhatWentOut) {
    const STimeline line = Timeline({21.0, 21.0, 21.0});
    struct Row {
        const char* what;
        std::vector<std::uint8_t> received;
        const char* says;
    };
    std::vector<std::uint8_t> changed = line.sent;
    changed[17] ^= 0x20U;
    std::vector<std::uint8_t> lost(line.sent.begin(), line.sent.begin() + 125);
    lost.insert(lost.end(), line.sent.begin() + 126, line.sent.end());
    std::vector<std::uint8_t> extra = line.sent;
    extra.push_back('x');
    const Row rows[] = {
        {"whole", line.sent, "all 200 came back unchanged"},
        {"a bit flipped", changed, "200 came back, 1 of them changed (the first at byte 17)"},
        {"a byte dropped", lost, "199 came back: 1 lost (the first difference at byte 125)"},
        {"a byte more", extra, "201 came back: 1 more than were sent"},
        {"nothing", {}, "nothing came back"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const SLineCheckResult result =
            AnalyseLineCheck(Plan(), line.sent, row.received, line.arrivals);
        const std::string report = LineCheckReport(result, Plan(), "COM5");
        EXPECT_NE(report.find(row.says), std::string::npos) << report;
        EXPECT_EQ(result.Passed(Plan()), row.received == line.sent) << report;
    }
}

// Whole checks of 60 blocks on a loopback line, each as an adapter would hand the bytes back:
// what the line carried, what the reads could tell of it, and a sender that stopped part-way.
TEST(LineCheck, RunsTheBlocksOnTheLineAndSaysWhatCameOfThem) {
    SLineCheckPlan needed;
    needed.blocks = 60;
    SLineCheckPlan noPauses = needed;
    noPauses.pauseMs = 0;
    struct Row {
        const char* what;
        testing::SVirtualLineStyle line;
        const SLineCheckPlan& sent;
        int exitStatus;
        const char* says;
    };
    const Row rows[] = {
        {"an echo as the bytes come", {}, needed, kExitLoaded, "Line check passed"},
        {"16 ms packets", {.packetMs = 16}, needed, kExitLoaded, "Line check passed"},
        {"the blocks run together", {}, noPauses, kExitLoadFailed, "at most 1.0 ms apart"},
        {"16 ms packets, the blocks run together",
         {.packetMs = 16},
         noPauses,
         kExitLoadFailed,
         "runs blocks together"},
        {"300 ms batches", {.packetMs = 300}, needed, kExitLoadFailed, "Blocks not timed"},
        {"held back to the end, and only as much as the adapter holds",
         {.packetMs = 3000, .holds = 2048},
         needed,
         kExitLoadFailed,
         "2048 came back before the line went quiet"},
        {"a byte dropped", {.dropByte = 1234}, needed, kExitLoadFailed, "2999 came back: 1 lost"},
        {"a write failed part-way",
         {.failWriteAt = 31},
         needed,
         kExitLoadFailed,
         "writing to COM5 (/dev/ttyUSB0) failed after 30 of 60 blocks"},
    };
    const std::vector<std::uint8_t> bytes = LineCheckBytes(needed);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        testing::CVirtualLine line(row.line);
        const SLineCheckRun run = RunLineCheck(line, 5, nullptr, 0, row.sent, bytes, line);
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(TellLineCheck(run, needed, bytes,
                                {{"COM5", 5, "/dev/ttyUSB0", "COM5 (/dev/ttyUSB0)"}}, out, err),
                  row.exitStatus)
            << out.str() << err.str();
        EXPECT_TRUE(testing::Has(out.str() + err.str(), row.says)) << out.str() << err.str();
        // Only a line that lost bytes as they came is said to have lost them.
        EXPECT_EQ(testing::Has(out.str(), "lost"), row.line.dropByte < bytes.size()) << out.str();
    }
}

}  // namespace
}  // namespace morvane
