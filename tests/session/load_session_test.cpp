// The load worker every program runs its loads on: its waits, its queued prompts, and how a
// load's end reaches the program.
#include "session/load_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <thread>

#include "loader/loader_w6.h"
#include "record/loader_status.h"
#include "res/firmware_image.h"
#include "session/load_record_file.h"
#include "tests/support/fake_power.h"
#include "tests/support/scripted_device.h"
#include "tests/support/temp_dir.h"

namespace morvane {
namespace {

using namespace std::chrono_literals;
using testing::ScriptedDevice;
using K = testing::WireEvent::Kind;

SessionDeps WithDevice(std::unique_ptr<ISerialDevice> device) {
    SessionDeps deps;
    deps.device = std::move(device);
    return deps;
}

// A session on the scripted receiver and the virtual clock that loads `image`; `adjust` puts
// more into the loader's dependencies.
SessionDeps ScriptedDeps(SLoaderState& state, testing::WireLog& log, testing::VirtualClock& clock,
                         testing::DeviceScript script, const std::vector<std::uint8_t>& image,
                         std::function<void(LoaderDeps&)> adjust = {}) {
    SessionDeps deps =
        WithDevice(std::make_unique<testing::ScriptedDevice>(log, std::move(script)));
    deps.state = &state;
    deps.waits = &clock;
    deps.makeLoader = [&image, adjust = std::move(adjust)](SLoaderState* s, LoaderDeps d) {
        d.image = [&image]() -> std::optional<std::span<const std::uint8_t>> {
            return std::span<const std::uint8_t>(image);
        };
        if (adjust) adjust(d);
        return std::make_unique<CLoaderW6>(s, std::move(d));
    };
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
    testing::WireLog log;
    SLoaderState shared;
    testing::CFakePower power;
    SessionDeps deps = WithDevice(std::make_unique<ScriptedDevice>(log, testing::RefusesOpen()));
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
    EXPECT_EQ(outcome.end, LoadEnd::OpenFailed);
    EXPECT_EQ(outcome.openError.kind, OpenErrorKind::Busy);
    EXPECT_EQ(outcome.openError.devicePath, "/dev/ttyFAKE0");
    EXPECT_EQ(log.Count(K::Write), 0);
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
        testing::WireLog log;
        testing::CFakePower power;
        SessionDeps deps = WithDevice(std::make_unique<ScriptedDevice>(log, testing::Silent()));
        deps.power = &power;
        CLoadSession session(LoadRequest{5, "", probe, false}, std::move(deps));
        session.Cancel();  // the first wait of the load throws
        session.Start();
        const LoadOutcome& outcome = session.Join();
        EXPECT_TRUE(outcome.cancelled);
        EXPECT_EQ(outcome.end, LoadEnd::StoppedBeforeImage);
        EXPECT_EQ(outcome.status, STATUS_DETECTING_BAUD);
        EXPECT_GE(log.Count(K::Open), 1);
        EXPECT_FALSE(log.lineOpen);
        EXPECT_FALSE(session.State().GetLoadRunning());
        EXPECT_EQ(power.taken.load(), probe ? 0 : 1);
        EXPECT_EQ(power.held.load(), 0);
    }
}

// A verification tells only what the restarted receiver did, on the virtual clock: one that stays
// silent did not answer, and a port that went away with the restart and stayed away is named as
// gone; the bytes the load heard before are none of its business.
TEST(LoadSession, AVerificationTellsOnlyWhatItSawItself) {
    struct Row {
        const char* name;
        bool portGoes;
        LoadEnd end;
    };
    for (const Row& row : {Row{"silent", false, LoadEnd::NotVerifiedSilent},
                           Row{"port gone", true, LoadEnd::NotVerifiedPortGone}}) {
        SCOPED_TRACE(row.name);
        SLoaderState state;
        testing::WireLog log(&state);
        testing::VirtualClock clock(log);
        const std::vector<std::uint8_t> image(100, 'x');
        // The receiver's own port leaves once the whole image is in, as it restarts.
        auto gone = [&] { return row.portGoes && state.GetSentBytes() >= image.size(); };
        testing::DeviceScript script;
        script.silentAfterImage = true;
        script.present = [&] { return !gone(); };
        SessionDeps deps = ScriptedDeps(state, log, clock, script, image, [&](LoaderDeps& d) {
            d.portFollower = std::make_unique<testing::ScriptedFollower>(
                [gone](int) { return gone() ? std::nullopt : std::optional<int>(7); });
        });
        CLoadSession session(LoadRequest{7, "", false, true}, std::move(deps));
        session.Start();
        const LoadOutcome& outcome = session.Join();
        ASSERT_EQ(outcome.status, STATUS_FIRMWARE_COMPLETE);
        ASSERT_GT(outcome.detection.bytesHeard, 0u);
        EXPECT_EQ(outcome.end, row.end);
        EXPECT_FALSE(outcome.verification.answered);
        EXPECT_EQ(outcome.verification.bytesHeard, 0u);
    }
}

// The receiver's firmware as detection heard it decides whether the image goes out, and is what
// the record keeps as the firmware before the load.
TEST(LoadSession, TheFirmwareHeardDecidesTheSkipAndIsRecordedAsBefore) {
    struct Row {
        const char* heard;
        bool skipCurrent;
        LoaderStatus status;
        LoadEnd end;
    };
    const std::string current = kFirmwareVersion;
    const Row rows[] = {
        {"1.21", true, STATUS_FIRMWARE_COMPLETE, LoadEnd::Loaded},
        {current.c_str(), true, STATUS_NO_UPDATE_REQUIRED, LoadEnd::Skipped},
        {current.c_str(), false, STATUS_FIRMWARE_COMPLETE, LoadEnd::Loaded},
    };
    const testing::TempDir dir("session");
    const std::string file = (dir / "loads.jsonl").string();
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.heard) + (row.skipCurrent ? " --skip-current" : ""));
        SLoaderState state;
        testing::WireLog log(&state);
        testing::VirtualClock clock(log);
        const std::vector<std::uint8_t> image(100, 'x');
        testing::DeviceScript script;
        script.firmwareVersion = row.heard;
        SessionDeps deps = ScriptedDeps(state, log, clock, script, image);
        LoadRequest request{7, "", false, false};
        request.skipCurrent = row.skipCurrent;
        request.log = SLoadLogTarget{true, file};
        CLoadSession session(request, std::move(deps));
        session.Start();
        const LoadOutcome& outcome = session.Join();
        EXPECT_EQ(outcome.status, row.status);
        EXPECT_EQ(outcome.end, row.end);
        EXPECT_EQ(outcome.sentBytes, row.status == STATUS_NO_UPDATE_REQUIRED ? 0u : image.size());
        const SLoadHistory history = ReadLoadHistory(file, 1);
        ASSERT_EQ(history.records.size(), 1u);
        EXPECT_STREQ(history.records[0].result.c_str(), LoadEndRowOf(row.end).record);
        EXPECT_EQ(history.records[0].firmwareBefore, row.heard);
    }
}

