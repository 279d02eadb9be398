#include "cli/progress_view.h"

#include <gtest/gtest.h>

#include <sstream>

#include "record/loader_status.h"

namespace morvane {
namespace {

TEST(ProgressView, TerminalBar) {
    EXPECT_EQ(ProgressBar(0, 10), "[----------]");
    EXPECT_EQ(ProgressBar(57, 10), "[#####-----]");
    EXPECT_EQ(ProgressBar(100, 10), "[##########]");
}

// Drives a reporter through a transfer as the poll would see it.
struct Harness {
    explicit Harness(ReporterStyle style) : reporter(out, err, style) {}
    void Step(std::int32_t status, std::uint32_t sent, std::int32_t remaining = 10) {
        state.SetStatus(status);
        state.SetTotalBytes(kTotal);
        state.SetSentBytes(sent);
        state.SetRemainingSeconds(remaining);
        reporter.Pass(state);
    }
    static constexpr std::uint32_t kTotal = 136352;
    SLoaderState state;
    std::ostringstream out;
    std::ostringstream err;
    CLoadReporter reporter;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(ProgressView, PlainOutputHasOneLinePerTenthAndNoTerminalCodes) {
    Harness h(ReporterStyle{});
    h.Step(STATUS_DETECTING_BAUD, 0);
    h.Step(STATUS_DETECTING_BAUD, 0);  // same status: not repeated
    h.Step(STATUS_CONNECTED, 0);
    h.Step(STATUS_WAITING, 0);
    for (std::uint32_t sent = 50; sent < Harness::kTotal; sent += 50 * 37)
        h.Step(STATUS_UPDATING_FIRMWARE, sent);
    h.Step(STATUS_UPDATING_FIRMWARE, Harness::kTotal, 0);
    h.Step(STATUS_FIRMWARE_COMPLETE, Harness::kTotal, 0);
    h.reporter.Prompt("Load Completed\t");
    h.reporter.Finish();

    const std::string text = h.out.str();
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
    const std::vector<std::string> lines = Lines(text);
    ASSERT_EQ(lines.size(), 4U + 11U + 2U) << text;
    EXPECT_EQ(lines[0], "Status: Detecting Baud Rate");
    EXPECT_EQ(lines[1], "Status: Connected");
    EXPECT_EQ(lines[2], "Status: Waiting..");
    EXPECT_EQ(lines[3], "Status: Updating Firmware");
    EXPECT_EQ(lines[4], "Progress: 50/136352 (0%), Remaining Time: 10 seconds");
    // The poll sees the counter where it happens to be: the first line in each tenth is shown.
    for (int tenth = 1; tenth <= 9; ++tenth) {
        const std::string& line = lines[4 + tenth];
        const std::size_t open = line.find('(');
        ASSERT_NE(open, std::string::npos) << line;
        EXPECT_EQ(std::stoi(line.substr(open + 1)) / 10, tenth) << line;
    }
    EXPECT_EQ(lines[14], "Progress: 136352/136352 (100%), Remaining Time: 0 seconds");
    EXPECT_EQ(lines[15], "Status: Firmware Update Complete");
    EXPECT_EQ(lines[16], "Load Completed\t");
    EXPECT_EQ(h.err.str(), "");
}

TEST(ProgressView, TheFinalProgressComesBeforeTheStatusThatEndsTheTransfer) {
    Harness h(ReporterStyle{});
    h.Step(STATUS_UPDATING_FIRMWARE, 50);
    h.Step(STATUS_FIRMWARE_COMPLETE, Harness::kTotal, 0);  // both seen in one pass
    const std::vector<std::string> lines = Lines(h.out.str());
    ASSERT_EQ(lines.size(), 4U);
    EXPECT_EQ(lines[0], "Status: Updating Firmware");
    EXPECT_EQ(lines[2], "Progress: 136352/136352 (100%), Remaining Time: 0 seconds");
    EXPECT_EQ(lines[3], "Status: Firmware Update Complete");
}

TEST(ProgressView, OnATerminalTheFinishedLineIsNotDrawnAgain) {
    Harness h(ReporterStyle{true, false});
    h.Step(STATUS_UPDATING_FIRMWARE, 136300, 1);
    h.Step(STATUS_FIRMWARE_COMPLETE, Harness::kTotal, 0);
    h.reporter.Prompt("Load Completed\t");
    h.Step(STATUS_FIRMWARE_COMPLETE, Harness::kTotal, 0);  // the pass after the load ended
    h.reporter.Finish();
    const std::string text = h.out.str();
    const std::string end =
        "  Remaining Time: 0 seconds\x1b[K\nStatus: Firmware Update Complete\nLoad Completed\t\n";
    ASSERT_GE(text.size(), end.size());
    EXPECT_EQ(text.substr(text.size() - end.size()), end);
}

TEST(ProgressView, TerminalRedrawsOneLineAndEndsItBeforeOtherLines) {
    Harness h(ReporterStyle{true, false});
    h.Step(STATUS_UPDATING_FIRMWARE, 50, 125);
    h.Step(STATUS_UPDATING_FIRMWARE, 68176, 62);
    h.Step(STATUS_UPDATING_FIRMWARE, 68176, 62);  // nothing new: nothing drawn
    h.reporter.Warn("careful");
    h.Step(STATUS_UPDATING_FIRMWARE, 68226, 61);
    h.reporter.Finish();

    const std::string expected =
        "Status: Updating Firmware\n"
        "\r[------------------------------]   0%  Progress: 50/136352  Remaining Time: 2 minutes 5 seconds\x1b[K"
        "\r[###############---------------]  50%  Progress: 68176/136352  Remaining Time: 62 seconds\x1b[K"
        "\n"
        "\r[###############---------------]  50%  Progress: 68226/136352  Remaining Time: 61 seconds\x1b[K"
        "\n";
    EXPECT_EQ(h.out.str(), expected);
    EXPECT_EQ(h.err.str(), "careful\n");
}

TEST(ProgressView, ColourOnlyWhenAllowed) {
    Harness coloured(ReporterStyle{true, true});
    coloured.Step(STATUS_UPDATING_FIRMWARE, 50);
    EXPECT_NE(coloured.out.str().find("\x1b[32m"), std::string::npos);
    Harness plain(ReporterStyle{true, false});
    plain.Step(STATUS_UPDATING_FIRMWARE, 50);
    EXPECT_EQ(plain.out.str().find("\x1b[32m"), std::string::npos);
}

TEST(ProgressView, FirmwareLineWhenDetectedAndNew) {
    Harness h(ReporterStyle{});
    h.state.SetFirmwareText("1.10");
    h.Step(STATUS_DETECTING_BAUD, 0);  // not detected yet: not shown
    h.state.SetFirmwareDetected(true);
    h.Step(STATUS_DETECTING_BAUD, 0);
    h.Step(STATUS_CONNECTED, 0);
    h.state.SetFirmwareText("1.22");
    h.Step(STATUS_CONNECTED, 0);
    h.Step(41, 0);  // not one of ours: no line
    EXPECT_EQ(h.out.str(),
              "Status: Detecting Baud Rate\n"
              "Firmware on Device: 1.10\n"
              "Status: Connected\n"
              "Firmware on Device: 1.22\n");
}

}  // namespace
}  // namespace morvane
