// The load worker every program runs its loads on: its waits, its queued prompts, and how a
// load's end reaches the program.
#include "session/load_session.h"

#include <gtest/gtest.h>

#include <thread>

#include "record/loader_status.h"
#include "tests/support/fake_device.h"
#include "tests/support/fake_power.h"

namespace morvane {
namespace {

using namespace std::chrono_literals;
using testing_support::CFakeDevice;
using testing_support::SDeviceLog;

SessionDeps WithDevice(std::unique_ptr<ISerialDevice> device) {
    SessionDeps deps;
    deps.device = std::move(device);
    return deps;
}

TEST(CancellableWaits, ACancelEndsTheWaitAtOnceAndEveryLaterOne) {
    CCancellableWaits waits;
    waits.WaitPumping(0);
    waits.Sleep(0);
    EXPECT_FALSE(waits.Cancelled());

    std::thread canceller([&] { waits.Cancel(); });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(waits.WaitPumping(600000), LoadCancelled);  // woken, not timed out
    EXPECT_LT(std::chrono::steady_clock::now() - start, 60s);
    canceller.join();
    EXPECT_TRUE(waits.Cancelled());
    EXPECT_THROW(waits.Sleep(600000), LoadCancelled);
    EXPECT_THROW(waits.WaitPumping(0), LoadCancelled);
}

TEST(QueuedPrompt, HandsOverTheTextsInOrderOnce) {
    CQueuedPrompt prompt;
    prompt.ShowMessage("Load Completed\t");
    prompt.ShowMessage("second");
    EXPECT_EQ(prompt.Take(), (std::vector<CString>{"Load Completed\t", "second"}));
    EXPECT_TRUE(prompt.Take().empty());
}

// The window hands its controls back from the end hook: by then the load is over in the record,
// the port is closed, and the outcome says why the port would not open.
// The PC is held awake from before the port opens until the load has ended, and let go by then.
TEST(LoadSession, AnUnopenablePortEndsTheLoadWithTheDevicesReason) {
    SDeviceLog log;
    SLoaderState shared;
    testing::CFakePower power;
    SessionDeps deps = WithDevice(std::make_unique<CFakeDevice>(log, OpenErrorKind::Busy));
    deps.state = &shared;
    deps.power = &power;
    deps.awakeReason = "a load is running";
    int heldAtOpen = -1;
    deps.decorate = [&](std::unique_ptr<ISerialDevice> device) {
        heldAtOpen = power.held.load();
        return device;
    };
    std::optional<LoadOutcome> seenAtEnd;
    bool runningAtEnd = true;
    int heldAtEnd = -1;
    deps.onEnded = [&](const LoadOutcome& outcome) {
        seenAtEnd = outcome;
        runningAtEnd = shared.GetLoadRunning();
        heldAtEnd = power.held.load();
    };
    CLoadSession session(LoadRequest{5, "", false, false}, std::move(deps));
    session.Start();
    const LoadOutcome& outcome = session.Join();
    EXPECT_TRUE(session.Done());
    EXPECT_FALSE(outcome.cancelled);
    EXPECT_EQ(outcome.status, STATUS_INVALID_PORT);
    EXPECT_EQ(outcome.openError.kind, OpenErrorKind::Busy);
    EXPECT_EQ(outcome.openError.devicePath, "/dev/ttyFAKE0");
    EXPECT_EQ(log.writes, 0);
    EXPECT_EQ(&session.State(), &shared);
    ASSERT_TRUE(seenAtEnd);
    EXPECT_EQ(seenAtEnd->status, STATUS_INVALID_PORT);
    EXPECT_FALSE(runningAtEnd);
    EXPECT_EQ(heldAtOpen, 1);
    EXPECT_EQ(heldAtEnd, 0);
    EXPECT_EQ(power.taken.load(), 1);
    EXPECT_EQ(power.Why(), "a load is running");
}

// A probe sends nothing that sleep could cut off, and takes no awake lock.
TEST(LoadSession, ACancelUnwindsTheLoadAndClosesThePort) {
    for (const bool probe : {false, true}) {
        SCOPED_TRACE(probe ? "probe" : "load");
        SDeviceLog log;
        testing::CFakePower power;
        SessionDeps deps = WithDevice(std::make_unique<CFakeDevice>(log));
        deps.power = &power;
        CLoadSession session(LoadRequest{5, "", probe, false}, std::move(deps));
        session.Cancel();  // the first wait of the load throws
        session.Start();
        const LoadOutcome& outcome = session.Join();
        EXPECT_TRUE(outcome.cancelled);
        EXPECT_EQ(outcome.status, STATUS_DETECTING_BAUD);
        EXPECT_GE(log.opens, 1);
        EXPECT_FALSE(log.open);
        EXPECT_FALSE(session.State().GetLoadRunning());
        EXPECT_EQ(power.taken.load(), probe ? 0 : 1);
        EXPECT_EQ(power.held.load(), 0);
    }
}

TEST(LoadSession, PortLabels) {
    EXPECT_EQ(CLoadSession(LoadRequest{33, "", false, false}).PortLabel(), "COM33");
    EXPECT_EQ(CLoadSession(LoadRequest{0, "/dev/ttyACM0", false, false}).PortLabel(),
              "/dev/ttyACM0");
}

}  // namespace
}  // namespace morvane
