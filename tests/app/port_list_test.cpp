#include <QTest>

#include "tests/app/dialog_fixture.h"

namespace morvane::testing_app {
namespace {

using PortListTest = DialogTest;

TEST_F(PortListTest, NoPortsAndNoComOffersOnlyThePlaceholder) {
    Open({});
    ASSERT_EQ(ItemData(), std::vector<int>{0});
    EXPECT_EQ(ItemText(0), "No Comport Found");
    EXPECT_EQ(dialog_->m_cbComPort->currentIndex(), 0);
    EXPECT_FALSE(dialog_->m_btnLoad->isEnabled());

    // Confirming the placeholder enables Load, but Load then starts nothing.
    emit dialog_->m_cbComPort->activated(0);
    EXPECT_TRUE(dialog_->m_btnLoad->isEnabled());
    dialog_->m_btnLoad->click();
    EXPECT_EQ(loadsStarted_, 0);
    EXPECT_FALSE(dialog_->IsLoadActive());
}

// Which items the list holds is the view's rule; the window shows them with the first selected,
// and Load waits for the user's choice even when that first item is a port.
TEST_F(PortListTest, TheListHoldsTheViewsItemsAndLoadWaits) {
    Open({Port("COM1", "COM1"), Port("COM10", "USB Serial Port (COM10)")});
    EXPECT_EQ(ItemData(), (std::vector<int>{0, 1, 10}));
    EXPECT_EQ(ItemText(2), "USB Serial Port (COM10)");
    EXPECT_EQ(dialog_->m_cbComPort->currentIndex(), 0);
    EXPECT_FALSE(dialog_->m_btnLoad->isEnabled());

    dialog_.reset();
    Open({Port("COM1", "COM1"), Port("COM3", "COM3")}, 7);
    EXPECT_EQ(ItemData(), (std::vector<int>{1, 3, 7}));
    EXPECT_EQ(ItemText(2), "COM 7");
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
    ASSERT_EQ(notices_, (std::vector<SNotice>{{enumError_, ""}}));
    EXPECT_EQ(ItemData(), std::vector<int>{0});

    // The rescans fail the same way, and say nothing more.
    dialog_->RescanPorts();
    EXPECT_EQ(notices_.size(), 1u);

    notices_.clear();
    dialog_.reset();
    Open({}, 5);
    EXPECT_EQ(notices_.size(), 1u);
    EXPECT_EQ(ItemData(), std::vector<int>{5});
    EXPECT_EQ(ItemText(0), "COM 5");
}

// While no load runs the list follows the machine's ports; the user's choice stays while its
// port is there, and Load never falls to another port when it goes.
TEST_F(PortListTest, TheListFollowsThePortsThatComeAndGo) {
    Open({Port("COM3", "COM3")});
    dialog_->m_cbComPort->setCurrentIndex(1);
    ASSERT_TRUE(dialog_->m_btnLoad->isEnabled());

    ports_ = {Port("COM1", "COM1"), Port("COM3", "COM3"), Port("COM7", "USB Serial Port (COM7)")};
    EXPECT_TRUE(QTest::qWaitFor([this] { return ItemData().size() == 4; }, 5000));
    EXPECT_EQ(ItemData(), (std::vector<int>{0, 1, 3, 7}));
    EXPECT_EQ(dialog_->m_cbComPort->currentText(), "COM3");
    EXPECT_TRUE(dialog_->m_btnLoad->isEnabled());

    ports_ = {Port("COM1", "COM1"), Port("COM7", "USB Serial Port (COM7)")};
    dialog_->RescanPorts();
    EXPECT_EQ(ItemData(), (std::vector<int>{0, 1, 7}));
    EXPECT_EQ(dialog_->m_cbComPort->currentIndex(), 0);
    EXPECT_FALSE(dialog_->m_btnLoad->isEnabled());

    ports_ = {};
    dialog_->RescanPorts();
    EXPECT_EQ(ItemData(), std::vector<int>{0});
    EXPECT_EQ(ItemText(0), "No Comport Found");

    // A port named with "-com" stays on the list when it goes.
    dialog_.reset();
    Open({Port("COM7", "COM7")}, 7);
    ports_ = {};
    dialog_->RescanPorts();
    EXPECT_EQ(ItemData(), std::vector<int>{7});
    EXPECT_EQ(ItemText(0), "COM 7");
}

}  // namespace
}  // namespace morvane::testing_app
