#include "cli/load_session.h"

#include <gtest/gtest.h>

#include <sstream>

#include "cli/trace_comm_dev.h"
#include "record/loader_status.h"

namespace morvane {
namespace {

using namespace std::chrono_literals;

// What a fake device saw; outlives the device, which the loader owns and destroys.
struct SDeviceLog {
    int opens = 0;
    int writes = 0;
    bool open = false;
    std::uint32_t appliedRate = 0;
    std::string written;
};

class CFakeDevice : public ISerialDevice {
public:
    CFakeDevice(SDeviceLog& log, OpenErrorKind refuse = OpenErrorKind::None)
        : log_(log), refuse_(refuse) {}

    bool Open(int) override {
        ++log_.opens;
        if (refuse_ != OpenErrorKind::None) {
            lastOpenError_ = OpenError{refuse_, "/dev/ttyFAKE0", "Device or resource busy", 16, {}};
            return false;
        }
        lastOpenError_ = OpenError{};
        lineSettings.BaudRate = 9600;
        log_.open = true;
        return true;
    }
    bool InitCommState() override { return log_.open; }
    bool SetHandshake(bool) override { return log_.open; }
    bool ApplyCommState() override {
        log_.appliedRate = lineSettings.BaudRate;
        return log_.open;
    }
    bool Write(const void* data, int length) override {
        ++log_.writes;
        log_.written.append(static_cast<const char*>(data), static_cast<std::size_t>(length));
        return log_.open;
    }
    int Read(char* buffer, int length) override {
        const int n = std::min(length, static_cast<int>(reply_.size()));
        reply_.copy(buffer, static_cast<std::size_t>(n));
        reply_.erase(0, static_cast<std::size_t>(n));
        return n;
    }
    void Close() override { log_.open = false; }
    [[nodiscard]] bool IsOpen() const override { return log_.open; }
    [[nodiscard]] SLineSettings& LineSettings() override { return lineSettings; }
    [[nodiscard]] const OpenError& LastOpenError() const override { return lastOpenError_; }