// How a load ended, from its facts: the one place that sorts them.
TEST(LoadSession, DecidesHowTheLoadEnded) {
    using enum LoadEnd;
    struct Facts {
        bool probe = false;
        std::int32_t status = STATUS_FIRMWARE_COMPLETE;
        std::uint32_t sent = 0;  // of 100
        bool cancelled = false;
        const char* failure = "";
        PortLost lost = PortLost::No;
        OpenErrorKind openError = OpenErrorKind::None;
        bool answered = false;  // the probe's receiver, or the restarted one when verifyRan
        bool verifyRan = false;
        VerifyPort port = VerifyPort::Opened;
        const char* firmware = "";
    };
    constexpr auto N = STATUS_DEVICE_NOT_DETECTED;
    const std::pair<Facts, LoadEnd> rows[] = {
        {{.status = STATUS_DETECTING_BAUD, .cancelled = true}, StoppedBeforeImage},
        {{.probe = true, .status = STATUS_DETECTING_BAUD, .cancelled = true}, StoppedBeforeImage},
        {{.status = STATUS_UPDATING_FIRMWARE, .sent = 40, .cancelled = true}, StoppedInImage},
        // A stop comes before whatever else the load ended on.
        {{.sent = 100, .cancelled = true, .verifyRan = true}, StoppedAfterImage},
        {{.status = STATUS_WAITING, .failure = "boom"}, Crashed},
        {{.status = STATUS_INVALID_PORT}, OpenFailed},
        {{.probe = true, .status = STATUS_INVALID_PORT}, OpenFailed},
        {{.probe = true, .status = N, .lost = PortLost::DuringDetection}, ProbeGone},
        {{.probe = true, .status = N}, ProbeNotDetected},
        {{.probe = true, .status = STATUS_CONNECTED, .answered = true}, Found},
        {{.status = N, .lost = PortLost::DuringDetection}, GoneInDetection},
        // The device was no longer there when detection opened it again.
        {{.status = N, .openError = OpenErrorKind::NoSuchDevice}, GoneInDetection},
        // Another program taking the port in the middle is no device gone.
        {{.status = N, .openError = OpenErrorKind::Busy}, NotDetected},
        {{.status = STATUS_NO_UPDATE_REQUIRED}, Skipped},
        {{.status = STATUS_DETECTING_FIRMWARE, .lost = PortLost::BeforeImage}, GoneBeforeImage},
        {{.status = STATUS_BLOCK_FAILED, .sent = 40, .lost = PortLost::DuringImage}, GoneInImage},
        {{.status = STATUS_BLOCK_FAILED, .sent = 40}, TransferFailed},
        {{.status = STATUS_IMAGE_NOT_FOUND}, TransferFailed},
        // A load that ended on a status of its way never counts as a success.
        {{.status = STATUS_UPDATING_FIRMWARE, .sent = 40}, TransferFailed},
        {{.status = 41}, TransferFailed},
        {{.sent = 100}, Loaded},
        {{.sent = 100, .answered = true, .verifyRan = true, .firmware = kFirmwareVersion},
         Verified},
        {{.sent = 100, .verifyRan = true, .port = VerifyPort::Gone}, NotVerifiedPortGone},
        {{.sent = 100, .verifyRan = true, .port = VerifyPort::Refused}, NotVerifiedPortRefused},
        {{.sent = 100, .verifyRan = true}, NotVerifiedSilent},
        {{.sent = 100, .answered = true, .verifyRan = true, .firmware = "1.21"}, NotVerifiedOther},
        {{.sent = 100, .answered = true, .verifyRan = true}, NotVerifiedOther},
    };
    for (const auto& [f, end] : rows) {
        LoadOutcome o;
        o.status = f.status;
        o.sentBytes = f.sent;
        o.totalBytes = f.sent == 0 ? 0 : 100;
        o.cancelled = f.cancelled;
        o.failure = f.failure;
        o.portLost = f.lost;
        o.openError.kind = f.openError;
        o.verifyRan = f.verifyRan;
        (f.verifyRan ? o.verification : o.detection).answered = f.answered;
        o.verification.port = f.port;
        o.verification.firmware = f.firmware;
        EXPECT_EQ(LoadEndOf(LoadRequest{5, "", f.probe, f.verifyRan}, o), end)
            << static_cast<int>(end);
    }
}

TEST(LoadSession, PortLabels) {
    EXPECT_EQ(CLoadSession(LoadRequest{33, "", false, false}).PortLabel(), "COM33");
    EXPECT_EQ(CLoadSession(LoadRequest{0, "/dev/ttyACM0", false, false}).PortLabel(),
              "/dev/ttyACM0");
}

}  // namespace
}  // namespace morvane
