#include <atomic>
#include <stdexcept>

#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include "loader/loader_w6.h"
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

    // Each way of closing is refused, and says why once.
    dialog_->reject();
    EXPECT_EQ(notices_.size(), 1u);
    QTest::keyClick(dialog_.get(), Qt::Key_Escape);
    EXPECT_FALSE(dialog_->close());
    dialog_->OnExit();
    EXPECT_TRUE(dialog_->isVisible());
    EXPECT_EQ(notices_, std::vector<SNotice>(4, SNotice{kCloseRefusedText, ""}));
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

// The field always names the port Load opens: text typed into it never stays on screen.
TEST_F(LoadTest, ThePortFieldShowsThePortLoaded) {
    std::atomic<int> portSeen{0};
    script_ = [&](SLoaderState& state, LoaderDeps&) { portSeen = state.GetComPort(); };
    dialog_->m_cbComPort->setFocus();
    QTest::keyClicks(dialog_->m_cbComPort, "COM 9");
    QTest::keyClick(dialog_->m_cbComPort, Qt::Key_Return);
    ASSERT_TRUE(WaitForIdle());
    dialog_->m_btnLoad->click();
    ASSERT_TRUE(WaitForIdle());
    ASSERT_GE(loadsStarted_, 1);
    const int shown = dialog_->m_cbComPort->findText(dialog_->m_cbComPort->currentText());
    ASSERT_GE(shown, 0) << dialog_->m_cbComPort->currentText().toStdString();
    EXPECT_EQ(dialog_->m_cbComPort->itemData(shown).toInt(), portSeen);
}

// A port that will not open keeps its status line, and the window says why and what to do, in
// the words morvane-cli uses.
TEST_F(LoadTest, APortThatWillNotOpenSaysWhy) {
    OpenError busy;
    busy.kind = OpenErrorKind::Busy;
    busy.devicePath = "/nonexistent/ttyUSB4";
    busy.osText = "Device or resource busy";
    dialog_->SetLoaderFactory([&](SLoaderState* state, LoaderDeps deps) {
        deps.device = std::make_unique<CRefusingDevice>(busy);
        return std::unique_ptr<CLoader>(std::make_unique<CLoaderW6>(state, std::move(deps)));
    });
    dialog_->m_btnLoad->click();
    ASSERT_TRUE(WaitForIdle());
    ASSERT_TRUE(QTest::qWaitFor([this] { return !notices_.empty(); }, 5000));
    EXPECT_EQ(dialog_->m_stStatus->text(), "Status: Can't Connect, Invalid COM Port");
    ASSERT_EQ(notices_.size(), 1u);
    EXPECT_EQ(notices_[0], OpenFailureNotice(busy, 5, OpenErrorFacts{}));
    EXPECT_EQ(notices_[0].text, "Invalid Comport, or Comport in use!");
    EXPECT_TRUE(notices_[0].detail.starts_with(
        "Cannot open COM5 (/nonexistent/ttyUSB4): the port is in use (Device or resource busy).\n"
        "Another program holds it: close it"))
        << notices_[0].detail;
}

// No figure of a load that is over stands beside the status of the next one, and a failed load
// leaves no remaining time behind; the firmware found stays.
TEST_F(LoadTest, FiguresOfALoadThatIsOverGo) {
    Gate firmwareShown;
    script_ = [&](SLoaderState& state, LoaderDeps&) {
        state.SetFirmwareText("1.20");
        state.SetFirmwareDetected(true);
        state.SetStatus(STATUS_CONNECTED);
        firmwareShown.Wait();
        state.SetTotalBytes(136352);
        state.SetSentBytes(136352);
        state.SetRemainingSeconds(0);
        state.SetStatus(STATUS_FIRMWARE_COMPLETE);
    };
    dialog_->m_btnLoad->click();
    EXPECT_TRUE(QTest::qWaitFor(
        [this] { return dialog_->m_stFirmwareOnDevice->text() == "Firmware on Device: 1.20"; },
        5000));
    firmwareShown.Open();
    ASSERT_TRUE(WaitForIdle());
    ASSERT_EQ(dialog_->m_stPercent->text(), "100%");

    Gate detecting;
    Gate release;
    script_ = [&](SLoaderState& state, LoaderDeps&) {
        state.SetStatus(STATUS_DETECTING_BAUD);
        detecting.Open();
        release.Wait();
        state.SetTotalBytes(136352);
        state.SetSentBytes(99550);
        state.SetRemainingSeconds(33);
        state.SetStatus(STATUS_BLOCK_FAILED);
    };
    dialog_->m_btnLoad->click();
    detecting.Wait();
    EXPECT_TRUE(QTest::qWaitFor(
        [this] { return dialog_->m_stStatus->text() == "Status: Detecting Baud Rate"; }, 5000));
    EXPECT_EQ(dialog_->m_stProgress->text(), "Progress: N/A");
    EXPECT_EQ(dialog_->m_stPercent->text(), "0%");
    EXPECT_EQ(dialog_->m_progress->value(), 0);
    EXPECT_EQ(dialog_->m_stRemainingTime->text(), "Remaining Time: N/A");
    EXPECT_EQ(dialog_->m_stFirmwareOnDevice->text(), "Firmware on Device: 1.20");
    release.Open();
    ASSERT_TRUE(WaitForIdle());
    EXPECT_EQ(dialog_->m_stStatus->text(), "Status: Firmware Block Failed");
    EXPECT_EQ(dialog_->m_stRemainingTime->text(), "Remaining Time: N/A");
}

}  // namespace
}  // namespace morvane::testing_app
