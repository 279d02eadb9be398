#include <QTest>

#include "record/loader_status.h"
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
};

// What each line says is the status view's business; the window puts every line of it on screen.
TEST_F(StatusDisplayTest, EveryLineOfTheViewIsOnScreen) {
    state_.SetFirmwareText("1.20");
    state_.SetFirmwareDetected(true);
    state_.SetAppName1("GPS");
    state_.SetAppName2("WAAS");
    state_.SetAppsSeen(true);
    state_.SetStatus(STATUS_RESTORING_SETTINGS);
    state_.SetTotalBytes(136352);
    state_.SetSentBytes(68176);
    state_.SetRemainingSeconds(125);
    dialog_->RefreshStatus();
    EXPECT_EQ(dialog_->m_stStatus->text(), "Restoring Settings");
    EXPECT_EQ(dialog_->m_stFirmwareOnDevice->text(), "Firmware on Device: 1.20");
    EXPECT_EQ(dialog_->m_stProgress->text(), "Progress: 68176/136352");
    EXPECT_EQ(dialog_->m_stPercent->text(), "50%");
    EXPECT_EQ(dialog_->m_progress->value(), 50);
    EXPECT_EQ(dialog_->m_stRemainingTime->text(), "Remaining Time: 2 minutes 5 seconds");
    // The layout has no place for these two: kept up to date, never shown.
    EXPECT_EQ(dialog_->m_stApplications->text(), "Applications: GPS,WAAS");
    EXPECT_EQ(dialog_->m_stWaasPrns->text(), "WAAS PRNS: N/A");
    EXPECT_TRUE(dialog_->m_stApplications->isHidden());
    EXPECT_TRUE(dialog_->m_stWaasPrns->isHidden());
}

TEST_F(StatusDisplayTest, TheTimerShowsChangesByItself) {
    dialog_->m_nTimer->start();
    state_.SetStatus(STATUS_DETECTING_BAUD);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return dialog_->m_stStatus->text() == "Status: Detecting Baud Rate"; }, 5000));
    state_.SetStatus(STATUS_WAITING);
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return dialog_->m_stStatus->text() == "Status: Waiting.."; }, 5000));
    EXPECT_TRUE(dialog_->m_nTimer->isSingleShot());
    EXPECT_EQ(dialog_->m_nTimer->interval(), 10);
}

}  // namespace
}  // namespace morvane::testing_app
