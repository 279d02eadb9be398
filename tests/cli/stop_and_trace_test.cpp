// The terminal's own pieces around a load: Ctrl-C's two steps, and the wire trace.
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "cli/stop_requests.h"
#include "cli/trace_comm_dev.h"
#include "tests/support/scripted_device.h"

namespace morvane {
namespace {

using namespace std::chrono_literals;
using testing::ScriptedDevice;
using testing::Silent;

TEST(InterruptPolicy, SecondCtrlCWithinTheGraceStopsLaterOnesForceTheExit) {
    using Action = CInterruptPolicy::Action;
    const auto t0 = std::chrono::steady_clock::time_point{} + 1000s;
    struct Row {
        std::vector<std::chrono::milliseconds> at;  // times of the presses after t0
        std::vector<Action> actions;
    };
    const Row rows[] = {
        {{0ms}, {Action::Warn}},
        {{0ms, 4999ms}, {Action::Warn, Action::Stop}},
        {{0ms, 5000ms}, {Action::Warn, Action::Stop}},
        {{0ms, 5001ms}, {Action::Warn, Action::Warn}},  // too late: warns again, a new grace starts
        {{0ms, 6000ms, 7000ms}, {Action::Warn, Action::Warn, Action::Stop}},
        {{0ms, 100ms, 200ms}, {Action::Warn, Action::Stop, Action::ForceExit}},
    };
    for (const Row& r : rows) {
        CInterruptPolicy policy;
        std::vector<Action> actions;
        for (auto at : r.at) actions.push_back(policy.OnInterrupt(t0 + at));
        EXPECT_EQ(actions, r.actions)
            << r.at.size() << " presses, the last at " << r.at.back().count() << " ms";
    }
}

TEST(TraceDevice, ForwardsEverythingAndWritesOneLinePerTransfer) {
    testing::WireLog log;
    auto fake = std::make_unique<ScriptedDevice>(log, Silent());
    ScriptedDevice* inner = fake.get();
    std::ostringstream out;
    auto now = std::chrono::steady_clock::time_point{} + 100s;
    CTraceCommDev trace(std::move(fake), "COM5", out, [&now] { return now; });

    ASSERT_TRUE(trace.Open(5));
    EXPECT_EQ(trace.LineSettings().BaudRate, 9600U);  // the real device's settings show through
    trace.LineSettings().BaudRate = 19200;            // as the serial link sets the rate
    ASSERT_TRUE(trace.SetHandshake(false));
    ASSERT_TRUE(trace.ApplyCommState());
    EXPECT_EQ(log.lineRate, 19200U);
    now += 1500ms;
    ASSERT_TRUE(trace.Write("$JI\r\n", 5));
    char buffer[64];
    EXPECT_EQ(trace.Read(buffer, sizeof buffer), 0);  // an empty poll is not traffic
    inner->Arrive("$>JI,1\x01");
    now += 250ms;
    EXPECT_EQ(trace.Read(buffer, sizeof buffer), 7);
    trace.Close();
    trace.Close();  // already closed: no second note
    EXPECT_FALSE(trace.IsOpen());
    EXPECT_EQ(log.Written(), "$JI\r\n");

    EXPECT_EQ(out.str(),
              "     0.000        open COM5 at 9600 baud\n"
              "     0.000        line rate 19200 baud\n"
              "     1.500  19200 >    5  24 4A 49 0D 0A  |$JI..|\n"
              "     1.750  19200 <    7  24 3E 4A 49 2C 31 01  |$>JI,1.|\n"
              "     1.750        close\n");
}

TEST(TraceDevice, AFailedWriteIsMarked) {
    std::ostringstream out;
    CTraceCommDev trace(std::make_unique<ScriptedDevice>(Silent()), "COM5", out);
    EXPECT_FALSE(trace.Write("A", 1));  // not open
    EXPECT_NE(out.str().find("41  |A|  write failed\n"), std::string::npos) << out.str();
}

TEST(TraceDevice, AFailedOpenOfASessionIsTracedWithItsReason) {
    std::ostringstream trace;
    SessionDeps deps;
    deps.device = std::make_unique<ScriptedDevice>(testing::RefusesOpen());
    deps.decorate = TraceTo(trace, "COM5");
    CLoadSession session(LoadRequest{5, "", false, false}, std::move(deps));
    session.Start();
    EXPECT_EQ(session.Join().openError.kind, OpenErrorKind::Busy);
    EXPECT_NE(trace.str().find("open COM5 (/dev/ttyFAKE0) failed: Device or resource busy"),
              std::string::npos)
        << trace.str();
}

}  // namespace
}  // namespace morvane