    std::string reply_;

private:
    SLineSettings lineSettings;
    OpenError lastOpenError_;
    SDeviceLog& log_;
    OpenErrorKind refuse_;
};

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

TEST(QueuedPrompt, HandsOverTheTextsInOrderOnce) {
    CQueuedPrompt prompt;
    prompt.ShowMessage("Load Completed\t");
    prompt.ShowMessage("second");
    EXPECT_EQ(prompt.Take(), (std::vector<CString>{"Load Completed\t", "second"}));
    EXPECT_TRUE(prompt.Take().empty());
}

TEST(LoadSession, AnUnopenablePortEndsTheLoadWithTheDevicesReason) {
    SDeviceLog log;
    std::ostringstream trace;
    CLoadSession session(LoadRequest{5, "", false}, trace,
                         std::make_unique<CFakeDevice>(log, OpenErrorKind::Busy));
    session.Start();
    const LoadOutcome& outcome = session.Join();
    EXPECT_TRUE(session.Done());
    EXPECT_FALSE(outcome.cancelled);
    EXPECT_EQ(outcome.status, STATUS_INVALID_PORT);
    EXPECT_EQ(outcome.openError.kind, OpenErrorKind::Busy);
    EXPECT_EQ(outcome.openError.devicePath, "/dev/ttyFAKE0");
    EXPECT_EQ(log.writes, 0);
    EXPECT_FALSE(session.State().GetLoadRunning());
}

TEST(LoadSession, TheReasonSurvivesTheTraceDevice) {
    SDeviceLog log;
    std::ostringstream trace;
    CLoadSession session(LoadRequest{5, "", true}, trace,
                         std::make_unique<CFakeDevice>(log, OpenErrorKind::Busy));
    session.Start();
    EXPECT_EQ(session.Join().openError.kind, OpenErrorKind::Busy);
    EXPECT_NE(trace.str().find("open COM5 (/dev/ttyFAKE0) failed: Device or resource busy"),
              std::string::npos)
        << trace.str();
}

TEST(LoadSession, ACancelUnwindsTheLoadAndClosesThePort) {
    SDeviceLog log;
    std::ostringstream trace;
    CLoadSession session(LoadRequest{5, "", false}, trace, std::make_unique<CFakeDevice>(log));
    session.Cancel();  // the first wait of the load throws
    session.Start();
    const LoadOutcome& outcome = session.Join();
    EXPECT_TRUE(outcome.cancelled);
    EXPECT_EQ(outcome.status, STATUS_DETECTING_BAUD);
    EXPECT_GE(log.opens, 1);
    EXPECT_FALSE(log.open);
    EXPECT_FALSE(session.State().GetLoadRunning());
}

TEST(LoadSession, PortLabels) {
    std::ostringstream trace;
    EXPECT_EQ(CLoadSession(LoadRequest{33, "", false}, trace).PortLabel(), "COM33");
    EXPECT_EQ(CLoadSession(LoadRequest{0, "/dev/ttyACM0", false}, trace).PortLabel(),
              "/dev/ttyACM0");
}

// The advice tells apart what was heard: nothing at all, bytes without a valid answer, an
// answer and a failure after it.
TEST(AdviceAfterLoad, SaysWhatWasHeardAndWhatToDo) {
    struct Row {
        std::int32_t status;
        bool answered;
        std::size_t bytesHeard;
        std::uint32_t sent;
        std::vector<const char*> mustSay;
        std::vector<const char*> mustNotSay;
    };
    const Row rows[] = {
        {STATUS_FIRMWARE_COMPLETE, true, 90, 136352, {}, {}},
        // Why the port would not open is explained apart.
        {STATUS_INVALID_PORT, false, 0, 0, {}, {}},
        {STATUS_DEVICE_NOT_DETECTED,
         false,
         0,
         0,
         {"Nothing at all came back on COM5 (/dev/ttyS4)", "cable", "powered", "--list"},
         {"answered", "Bytes came back"}},
        // Six fields, a bad checksum, another device: something answered, not validly.
        {STATUS_DEVICE_NOT_DETECTED,
         false,
         311,
         0,
         {"Bytes came back on COM5 (/dev/ttyS4) (311 of them), but never a valid answer",
          "not be the receiver", "rate other than", "not as a Tundro W6"},
         {"Nothing at all", "did not answer"}},
        {STATUS_BLOCK_FAILED,
         true,
         90,
         20000,
         {"The receiver answered, but the transfer broke off after 20000 of 136352 bytes",
          "cable on COM5 (/dev/ttyS4)"},
         {"Nothing at all", "never a valid answer"}},
        {STATUS_INVALID_PORT,
         true,
         90,
         0,
         {"The receiver answered on COM5 (/dev/ttyS4), but the port could not be opened again",
          "nothing of the image was sent"},
         {}},
        {STATUS_IMAGE_NOT_FOUND, true, 90, 0, {"nothing was sent"}, {}},
        {STATUS_WAITING, true, 90, 0, {"The receiver answered", "0 of 136352 bytes"}, {}},
    };
    for (const Row& r : rows) {
        LoadOutcome outcome;
        outcome.status = r.status;
        outcome.answered = r.answered;
        outcome.bytesHeard = r.bytesHeard;
        const std::string text = AdviceAfterLoad(outcome, "COM5", "/dev/ttyS4", r.sent, 136352);
        SCOPED_TRACE("status " + std::to_string(r.status) + ": " + text);
        EXPECT_EQ(text.empty(), r.mustSay.empty());
        for (const char* s : r.mustSay) EXPECT_NE(text.find(s), std::string::npos) << s;
        for (const char* s : r.mustNotSay) EXPECT_EQ(text.find(s), std::string::npos) << s;
    }
}

TEST(TraceDevice, ForwardsEverythingAndWritesOneLinePerTransfer) {
    SDeviceLog log;
    auto fake = std::make_unique<CFakeDevice>(log);
    CFakeDevice* inner = fake.get();
    std::ostringstream out;
    auto now = std::chrono::steady_clock::time_point{} + 100s;
    CTraceCommDev trace(std::move(fake), "COM5", out, [&now] { return now; });

    ASSERT_TRUE(trace.Open(5));
    EXPECT_EQ(trace.LineSettings().BaudRate, 9600U);  // the real device's settings show through
    trace.LineSettings().BaudRate = 19200;            // as the serial link sets the rate
    ASSERT_TRUE(trace.SetHandshake(false));
    ASSERT_TRUE(trace.ApplyCommState());
    EXPECT_EQ(log.appliedRate, 19200U);
    now += 1500ms;
    ASSERT_TRUE(trace.Write("$JI\r\n", 5));
    char buffer[64];
    EXPECT_EQ(trace.Read(buffer, sizeof buffer), 0);  // an empty poll is not traffic
    inner->reply_ = "$>JI,1\x01";
    now += 250ms;
    EXPECT_EQ(trace.Read(buffer, sizeof buffer), 7);
    trace.Close();
    trace.Close();  // already closed: no second note
    EXPECT_FALSE(trace.IsOpen());
    EXPECT_EQ(log.written, "$JI\r\n");

    EXPECT_EQ(out.str(),
              "     0.000        open COM5 at 9600 baud\n"
              "     0.000        line rate 19200 baud\n"
              "     1.500  19200 >    5  24 4A 49 0D 0A  |$JI..|\n"
              "     1.750  19200 <    7  24 3E 4A 49 2C 31 01  |$>JI,1.|\n"
              "     1.750        close\n");
}

TEST(TraceDevice, AFailedWriteIsMarked) {
    SDeviceLog log;
    std::ostringstream out;
    CTraceCommDev trace(std::make_unique<CFakeDevice>(log), "COM5", out);
    EXPECT_FALSE(trace.Write("A", 1));  // not open
    EXPECT_NE(out.str().find("41  |A|  write failed\n"), std::string::npos) << out.str();
}

}  // namespace
}  // namespace morvane
