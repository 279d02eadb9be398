// The waits that pace a load, on the real clock: never shorter than asked, whether they end by
// the system's timer or by a high-resolution one. These take a few tens of milliseconds.
#include "platform/pacing.h"

#include <gtest/gtest.h>

#include <chrono>

#include "platform/wake_event.h"

namespace morvane {
namespace {

using Clock = std::chrono::steady_clock;

TEST(Pacing, WaitsAreNeverShorterThanAsked) {
    const CPacingScope pacing;
    const CPacingScope
        nested;  // a load inside a program that paces already gives back only its own
    CWakeEvent neverRaised;
    for (const int ms : {0, 1, 15, 20}) {
        SCOPED_TRACE(std::to_string(ms) + " ms");
        Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
        SleepUntil(deadline);
        EXPECT_GE(Clock::now(), deadline);

        deadline = Clock::now() + std::chrono::milliseconds(ms);
        EXPECT_FALSE(neverRaised.WaitUntil(deadline));
        EXPECT_GE(Clock::now(), deadline);
    }
}

}  // namespace
}  // namespace morvane
