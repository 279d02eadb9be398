#include <QTest>

#include "loader/loader_status.h"
#include "tests/app/dialog_fixture.h"

namespace morvane::testing_app {
namespace {

class StatusDisplayTest : public DialogTest {
protected:
    void SetUp() override {
        Open({Port("COM1", "COM1")});
        // The passes under test are the ones the test runs, not the timer's.
        dialog_->m_nTimer->stop();
        state_.SetLoadRunning(true);
    }
    QString Text(QLabel* label) const { return label->text(); }
    void Progress(std::uint32_t sent, std::uint32_t total, std::int32_t remaining) {
        state_.SetTotalBytes(total);
        state_.SetSentBytes(sent);
        state_.SetRemainingSeconds(remaining);
        dialog_->RefreshStatus();
    }
};

struct ProgressCase {
    std::uint32_t sent, total;
    std::int32_t remaining;
    const char *counter, *percent;
    int bar;
    const char* remainingText;
};

TEST_F(StatusDisplayTest, ProgressLines) {
    const ProgressCase cases[] = {
        {68176, 136352, 64, "Progress: 68176/136352", "50%", 50, "Remaining Time: 64 seconds"},
        {1, 136352, 125, "Progress: 1/136352", "0%", 0, "Remaining Time: 2 minutes 5 seconds"},
        {136352, 136352, 0, "Progress: 136352/136352", "100%", 100, "Remaining Time: 0 seconds"},
        {100, 136352, 90, "Progress: 100/136352", "0%", 0, "Remaining Time: 90 seconds"},
        {50000, 136352, 91, "Progress: 50000/136352", "36%", 36,
         "Remaining Time: 1 minutes 31 seconds"},
        // The 32-bit product wraps, as it always has: 50,000,000 x 100 is 705,032,704 + 2^32 x 1.
        {50000000, 100000000, 60, "Progress: 50000000/100000000", "7%", 7,
         "Remaining Time: 60 seconds"},
        // A count without a total cannot be a share of anything.
        {5, 0, 3, "Progress: 5/0", "0%", 0, "Remaining Time: 3 seconds"},
    };
    for (const ProgressCase& c : cases) {
        Progress(c.sent, c.total, c.remaining);
        EXPECT_EQ(Text(dialog_->m_stProgress), c.counter);
        EXPECT_EQ(Text(dialog_->m_stPercent), c.percent) << c.counter;
        EXPECT_EQ(dialog_->m_progress->value(), c.bar) << c.counter;
        EXPECT_EQ(Text(dialog_->m_stRemainingTime), c.remainingText) << c.counter;
    }
}

TEST_F(StatusDisplayTest, NothingSentKeepsTheProgressLines) {
    Progress(600, 1200, 10);
    Progress(0, 1200, 99);
    EXPECT_EQ(Text(dialog_->m_stProgress), "Progress: 600/1200");
    EXPECT_EQ(Text(dialog_->m_stPercent), "50%");
    EXPECT_EQ(Text(dialog_->m_stRemainingTime), "Remaining Time: 10 seconds");
}

TEST_F(StatusDisplayTest, EveryStatusCodeShowsItsText) {
    for (std::int32_t code = 0; code <= 40; ++code) {
        const auto lines = LinesForStatus(code);
        if (!lines) continue;
        state_.SetStatus(code);
        dialog_->RefreshStatus();
        EXPECT_EQ(Text(dialog_->m_stStatus).toStdString(), lines->text) << code;
    }
    state_.SetStatus(4);
    dialog_->RefreshStatus();
    EXPECT_EQ(Text(dialog_->m_stStatus), "Status: Updating Firmware");
}

TEST_F(StatusDisplayTest, FirmwareLineForms) {
    dialog_->m_stFirmwareOnDevice->setText("Firmware on Device: 1.10");
    state_.SetStatus(STATUS_CONNECTED);  // form A keeps the line without a detected firmware
    dialog_->RefreshStatus();
    EXPECT_EQ(Text(dialog_->m_stStatus), "Status: Connected");
    EXPECT_EQ(Text(dialog_->m_stFirmwareOnDevice), "Firmware on Device: 1.10");

    state_.SetStatus(STATUS_DETECTING_FIRMWARE);  // form B says so
    dialog_->RefreshStatus();
    EXPECT_EQ(Text(dialog_->m_stFirmwareOnDevice), "Firmware on Device: N/A");

    state_.SetFirmwareText(" 2.31");
    state_.SetFirmwareDetected(true);
    state_.SetStatus(STATUS_CONNECTED);
    dialog_->RefreshStatus();
    EXPECT_EQ(Text(dialog_->m_stFirmwareOnDevice), "Firmware on Device:  2.31");

    state_.SetFirmwareText("1.22");
    state_.SetStatus(STATUS_DETECTING_FIRMWARE);
    dialog_->RefreshStatus();
    EXPECT_EQ(Text(dialog_->m_stFirmwareOnDevice), "Firmware on Device: 1.22");

    // Codes without a firmware line leave it alone.
    state_.SetFirmwareDetected(false);
    state_.SetStatus(STATUS_UPDATING_FIRMWARE);
    dialog_->RefreshStatus();
    EXPECT_EQ(Text(dialog_->m_stFirmwareOnDevice), "Firmware on Device: 1.22");
}

TEST_F(StatusDisplayTest, ApplicationAndWaasLinesWithoutAPlaceOnScreen) {
    state_.SetAppName1("GPS");
    state_.SetAppName2("WAAS");
    state_.SetAppsSeen(true);
    state_.SetWaasPrn1(135);
    state_.SetWaasPrn2(138);
    state_.SetWaasPrnsSeen(true);
    state_.SetStatus(STATUS_CHECKING_ACTIVE_APP);
    dialog_->RefreshStatus();
    EXPECT_EQ(Text(dialog_->m_stStatus), "Checking Active Application");
    EXPECT_EQ(Text(dialog_->m_stApplications), "Applications: GPS,WAAS");
    EXPECT_EQ(Text(dialog_->m_stWaasPrns), "WAAS PRNS: 135,138");
    EXPECT_TRUE(dialog_->m_stApplications->isHidden());
    EXPECT_TRUE(dialog_->m_stWaasPrns->isHidden());

    state_.SetAppsSeen(false);
    state_.SetWaasPrnsSeen(false);
    state_.SetStatus(STATUS_RESTORING_SETTINGS);
    dialog_->RefreshStatus();
    EXPECT_EQ(Text(dialog_->m_stApplications), "Applications: GPS,WAAS");
    EXPECT_EQ(Text(dialog_->m_stWaasPrns), "WAAS PRNS: N/A");
}

TEST_F(StatusDisplayTest, UnknownCodesChangeNothingButTheProgress) {
    state_.SetStatus(STATUS_UPDATING_FIRMWARE);
    dialog_->RefreshStatus();
    for (const std::int32_t code : {41, -1, 23}) {
        state_.SetStatus(code);
        Progress(68176, 136352, 20);
        EXPECT_EQ(Text(dialog_->m_stStatus), "Status: Updating Firmware") << code;
        EXPECT_EQ(Text(dialog_->m_stFirmwareOnDevice), "Firmware on Device: N/A") << code;
        EXPECT_EQ(Text(dialog_->m_stPercent), "50%") << code;
        Progress(1, 136352, 20);
    }
}

TEST_F(StatusDisplayTest, NoPassWithoutARunningLoadOrAChange) {
    state_.SetLoadRunning(false);
    state_.SetStatus(STATUS_FIRMWARE_COMPLETE);
    Progress(10, 20, 5);
    dialog_->RefreshStatus();
    EXPECT_EQ(Text(dialog_->m_stStatus), "Status: Not Connected");
    EXPECT_EQ(Text(dialog_->m_stProgress), "Progress: N/A");
    EXPECT_EQ(Text(dialog_->m_stPercent), "0%");
    EXPECT_TRUE(state_.IsChanged());  // between loads the flag stays raised

    state_.SetLoadRunning(true);
    dialog_->RefreshStatus();
    EXPECT_EQ(Text(dialog_->m_stStatus), "Status: Firmware Update Complete");
    dialog_->m_stStatus->setText("marker");
    dialog_->RefreshStatus();  // nothing was written since the last pass
    EXPECT_EQ(Text(dialog_->m_stStatus), "marker");
}

TEST_F(StatusDisplayTest, TheTimerShowsChangesByItself) {
    dialog_->m_nTimer->start();
    state_.SetStatus(STATUS_DETECTING_BAUD);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return Text(dialog_->m_stStatus) == "Status: Detecting Baud Rate"; }, 5000));
    state_.SetStatus(STATUS_WAITING);
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return Text(dialog_->m_stStatus) == "Status: Waiting.."; }, 5000));
    EXPECT_TRUE(dialog_->m_nTimer->isSingleShot());
    EXPECT_EQ(dialog_->m_nTimer->interval(), 10);
}

}  // namespace
}  // namespace morvane::testing_app
