// The line check's reckoning on made-up timelines: what came back, and the silence between
// blocks worked out from when the bytes arrived.
#include "cli/line_check.h"

#include <gtest/gtest.h>

#include <vector>

namespace morvane {
namespace {

// Four blocks of 10 bytes at 19200 Bd (a character every 0.52 ms), the line silent for
// `silences[k]` ms after block k; every byte read as it arrives unless `merge` gathers them all
// into reads of a whole block's time.
struct STimeline {
    std::vector<std::uint8_t> sent;
    std::vector<SLineArrival> arrivals;
};

SLineCheckPlan Plan() {
    SLineCheckPlan plan;
    plan.blocks = 4;
    plan.blockSize = 10;
    return plan;
}

STimeline Timeline(const std::vector<double>& silences) {
    const SLineCheckPlan plan = Plan();
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

TEST(LineCheck, TheSilenceBetweenBlocksAsTheLineCarriedIt) {
    struct Row {
        const char* what;
        std::vector<double> silences;
        std::size_t shortPauses;
        double min, median, max;
        const char* says;
    };
    const Row rows[] = {
        {"a load's pace",
         {20.4, 25.0, 21.0},
         0,
         20.4,
         21.0,
         25.0,
         "Every one of the 3 pauses was at least 20 ms"},
        {"within the reads' timing", {19.2, 20.0, 20.0}, 0, 19.2, 20.0, 20.0, "Line check passed"},
        {"one pause squeezed",
         {20.4, 3.0, 22.0},
         1,
         3.0,
         20.4,
         22.0,
         "1 of the 3 pauses were shorter than 20 ms"},
        {"blocks run together", {0.0, 0.0, 20.0}, 2, 0.0, 0.0, 20.0, "Line check failed"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const STimeline line = Timeline(row.silences);
        const SLineCheckResult result =
            AnalyseLineCheck(Plan(), line.sent, line.sent, line.arrivals);
        EXPECT_TRUE(result.BytesIntact());
        EXPECT_EQ(result.pauses, 3u);
        EXPECT_EQ(result.shortPauses, row.shortPauses);
        EXPECT_NEAR(result.minGapMs, row.min, 1e-6);
        EXPECT_NEAR(result.medianGapMs, row.median, 1e-6);
        EXPECT_NEAR(result.maxGapMs, row.max, 1e-6);
        EXPECT_EQ(result.Passed(), row.shortPauses == 0);
        const std::string report = LineCheckReport(result, Plan(), "COM5");
        EXPECT_NE(report.find(row.says), std::string::npos) << report;
    }
}

// An adapter that hands bytes over in packets: a read that brings the end of one block and the
// start of the next shows no silence between them.
TEST(LineCheck, BytesReadInOnePacketAcrossBlocksShowNoPause) {
    STimeline line = Timeline({20.5, 20.5, 20.5});
    line.arrivals = {{30.0, 15}, {60.0, 25}};  // block 0 and half of 1, then the rest
    const SLineCheckResult result = AnalyseLineCheck(Plan(), line.sent, line.sent, line.arrivals);
    EXPECT_EQ(result.shortPauses, 3u);
    EXPECT_FALSE(result.Passed());
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
        EXPECT_EQ(result.Passed(), row.received == line.sent) << report;
    }
}

}  // namespace
}  // namespace morvane
