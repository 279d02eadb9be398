// The hidden window that holds off log-off and shutdown for morvane-cli.exe while a load runs,
// asked as Windows asks it when a session ends.
#include "platform/session_end_win32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "platform/power.h"
#include "tests/support/shutdown_reasons_win32.h"

namespace morvane {
namespace {

TEST(SessionEndGuard, HoldsOffTheSessionsEndOnlyWhileALoadRunsAndStopsItWhenItEndsAllTheSame) {
    std::atomic<int> ended{0};
    testing::CRecordedShutdownReasons reasons;
    {
        const CSessionEndGuard guard(
            "a load is running", [&] { ended.fetch_add(1); }, &reasons);
        const HWND window = guard.Window();
        ASSERT_NE(window, nullptr);
        EXPECT_FALSE(::IsWindowVisible(window));
        auto mayEnd = [window] {
            return ::SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF) != FALSE;
        };
        // Nothing going out (a watch waiting, a probe): the session may end.
        EXPECT_TRUE(mayEnd());
        {
            // Each load holds the PC awake, on its own thread, for as long as it runs.
            std::optional<CAwakeLock> first = SystemPowerService().HoldAwake("a load is running");
            const CAwakeLock second = SystemPowerService().HoldAwake("a load is running");
            first.reset();
            EXPECT_FALSE(mayEnd());
            // Windows shows why beside the program, once, for as long as any load runs.
            EXPECT_EQ(reasons.Calls(1), std::vector<std::string>{"registered: a load is running"});
            // The user chose not to end the session after all: the load goes on.
            (void)::SendMessageW(window, WM_ENDSESSION, FALSE, 0);
            EXPECT_EQ(ended.load(), 0);
            (void)::SendMessageW(window, WM_ENDSESSION, TRUE, 0);
            EXPECT_EQ(ended.load(), 1);
        }
        EXPECT_TRUE(mayEnd());
        EXPECT_EQ(reasons.Calls(2),
                  (std::vector<std::string>{"registered: a load is running", "withdrawn"}));
    }
    // A second guard, as the next run of the same program makes, works as the first.
    const CSessionEndGuard again("a load is running", [] {});
    ASSERT_NE(again.Window(), nullptr);
    const CAwakeLock load = SystemPowerService().HoldAwake("a load is running");
    EXPECT_EQ(::SendMessageW(again.Window(), WM_QUERYENDSESSION, 0, 0), FALSE);
}

}  // namespace
}  // namespace morvane
