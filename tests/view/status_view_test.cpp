#include "view/status_view.h"

#include <gtest/gtest.h>

#include "record/loader_status.h"

namespace morvane {
namespace {

class StatusViewTest : public testing::Test {
protected:
    void SetUp() override { state_.SetLoadRunning(true); }
    const SStatusArea& Pass() {
        view_.Refresh(state_);
        return view_.Area();
    }
    const SStatusArea& Progress(std::uint32_t sent, std::uint32_t total, std::int32_t remaining) {
        state_.SetTotalBytes(total);
        state_.SetSentBytes(sent);
        state_.SetRemainingSeconds(remaining);
        return Pass();
    }

    SLoaderState state_;
    CStatusView view_;
};

TEST_F(StatusViewTest, ProgressLines) {
    struct Row {
        std::uint32_t sent, total;
        std::int32_t remaining;
        const char *counter, *percent;
        int bar;
        const char* remainingText;
    };
    const Row rows[] = {
        {68176, 136352, 64, "Progress: 68176/136352", "50%", 50, "Remaining Time: 64 seconds"},
        {1, 136352, 125, "Progress: 1/136352", "0%", 0, "Remaining Time: 2 minutes 5 seconds"},
        {136352, 136352, 0, "Progress: 136352/136352", "100%", 100, "Remaining Time: 0 seconds"},
        {50000, 136352, 91, "Progress: 50000/136352", "36%", 36,
         "Remaining Time: 1 minutes 31 seconds"},
        // Counts whose hundredfold does not fit 32 bits still give their share.
        {4000000000U, 4000000000U, 60, "Progress: 4000000000/4000000000", "100%", 100,
         "Remaining Time: 60 seconds"},
        // A count without a total cannot be a share of anything.
        {5, 0, 3, "Progress: 5/0", "0%", 0, "Remaining Time: 3 seconds"},
    };
    for (const Row& r : rows) {
        const SStatusArea& area = Progress(r.sent, r.total, r.remaining);
        EXPECT_EQ(area.progress, r.counter);
        EXPECT_EQ(area.percent, r.percent) << r.counter;
        EXPECT_EQ(area.bar, r.bar) << r.counter;
        EXPECT_EQ(area.remainingTime, r.remainingText) << r.counter;
    }
    // Nothing sent keeps the lines as they were.
    const SStatusArea& area = Progress(0, 1200, 99);
    EXPECT_EQ(area.progress, "Progress: 5/0");
    EXPECT_EQ(area.remainingTime, "Remaining Time: 3 seconds");
}

TEST_F(StatusViewTest, StatusAndFirmwareLines) {
    for (std::int32_t code = 0; code <= 40; ++code) {
        if (const auto lines = LinesForStatus(code)) {
            state_.SetStatus(code);
            EXPECT_EQ(Pass().status, lines->text) << code;
            EXPECT_EQ(StatusLineFor(code), Pass().status) << code;
        }
    }
    EXPECT_EQ(StatusLineFor(41), std::nullopt);
    // Beside a port's name the lead goes, and only the lead.
    EXPECT_EQ(StatusWords("Status: Connected"), "Connected");
    EXPECT_EQ(StatusWords("Rebooting.."), "Rebooting..");
    EXPECT_EQ(StatusWords("Checking Status: x"), "Checking Status: x");
    state_.SetStatus(STATUS_CODE_4);
    EXPECT_EQ(Pass().status, "Status: Updating Firmware");

    // Form A keeps the line without a detected firmware, form B says so.
    state_.SetStatus(STATUS_CONNECTED);
    EXPECT_EQ(Pass().firmwareOnDevice, "Firmware on Device: N/A");
    state_.SetFirmwareText(" 2.31");
    state_.SetFirmwareDetected(true);
    EXPECT_EQ(Pass().firmwareOnDevice, "Firmware on Device:  2.31");
    state_.SetFirmwareDetected(false);
    state_.SetStatus(STATUS_CONNECTED);
    EXPECT_EQ(Pass().firmwareOnDevice, "Firmware on Device:  2.31");
    state_.SetStatus(STATUS_DETECTING_FIRMWARE);
    EXPECT_EQ(Pass().firmwareOnDevice, "Firmware on Device: N/A");
    state_.SetFirmwareText("1.22");
    state_.SetFirmwareDetected(true);
    EXPECT_EQ(Pass().firmwareOnDevice, "Firmware on Device: 1.22");
    // Codes without a firmware line leave it alone.
    state_.SetFirmwareDetected(false);
    state_.SetStatus(STATUS_UPDATING_FIRMWARE);
    EXPECT_EQ(Pass().firmwareOnDevice, "Firmware on Device: 1.22");

    // A code of no known meaning changes nothing but the progress.
    for (const std::int32_t code : {41, -1, 23}) {
        state_.SetStatus(code);
        const SStatusArea& area = Progress(68176 + code, 136352, 20);
        EXPECT_EQ(area.status, "Status: Updating Firmware") << code;
        EXPECT_EQ(area.firmwareOnDevice, "Firmware on Device: 1.22") << code;
        EXPECT_EQ(area.progress, "Progress: " + std::to_string(68176 + code) + "/136352");
    }
}

TEST_F(StatusViewTest, ApplicationAndWaasLines) {
    state_.SetAppName1("GPS");
    state_.SetAppName2("WAAS");
    state_.SetAppsSeen(true);
    state_.SetWaasPrn1(135);
    state_.SetWaasPrn2(138);
    state_.SetWaasPrnsSeen(true);
    state_.SetStatus(STATUS_CHECKING_ACTIVE_APP);
    EXPECT_EQ(Pass().status, "Checking Active Application");
    EXPECT_EQ(view_.Area().applications, "Applications: GPS,WAAS");
    EXPECT_EQ(view_.Area().waasPrns, "WAAS PRNS: 135,138");

    state_.SetAppsSeen(false);
    state_.SetWaasPrnsSeen(false);
    state_.SetStatus(STATUS_RESTORING_SETTINGS);
    EXPECT_EQ(Pass().applications, "Applications: GPS,WAAS");
    EXPECT_EQ(view_.Area().waasPrns, "WAAS PRNS: N/A");
}

TEST_F(StatusViewTest, NoPassWithoutARunningLoadOrAChange) {
    state_.SetLoadRunning(false);
    state_.SetStatus(STATUS_FIRMWARE_COMPLETE);
    EXPECT_EQ(Progress(10, 20, 5), SStatusArea{});
    EXPECT_TRUE(state_.IsChanged());  // between loads the flag stays raised

    state_.SetLoadRunning(true);
    EXPECT_TRUE(view_.Refresh(state_));
    EXPECT_EQ(view_.Area().status, "Status: Firmware Update Complete");
    EXPECT_FALSE(view_.Refresh(state_));  // nothing was written since the last pass
    state_.SetStatus(STATUS_FIRMWARE_COMPLETE);
    EXPECT_FALSE(view_.Refresh(state_));  // written, but nothing on screen changes
}

TEST(ControlStates, LoadWaitsForAPortAndEverythingIsLockedDuringALoad) {
    CStatusView view;
    EXPECT_EQ(view.Controls(), (SControlStates{false, true, true}));
    view.SelectionConfirmed();  // whatever item: Load then checks the port itself
    EXPECT_TRUE(view.Controls().load);
    view.SelectionChanged(0);
    EXPECT_FALSE(view.Controls().load);
    view.SelectionChanged(5);
    EXPECT_TRUE(view.Controls().load);
    view.LoadStarted();
    EXPECT_EQ(view.Controls(), (SControlStates{false, false, false}));
    view.LoadEnded(STATUS_DEVICE_NOT_DETECTED);
    EXPECT_EQ(view.Controls(), (SControlStates{true, true, true}));
}

// No figure of a load that is over stands beside the status of another: a new load starts from
// the start texts, the firmware found included (the receiver on the port may be another one),
// and a load that failed leaves no remaining time behind. The outcome of a complete transfer
// stays until the next load.
TEST_F(StatusViewTest, FiguresOfALoadThatIsOverDoNotStay) {
    state_.SetFirmwareText("1.20");
    state_.SetFirmwareDetected(true);
    state_.SetStatus(STATUS_CONNECTED);
    Progress(136352, 136352, 0);
    state_.SetStatus(STATUS_FIRMWARE_COMPLETE);
    view_.LoadEnded(STATUS_FIRMWARE_COMPLETE);
    EXPECT_EQ(Pass().percent, "100%");
    EXPECT_EQ(view_.Area().remainingTime, "Remaining Time: 0 seconds");

    for (const std::int32_t failure : {STATUS_BLOCK_FAILED, STATUS_INVALID_PORT}) {
        view_.LoadStarted();
        SStatusArea expected = view_.Area();
        expected.progress = "Progress: N/A";
        expected.percent = "0%";
        expected.bar = 0;
        expected.remainingTime = "Remaining Time: N/A";
        EXPECT_EQ(view_.Area(), expected) << failure;
        EXPECT_EQ(view_.Area().firmwareOnDevice, "Firmware on Device: N/A");

        Progress(99550, 136352, 33);
        state_.SetStatus(failure);
        EXPECT_EQ(Pass().percent, "73%");
        view_.LoadEnded(failure);
        expected.status = view_.Area().status;
        EXPECT_EQ(view_.Area(), expected) << failure;
    }
}

}  // namespace
}  // namespace morvane
