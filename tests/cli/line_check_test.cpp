// The line check's reckoning on made-up timelines: what came back, and the silence between
// blocks worked out from when the bytes arrived.
#include "cli/line_check.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace morvane {
namespace {

// Blocks of 10 bytes at 19200 Bd (a character every 0.52 ms), the line silent for `silences[k]`
// ms after block k; every byte read as it arrives.
struct STimeline {
    std::vector<std::uint8_t> sent;
    std::vector<SLineArrival> arrivals;
};

SLineCheckPlan Plan(int blocks = 4) {
    SLineCheckPlan plan;
    plan.blocks = blocks;
    plan.blockSize = 10;
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

// The same bytes handed over by a driver only on the ticks of its 16 ms latency timer.
std::vector<SLineArrival> InPackets(const std::vector<SLineArrival>& arrivals) {
    std::vector<SLineArrival> packets;
    for (const SLineArrival& arrival : arrivals) {
        const double tick = 16.0 * std::ceil(arrival.ms / 16.0);
        if (packets.empty() || packets.back().ms != tick) packets.push_back({tick, 0});
        packets.back().count += arrival.count;
    }
    return packets;
}

TEST(LineCheck, JudgesThePausesByThePeriodAndTheWholeRunNotBySingleGaps) {
    struct Row {
        const char* what;
        std::vector<double> silences;
        bool packets;
        bool kept;
        double min, median;
    };
    const Row rows[] = {
        {"a load's pace", {20.4, 25.0, 21.0}, false, true, 20.4, 21.0},
        {"within the reads' timing", {19.2, 20.0, 20.0}, false, true, 19.2, 20.0},
        {"a load's pace in packets", std::vector<double>(59, 20.5), true, true, 0.0, 0.0},
        {"blocks run together", {0.0, 0.0, 0.0}, false, false, 0.0, 0.0},
        {"blocks run together in packets", std::vector<double>(59, 0.0), true, false, 0.0, 0.0},
        {"half the pause", {10.0, 10.0, 10.0}, false, false, 10.0, 10.0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        STimeline line = Timeline(row.silences);
        if (row.packets) line.arrivals = InPackets(line.arrivals);
        const SLineCheckPlan plan = Plan(static_cast<int>(row.silences.size()) + 1);
        const SLineCheckResult result = AnalyseLineCheck(plan, line.sent, line.sent, line.arrivals);
        const std::string report = LineCheckReport(result, plan, "COM5");
        EXPECT_EQ(result.pauses, row.silences.size());
        EXPECT_EQ(result.Passed(plan), row.kept) << report;
        EXPECT_EQ(report.find("Line check passed") != std::string::npos, row.kept) << report;
        if (!row.packets) {
            EXPECT_NEAR(result.minGapMs, row.min, 1e-6);
            EXPECT_NEAR(result.medianGapMs, row.median, 1e-6);
        }
    }
}

TEST(LineCheck, ThePeriodAndTheRunAreTimedAsTheLineCarriedThem) {
    const STimeline line = Timeline({20.0, 20.0, 20.0});
    const SLineCheckResult result = AnalyseLineCheck(Plan(), line.sent, line.sent, line.arrivals);
    const double block = 10 * 10.0 * 1000.0 / 19200;
    EXPECT_NEAR(result.blockMs, block, 1e-6);
    EXPECT_NEAR(result.periodMs, block + 20, 1e-6);
    EXPECT_NEAR(result.runMs, 4 * block + 60, 1e-6);
    EXPECT_NEAR(result.scheduleMs, result.runMs, 1e-6);
    EXPECT_NEAR(result.silenceMs, 20, 1e-6);
}

// A write that failed part-way fails the check, however whole the echo of what did go out.
TEST(LineCheck, PassesOnlyWhenEveryBlockWentOut) {
    const STimeline line = Timeline({21.0, 21.0, 21.0});
    SLineCheckResult result = AnalyseLineCheck(Plan(), line.sent, line.sent, line.arrivals);
    result.writeFailed = true;
    const std::string report = LineCheckReport(result, Plan(), "COM5");
    EXPECT_FALSE(result.Passed(Plan()));
    EXPECT_EQ(report.find("passed"), std::string::npos) << report;
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
    std::vector<std::uint8_t> lost(line.sent.begin(), line.sent.begin() + 25);
    lost.insert(lost.end(), line.sent.begin() + 26, line.sent.end());
    std::vector<std::uint8_t> extra = line.sent;
    extra.push_back('x');
    const Row rows[] = {
        {"whole", line.sent, "all 40 came back unchanged"},
        {"a bit flipped", changed, "40 came back, 1 of them changed (the first at byte 17)"},
        {"a byte dropped", lost, "39 came back: 1 lost (the first difference at byte 25)"},
        {"a byte more", extra, "41 came back: 1 more than were sent"},
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

}  // namespace
}  // namespace morvane
