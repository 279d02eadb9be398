// The real waits, on the real clock: never shorter than asked, and a wait on a thread that has
// an event pump keeps serving it. These take a few tens of milliseconds of real time.
#include "loader/wait_pumping.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "loader/load_seams.h"

namespace morvane::testing {
namespace {

// A pump that serves one piece of work at once twice and then blocks until the deadline, as a
// window's event loop does when events arrive early in a wait.
class FakePump : public IEventPump {
public:
    void PumpUntil(std::chrono::steady_clock::time_point deadline) override {
        deadlines.push_back(deadline);
        if (deadlines.size() > 2) std::this_thread::sleep_until(deadline);
    }
    std::vector<std::chrono::steady_clock::time_point> deadlines;
};

TEST(WaitPumping, ServesTheThreadsPumpAndIsNeverShorter) {
    using Clock = std::chrono::steady_clock;
    FakePump pump;
    SetThreadEventPump(&pump);
    const Clock::time_point start = Clock::now();
    WaitPumping(30);
    const Clock::time_point end = Clock::now();
    SetThreadEventPump(nullptr);

    EXPECT_GE(end - start, std::chrono::milliseconds(30));
    ASSERT_GE(pump.deadlines.size(), 3u);
    for (const Clock::time_point d : pump.deadlines) EXPECT_EQ(d, pump.deadlines.front());
    EXPECT_GE(pump.deadlines.front() - start, std::chrono::milliseconds(30));

    // The pump belongs to the thread that registered it. (Its own sleeps may end a little early
    // and call it again, so count only what the other thread's wait would add.)
    const std::size_t served = pump.deadlines.size();
    SetThreadEventPump(&pump);
    std::thread other([] {
        const Clock::time_point t0 = Clock::now();
        WaitPumping(10);
        EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(10));
    });
    other.join();
    SetThreadEventPump(nullptr);
    EXPECT_EQ(pump.deadlines.size(), served);
}

// A thread without a pump waits on its system queue (Windows) or plainly.
TEST(WaitPumping, RealWaitsAreNeverShorter) {
    using Clock = std::chrono::steady_clock;
    for (const unsigned ms : {0U, 1U, 15U}) {
        const Clock::time_point t0 = Clock::now();
        RealWaits().WaitPumping(ms);
        EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(ms));
    }
}

}  // namespace
}  // namespace morvane::testing
