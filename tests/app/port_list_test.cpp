#include <QTest>

#include "tests/app/dialog_fixture.h"

namespace morvane::testing_app {
namespace {

using PortListTest = DialogTest;

TEST_F(PortListTest, NoPortsAndNoComOffersOnlyThePlaceholder) {
    Open({});
    ASSERT_EQ(ItemData(), std::vector<int>{0});
    EXPECT_EQ(ItemText(0), "Select Comport");
    EXPECT_EQ(dialog_->m_cbComPort->currentIndex(), 0);
    EXPECT_FALSE(dialog_->m_btnLoad->isEnabled());

    // Confirming the placeholder enables Load, but Load then starts nothing.
    emit dialog_->m_cbComPort->activated(0);
    EXPECT_TRUE(dialog_->m_btnLoad->isEnabled());
    dialog_->m_btnLoad->click();
    EXPECT_EQ(loadsStarted_, 0);
    EXPECT_FALSE(dialog_->IsLoadActive());
}

TEST_F(PortListTest, PortsFollowThePlaceholderWithTheirNumbers) {
    Open({Port("COM1", "Communications Port (COM1)"), Port("COM10", "USB Serial Port (COM10)")});
    EXPECT_EQ(ItemData(), (std::vector<int>{0, 1, 10}));
    EXPECT_EQ(ItemText(2), "USB Serial Port (COM10)");
    EXPECT_EQ(dialog_->m_cbComPort->currentIndex(), 0);
    EXPECT_FALSE(dialog_->m_btnLoad->isEnabled());
}

TEST_F(PortListTest, ComPortMissingFromTheListIsAppended) {
    Open({Port("COM1", "COM1"), Port("COM3", "COM3")}, 7);
    EXPECT_EQ(ItemData(), (std::vector<int>{1, 3, 7}));
    EXPECT_EQ(ItemText(2), "COM 7");
    EXPECT_EQ(dialog_->m_cbComPort->currentIndex(), 0);
    EXPECT_FALSE(dialog_->m_btnLoad->isEnabled());
}

TEST_F(PortListTest, ComPortInTheListIsNotAddedAgain) {
    Open({Port("COM1", "COM1"), Port("COM3", "COM3"), Port("COM7", "COM7")}, 7);
    EXPECT_EQ(ItemData(), (std::vector<int>{1, 3, 7}));
    // The first port is selected, not the one named on the command line.
    EXPECT_EQ(dialog_->m_cbComPort->currentIndex(), 0);
    EXPECT_FALSE(dialog_->m_btnLoad->isEnabled());
}

TEST_F(PortListTest, SelectionEnablesLoadOnlyForAPort) {
    Open({Port("COM4", "COM4"), Port("COM12", "COM12")});
    dialog_->m_cbComPort->setCurrentIndex(2);
    EXPECT_TRUE(dialog_->m_btnLoad->isEnabled());
    dialog_->m_cbComPort->setCurrentIndex(0);
    EXPECT_FALSE(dialog_->m_btnLoad->isEnabled());

    // The keyboard changes and confirms the selection in one go.
    dialog_->m_cbComPort->setFocus();
    QTest::keyClick(dialog_->m_cbComPort, Qt::Key_Down);
    EXPECT_EQ(dialog_->m_cbComPort->currentIndex(), 1);
    EXPECT_TRUE(dialog_->m_btnLoad->isEnabled());
}

TEST_F(PortListTest, DiscoveryFailureIsReportedAndTheListStillWorks) {
    enumError_ = "Port discovery failed: /sys/class/tty: Permission denied";
    Open({});
    ASSERT_EQ(errors_, std::vector<CString>{enumError_});
    EXPECT_EQ(ItemData(), std::vector<int>{0});
    EXPECT_EQ(ItemText(0), "Select Comport");

    errors_.clear();
    dialog_.reset();
    Open({}, 5);
    EXPECT_EQ(errors_.size(), 1u);
    EXPECT_EQ(ItemData(), std::vector<int>{5});
    EXPECT_EQ(ItemText(0), "COM 5");
}

}  // namespace
}  // namespace morvane::testing_app
