// The Linux power services against logind and UPower stood in on a private system bus.
#include <gtest/gtest.h>

#include "platform/power.h"
#include "tests/support/mock_system_bus.h"

namespace morvane {
namespace {

using testing::CMockSystemBus;

constexpr const char* kWhy = "a load is running";

TEST(LinuxPower, WithoutLogindOrUPowerALoadGoesOnAndTheBatteryIsUnknown) {
    CMockSystemBus bus;
    ASSERT_TRUE(bus.Ready());
    EXPECT_FALSE(SystemPowerService().HoldAwake(kWhy).Held());
    EXPECT_EQ(SystemPowerService().ReadBattery(), SBatteryReading{});
}

TEST(LinuxPower, TheInhibitorLockBlocksSleepAndShutdownUntilReleased) {
    CMockSystemBus bus;
    ASSERT_TRUE(bus.StartLogind());
    {
        CAwakeLock lock = SystemPowerService().HoldAwake(kWhy);
        ASSERT_TRUE(lock.Held());
        const std::vector<testing::SInhibitor> inhibitors = bus.Inhibitors();
        ASSERT_EQ(inhibitors.size(), 1u);
        EXPECT_EQ(inhibitors[0].what, "sleep:shutdown");
        EXPECT_EQ(inhibitors[0].who, "Morvane");
        EXPECT_EQ(inhibitors[0].why, kWhy);
        EXPECT_EQ(inhibitors[0].mode, "block");
        // Handed on, the lock is still held once.
        const CAwakeLock moved = std::move(lock);
        EXPECT_TRUE(moved.Held());
        EXPECT_FALSE(lock.Held());  // NOLINT(bugprone-use-after-move): moved from on purpose
        EXPECT_TRUE(bus.WaitForInhibitor("Morvane", "sleep", true));
    }
    EXPECT_TRUE(bus.WaitForInhibitor("Morvane", "sleep", false));
}

// UPower's numbers: type 2 battery, 3 UPS, 1 line power; state 1 charging, 2 discharging,
// 4 fully charged, 6 pending discharge.
TEST(LinuxPower, TheBatteryAsUPowerTellsIt) {
    CMockSystemBus bus;
    ASSERT_TRUE(bus.StartUPower());
    struct Row {
        bool present;
        unsigned type, state;
        double percentage;
        SBatteryReading reading;
        bool tooLow;
    };
    const Row rows[] = {
        {true, 2, 2, 9.7, {true, true, 9}, true},
        {true, 2, 6, 3.0, {true, true, 3}, true},
        {true, 2, 2, 10.0, {true, true, 10}, false},
        {true, 2, 1, 4.0, {true, false, 4}, false},  // the charger is in
        {true, 2, 4, 100.0, {true, false, 100}, false},
        {true, 3, 2, 5.0, {true, true, 5}, true},  // a UPS carrying a desktop
        {false, 2, 2, 5.0, {}, false},             // no battery in the bay
        {true, 1, 0, 0.0, {}, false},              // a desktop on the mains
    };
    for (const Row& row : rows) {
        ASSERT_TRUE(bus.SetDisplayDevice(row.present, row.type, row.state, row.percentage));
        const SBatteryReading reading = SystemPowerService().ReadBattery();
        EXPECT_EQ(reading, row.reading) << row.type << "/" << row.state << " " << row.percentage;
        EXPECT_EQ(BatteryTooLowToLoad(reading), row.tooLow) << row.percentage;
    }
}

}  // namespace
}  // namespace morvane
