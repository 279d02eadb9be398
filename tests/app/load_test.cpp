#include <atomic>
#include <stdexcept>

#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include "record/loader_status.h"
#include "tests/app/dialog_fixture.h"

namespace morvane::testing_app {
namespace {

class LoadTest : public DialogTest {
protected:
    void SetUp() override {
        Open({Port("COM3", "COM3"), Port("COM5", "USB Serial Port (COM5)")});
        dialog_->show();
        dialog_->m_cbComPort->setCurrentIndex(2);
        ASSERT_TRUE(dialog_->m_btnLoad->isEnabled());
    }
    bool WaitForIdle() {
        return QTest::qWaitFor([this] { return !dialog_->IsLoadActive(); }, 10000);
    }
    bool ControlsEnabled() const {
        return dialog_->m_btnLoad->isEnabled() && dialog_->m_btnExit->isEnabled() &&
               dialog_->m_cbComPort->isEnabled();
    }
    bool ControlsDisabled() const {
        return !dialog_->m_btnLoad->isEnabled() && !dialog_->m_btnExit->isEnabled() &&
               !dialog_->m_cbComPort->isEnabled();
    }
};

TEST_F(LoadTest, ControlsAreLockedWhileALoadRunsAndClosingIsRefused) {
    Gate release;
    std::atomic<int> portSeen{0};
    script_ = [&](SLoaderState& state, LoaderDeps&) {
        portSeen = state.GetComPort();
        state.SetStatus(STATUS_UPDATING_FIRMWARE);
        release.Wait();
        state.SetTotalBytes(136352);
        state.SetSentBytes(136352);
        state.SetRemainingSeconds(0);
        state.SetStatus(STATUS_FIRMWARE_COMPLETE);
    };
    // Only the worker's last pass may show the outcome.
    dialog_->m_nTimer->stop();
    QTest::mouseClick(dialog_->m_btnLoad, Qt::LeftButton);
    ASSERT_EQ(loadsStarted_, 1);
    EXPECT_TRUE(dialog_->IsLoadActive());
    EXPECT_TRUE(ControlsDisabled());
    EXPECT_EQ(dialog_->m_progress->value(), 0);

    dialog_->reject();
    QTest::keyClick(dialog_.get(), Qt::Key_Escape);
    EXPECT_FALSE(dialog_->close());
    dialog_->OnExit();
    EXPECT_TRUE(dialog_->isVisible());
    QTest::keyClick(dialog_.get(), Qt::Key_Return);  // Load is the default button, but disabled
    EXPECT_EQ(loadsStarted_, 1);

    release.Open();
    ASSERT_TRUE(WaitForIdle());
    EXPECT_EQ(portSeen, 5);
    EXPECT_TRUE(ControlsEnabled());
    EXPECT_EQ(dialog_->m_cbComPort->currentIndex(), 2);
    EXPECT_EQ(dialog_->m_stStatus->text(), "Status: Firmware Update Complete");
    EXPECT_EQ(dialog_->m_stProgress->text(), "Progress: 136352/136352");
    EXPECT_EQ(dialog_->m_stPercent->text(), "100%");
    EXPECT_EQ(dialog_->m_progress->value(), 100);
    EXPECT_FALSE(state_.GetLoadRunning());

    // Enter now starts a new load on the same port; afterwards the window closes again.
    release.Open();
    dialog_->m_btnLoad->setFocus();
    QTest::keyClick(dialog_.get(), Qt::Key_Return);
    ASSERT_TRUE(WaitForIdle());
    EXPECT_EQ(loadsStarted_, 2);
    EXPECT_EQ(portSeen, 5);
    QTest::keyClick(dialog_.get(), Qt::Key_Escape);
    EXPECT_FALSE(dialog_->isVisible());
}

TEST_F(LoadTest, WaitingForTheLoadServesTheWorkersCallsOnTheWindow) {
    Gate release;
    script_ = [&](SLoaderState& state, LoaderDeps&) {
        release.Wait();
        state.SetStatus(STATUS_FIRMWARE_COMPLETE);
    };
    dialog_->m_btnLoad->click();
    QTimer::singleShot(20, [&release] { release.Open(); });
    dialog_->WaitForLoadToEnd();
    EXPECT_FALSE(dialog_->IsLoadActive());
    EXPECT_TRUE(ControlsEnabled());
    EXPECT_EQ(dialog_->m_stStatus->text(), "Status: Firmware Update Complete");
}

TEST_F(LoadTest, AFailedLoadStillShowsItsOutcome) {
    dialog_->m_nTimer->stop();
    script_ = [](SLoaderState& state, LoaderDeps&) { state.SetStatus(STATUS_INVALID_PORT); };
    dialog_->m_btnLoad->click();
    ASSERT_TRUE(WaitForIdle());
    EXPECT_EQ(dialog_->m_stStatus->text(), "Status: Can't Connect, Invalid COM Port");
    EXPECT_TRUE(ControlsEnabled());
}

TEST_F(LoadTest, ALoaderThatThrowsGivesTheWindowBack) {
    script_ = [](SLoaderState& state, LoaderDeps&) {
        state.SetStatus(STATUS_DETECTING_BAUD);
        throw std::runtime_error("wait interrupted");
    };
    dialog_->m_btnLoad->click();
    ASSERT_TRUE(WaitForIdle());
    EXPECT_TRUE(ControlsEnabled());
    EXPECT_EQ(dialog_->m_stStatus->text(), "Status: Detecting Baud Rate");
}

TEST_F(LoadTest, TheLoadersMessageBoxHoldsTheWorkerUntilAnswered) {
    std::atomic<bool> boxAnswered{false};
    std::atomic<bool> returnedAfterAnswer{false};
    script_ = [&](SLoaderState& state, LoaderDeps& deps) {
        state.SetStatus(STATUS_FIRMWARE_COMPLETE);
        ASSERT_NE(deps.prompt, nullptr);
        deps.prompt->ShowMessage("Load Completed\t");
        returnedAfterAnswer = boxAnswered.load();
    };
    QString shown;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) return;
        shown = box->text();
        // The worker is blocked in the box: the window is still locked.
        EXPECT_TRUE(dialog_->IsLoadActive());
        boxAnswered = true;
        box->accept();
    });
    answer.start(20);
    dialog_->m_btnLoad->click();
    ASSERT_TRUE(WaitForIdle());
    EXPECT_EQ(shown, "Load Completed\t");
    EXPECT_TRUE(returnedAfterAnswer);
}

}  // namespace
}  // namespace morvane::testing_app
