// The Qt window as glue: one load through the real dialog, driven with the mouse and the keyboard
// (what the window does is tested once, against the controller).
#include <QApplication>
#include <QTest>

#include "record/loader_status.h"
#include "tests/app/dialog_fixture.h"

namespace morvane::testing_app {
namespace {

TEST_F(DialogTest, ALoadRunsThroughTheWindow) {
    Open({Port("COM3", "COM3"), Port("COM5", "USB Serial Port (COM5)")});
    dialog_->show();
    EXPECT_FALSE(Button(IDC_LOAD)->isEnabled());
    PortList()->setFocus();
    QTest::keyClick(PortList(), Qt::Key_Down);
    QTest::keyClick(PortList(), Qt::Key_Down);
    ASSERT_EQ(PortList()->currentIndex(), 2);
    ASSERT_TRUE(Button(IDC_LOAD)->isEnabled());

    SHalfwayLoad load;
    script_ = load.Script();
    QTest::mouseClick(Button(IDC_LOAD), Qt::LeftButton);
    EXPECT_FALSE(Button(IDC_LOAD)->isEnabled() || Button(IDC_EXIT)->isEnabled() ||
                 PortList()->isEnabled());
    load.halfway.Wait();
    ASSERT_EQ(loadsStarted_, 1);
    // The status timer shows what the loader writes.
    EXPECT_TRUE(QTest::qWaitFor([this] { return Label(IDC_PERCENT)->text() == "50%"; }, 5000));
    EXPECT_EQ(Label(IDC_STATUS)->text(), "Status: Updating Firmware");
    EXPECT_EQ(Label(IDC_PROGRESS_TEXT)->text(), "Progress: 68176/136352");
    EXPECT_EQ(Item<QProgressBar>(IDC_PROGRESS)->value(), 50);
    EXPECT_EQ(Label(IDC_REMAINING_TIME)->text(), "Remaining Time: 2 minutes 5 seconds");

    // Escape and the close box are refused with a reason; Enter presses no disabled Load.
    QTest::keyClick(dialog_.get(), Qt::Key_Escape);
    EXPECT_FALSE(dialog_->close());
    QTest::keyClick(dialog_.get(), Qt::Key_Return);
    EXPECT_TRUE(dialog_->isVisible());
    EXPECT_EQ(loadsStarted_, 1);
    EXPECT_EQ(boxes_, std::vector<SNotice>(2, SNotice{kCloseRefusedText, ""}));

    load.release.Open();
    ASSERT_TRUE(QTest::qWaitFor([this] { return !dialog_->Controller().IsLoadActive(); }, 10000));
    EXPECT_EQ(load.port, 5);
    EXPECT_EQ(boxes_.back(), (SNotice{"Load Completed\t", ""}));
    EXPECT_EQ(Label(IDC_STATUS)->text(), "Status: Firmware Update Complete");
    EXPECT_EQ(Label(IDC_PERCENT)->text(), "100%");
    EXPECT_TRUE(Button(IDC_LOAD)->isEnabled() && Button(IDC_EXIT)->isEnabled() &&
                PortList()->isEnabled());
    EXPECT_EQ(PortList()->currentIndex(), 2);

    // Enter starts the next load on the same port; once it is over, Escape closes the window.
    Button(IDC_LOAD)->setFocus();
    load.port = 0;
    QTest::keyClick(dialog_.get(), Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([this] { return !dialog_->Controller().IsLoadActive(); }, 10000));
    EXPECT_EQ(loadsStarted_, 2);
    EXPECT_EQ(load.port, 5);
    QTest::keyClick(dialog_.get(), Qt::Key_Escape);
    EXPECT_FALSE(dialog_->isVisible());
}

}  // namespace
}  // namespace morvane::testing_app
