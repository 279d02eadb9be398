// The hidden window that holds off log-off and shutdown for morvane-cli.exe, asked as Windows asks
// it when a session ends.
#include "platform/session_end_win32.h"

#include <gtest/gtest.h>

#include <atomic>

namespace morvane {
namespace {

TEST(SessionEndGuard, RefusesToLetTheSessionEndAndStopsTheLoadWhenItEndsAllTheSame) {
    std::atomic<int> ended{0};
    {
        const CSessionEndGuard guard("a load is running", [&] { ended.fetch_add(1); });
        const HWND window = guard.Window();
        ASSERT_NE(window, nullptr);
        EXPECT_FALSE(::IsWindowVisible(window));
        EXPECT_EQ(::SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), FALSE);
        // The user chose not to end the session after all: the load goes on.
        (void)::SendMessageW(window, WM_ENDSESSION, FALSE, 0);
        EXPECT_EQ(ended.load(), 0);
        (void)::SendMessageW(window, WM_ENDSESSION, TRUE, 0);
        EXPECT_EQ(ended.load(), 1);
    }
    // A second guard, as the next load of the same program makes, works as the first.
    const CSessionEndGuard again("a load is running", [] {});
    ASSERT_NE(again.Window(), nullptr);
    EXPECT_EQ(::SendMessageW(again.Window(), WM_QUERYENDSESSION, 0, 0), FALSE);
}

}  // namespace
}  // namespace morvane
