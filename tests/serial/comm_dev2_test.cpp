// What every platform's device shares: a write counts once its bytes have left the PC, waited for
// on the device's clock (virtual here) and bounded by the write time-out.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "serial/comm_dev2_shared.h"

namespace morvane {
namespace {

using namespace std::chrono_literals;

TEST(CommDev2, AWriteWaitsUntilTheDriversQueueIsEmpty) {
    struct Row {
        const char* name;
        std::optional<std::chrono::milliseconds> lineTime;  // of the queued bytes; none: unknown
        bool sent;
        std::chrono::milliseconds waited;
    };
    // 50 bytes at 19200 Bd take 26.04 ms on the line.
    const Row rows[] = {
        {"a queue that drains at the line rate", 26ms, true, 27ms},
        {"a driver that cannot tell", std::nullopt, true, 0ms},
        {"a queue that never drains", 1h, false, 1000ms},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const CommClock::time_point start{};
        CommClock::time_point now = start;
        const auto queued = [&]() -> std::optional<std::uint32_t> {
            if (!row.lineTime) return std::nullopt;
            const auto left = start + *row.lineTime - now;
            return left > 0ms ? std::optional<std::uint32_t>(
                                    static_cast<std::uint32_t>((left * 1920 + 999ms) / 1000ms))
                              : 0u;
        };
        int sleeps = 0;
        const bool sent = WaitUntilSent(
            queued, [&] { return now; },
            [&](CommClock::time_point t) {
                EXPECT_GT(t, now);
                now = t;
                ++sleeps;
            },
            start + kWriteTimeout, 19200);
        EXPECT_EQ(sent, row.sent);
        EXPECT_EQ(now - start, row.waited);
        EXPECT_LE(sleeps, row.sent ? 2 : 40);  // it looks again after the bytes' line time
    }
}

}  // namespace
}  // namespace morvane
