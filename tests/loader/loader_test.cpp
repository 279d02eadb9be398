// Whole loads on the virtual clock against the scripted receiver: the bytes, rates and waits on
// the wire, the record as it goes, and how a load ends when something fails.
#include "loader/loader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "loader/loader_w6.h"
#include "record/loader_status.h"
#include "res/firmware_image.h"
#include "tests/support/scripted_device.h"

namespace morvane::testing {
namespace {

using K = WireEvent::Kind;
constexpr int kPort = 7;
constexpr std::int32_t kRates[] = {4800, 9600, 19200, 38400, 57600, 115200};

// One load's surroundings: the record, the log, the virtual clock, the prompt, the image and the
// receiver's port.
struct Rig {
    SLoaderState state;
    WireLog log{&state};
    VirtualClock clock{log};
    RecordingPrompt prompt{log};
    std::optional<std::vector<std::uint8_t>> image;  // nothing: the embedded image
    bool imageMissing = false;
    SReceiverRates* rates = nullptr;  // null: the program-wide ones
    bool skipCurrent = false;
    // The port goes away at goneAtMs and comes back at backAtMs as COM backAs. A blind follower
    // names the port whether it is there or not, as discovery does for a port it never listed.
    std::uint64_t goneAtMs = UINT64_MAX;
    std::uint64_t backAtMs = UINT64_MAX;
    int backAs = kPort;
    bool blindFollower = false;

    Rig() { state.SetComPort(kPort); }

    [[nodiscard]] bool PortThere() const { return log.nowMs < goneAtMs || log.nowMs >= backAtMs; }

    LoaderDeps Deps(DeviceScript script = {}) {
        LoaderDeps deps;
        script.present = [this] { return PortThere(); };
        deps.device = std::make_unique<ScriptedDevice>(log, std::move(script));
        deps.portFollower =
            std::make_unique<ScriptedFollower>([this](int remembered) -> std::optional<int> {
                if (blindFollower) return remembered;
                if (!PortThere()) return std::nullopt;
                return log.nowMs >= backAtMs ? backAs : remembered;
            });
        deps.waits = &clock;
        deps.prompt = &prompt;
        deps.rates = rates;
        deps.image = [this]() -> std::optional<std::span<const std::uint8_t>> {
            log.Add(K::Image);
            if (imageMissing) return std::nullopt;
            if (image) return std::span<const std::uint8_t>(*image);
            return EmbeddedFirmwareImage();
        };
        return deps;
    }
    template <class Loader>
    void Run(DeviceScript script = {}) {
        Loader loader(&state, Deps(std::move(script)));
        if constexpr (std::is_same_v<Loader, CLoaderW6>) loader.SkipCurrent(skipCurrent);
        loader.Run();
        openAfterRun = log.lineOpen;
        eventsAfterRun = log.events.size();
    }
    // The W6 loader, or the base loader it is built on.
    void Run(bool w6, DeviceScript script) {
        if (w6) return Run<CLoaderW6>(std::move(script));
        Run<CLoader>(std::move(script));
    }

    // What Run did (the loader's destruction, which closes the port again, left out).
    std::vector<WireEvent> RunEvents() const {
        return {log.events.begin(),
                log.events.begin() + static_cast<std::ptrdiff_t>(eventsAfterRun)};
    }
    std::vector<std::string> Steps() const { return Condense(RunEvents()); }
    std::vector<std::string> Steps(K kind) const {
        std::vector<WireEvent> some;
        for (const WireEvent& e : RunEvents())
            if (e.kind == kind) some.push_back(e);
        return Condense(some);
    }
    // The image writes: those between obtaining the image and the box.
    std::vector<WireEvent> Blocks() const {
        std::vector<WireEvent> blocks;
        bool inTransfer = false;
        for (const WireEvent& e : RunEvents()) {
            if (e.kind == K::Image) inTransfer = true;
            if (e.kind == K::Box || e.kind == K::Close) inTransfer = false;
            if (inTransfer && e.kind == K::Write) blocks.push_back(e);
        }
        return blocks;
    }
    std::string BlockBytes() const {
        std::string bytes;
        for (const WireEvent& e : Blocks())
            if (e.result) bytes += e.bytes;
        return bytes;
    }
    std::vector<std::int32_t> Statuses() const {
        std::vector<std::int32_t> seen;
        for (const WireEvent& e : log.events)
            if (seen.empty() || seen.back() != e.status) seen.push_back(e.status);
        if (seen.back() != state.GetStatus()) seen.push_back(state.GetStatus());
        return seen;
    }
    bool openAfterRun = false;
    std::size_t eventsAfterRun = 0;
};

// The first difference, with its position, instead of two listings thousands of lines long.
void ExpectSteps(const std::vector<std::string>& actual, const std::vector<std::string>& expected) {
    const std::size_t n = std::min(actual.size(), expected.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (actual[i] != expected[i]) {
            ADD_FAILURE() << "step " << i << ": got \"" << actual[i] << "\", expected \""
                          << expected[i] << "\" (previous: \"" << (i > 0 ? actual[i - 1] : "")
                          << "\")";
            return;
        }
    }
    EXPECT_EQ(actual.size(), expected.size())
        << "first extra step: \"" << (actual.size() > n ? actual[n] : expected[n]) << "\"";
}

std::string Rate(std::int32_t r) { return std::to_string(r); }

// The steps of one detection attempt at `rate`; `last`: the attempt that returns true.
void AddAttempt(std::vector<std::string>& s, std::int32_t rate, bool pumping, bool last) {
    const std::string at = "send@" + Rate(rate) + " ";
    s.insert(s.end(), {"close", "open " + Rate(rate), "pump 500", "pump 100", at + "$JOFF\\r\\n",
                       "pump 200"});
    if (rate == 19200) {
        s.insert(s.end(), {at + "$JI\\r\\n", "pump 1000"});
    } else {
        s.insert(s.end(), {at + "$JBAUD,19200\\r\\n", "pump 100"});
    }
    if (!last) s.insert(s.end(), {pumping ? "pump 300" : "sleep 300", "read 1024"});
}

void AddSweep(std::vector<std::string>& s) {
    for (const std::int32_t rate : kRates) {
        s.insert(s.end(), {"close", "open " + Rate(rate), "pump 500"});
        if (rate == 9600 || rate == 19200) s.push_back("pump 500");
        s.insert(s.end(), {"send@" + Rate(rate) + " $JCONN,X\\r\\n", "pump 500"});
    }
}

void AddTransfer(std::vector<std::string>& s, std::size_t size, unsigned pauseMs) {
    s.push_back("image");
    for (std::size_t i = 0; i < size / 50; ++i)
        s.insert(s.end(), {"block@19200 50", "sleep " + std::to_string(pauseMs)});
    if (size % 50 != 0) s.push_back("block@19200 " + std::to_string(size % 50));
}

class LoaderTest : public ::testing::Test {
protected:
    void SetUp() override { CLoader::ResetProgramWideRatesForTesting(); }
};

TEST_F(LoaderTest, W6LoadPutsTheWholeSequenceOnTheWire) {
    Rig rig;
    rig.Run<CLoaderW6>();

    std::vector<std::string> expected = {"open 19200"};
    AddSweep(expected);
    AddAttempt(expected, 4800, true, false);
    AddAttempt(expected, 9600, true, false);
    AddAttempt(expected, 19200, true, false);
    AddAttempt(expected, 38400, true, true);
    expected.insert(expected.end(), {"close", "open 19200", "pump 500", "send@19200 $JOFF\\r\\n",
                                     "pump 500", "send@19200 $W6,CONNECT_TO_GPS\\r\\n", "pump 2000",
                                     "send@19200 $JCONN,A,C\\r\\n", "pump 1000",
                                     "send@19200 \\r\\n$JCLEARAPPINT\\r\\n\\r\\n", "pump 2000",
                                     "pump 500", "send@19200 \\r\\n$JAPPTRANSFER\\r\\n\\r\\n"});
    // The 15 s before the image, in steps that look whether the port went away.
    expected.insert(expected.end(), 7, "pump 2000");
    expected.emplace_back("pump 1000");
    AddTransfer(expected, 136352, 20);
    expected.insert(expected.end(),
                    {"box Load Completed\t", "send@19200 $JCONN,X\\r\\n", "pump 1000", "close"});
    ExpectSteps(rig.Steps(), expected);

    EXPECT_EQ(rig.BlockBytes(),
              std::string(EmbeddedFirmwareImage().begin(), EmbeddedFirmwareImage().end()));
    EXPECT_FALSE(rig.openAfterRun);

    // The answer to "$JI" was read in the read after the attempt that sent it.
    const auto read =
        std::find_if(rig.log.events.begin(), rig.log.events.end(),
                     [](const WireEvent& e) { return e.kind == K::Read && !e.bytes.empty(); });
    ASSERT_NE(read, rig.log.events.end());
    EXPECT_EQ(read->bytes, JiAnswer(7) + kVersionSentence);

    // 21.5 s from the reopen at the working rate to the first block.
    auto firstBlock =
        std::find_if(rig.log.events.begin(), rig.log.events.end(),
                     [](const WireEvent& e) { return e.kind == K::Write && e.length == 50; });
    ASSERT_NE(firstBlock, rig.log.events.end());
    auto reopen = std::find_if(std::make_reverse_iterator(firstBlock), rig.log.events.rend(),
                               [](const WireEvent& e) { return e.kind == K::Open; });
    ASSERT_NE(reopen, rig.log.events.rend());
    EXPECT_EQ(firstBlock->atMs - reopen->atMs, 21500u);

    // The estimate starts at 125 s, never rises and ends at 0.
    std::vector<std::int32_t> remaining;
    for (const WireEvent& e : rig.Blocks()) remaining.push_back(e.remainingSeconds);
    ASSERT_FALSE(remaining.empty());
    EXPECT_EQ(remaining.front(), 125);
    EXPECT_TRUE(std::is_sorted(remaining.rbegin(), remaining.rend()));
    EXPECT_EQ(rig.state.GetRemainingSeconds(), 0);
    EXPECT_EQ(rig.state.GetTotalBytes(), 136352u);
    EXPECT_EQ(rig.state.GetSentBytes(), 136352u);

    // CONNECTED is written just before DETECTING_FIRMWARE, with no step between to see it by.
    EXPECT_EQ(rig.Statuses(), (std::vector<std::int32_t>{
                                  STATUS_NOT_CONNECTED, STATUS_DETECTING_BAUD,
                                  STATUS_DETECTING_FIRMWARE, STATUS_CONNECTED, STATUS_WAITING,
                                  STATUS_UPDATING_FIRMWARE, STATUS_FIRMWARE_COMPLETE}));
    // The version sentence read during detection named the firmware; the flag is lowered for the
    // transfer, the text stays.
    const auto wait15 = std::find_if(rig.log.events.begin(), rig.log.events.end(),
                                     [](const WireEvent& e) { return e.status == STATUS_WAITING; });
    ASSERT_NE(wait15, rig.log.events.end());
    EXPECT_TRUE(wait15->firmwareDetected);
    EXPECT_FALSE(rig.state.GetFirmwareDetected());
    EXPECT_EQ(rig.state.GetFirmwareText(), "1.10");
    EXPECT_TRUE(std::all_of(rig.log.events.begin(), rig.log.events.end(), [](const WireEvent& e) {
        return e.kind != K::Open || e.length == kPort;
    }));
    EXPECT_EQ(CLoader::ProbeRate(), 57600);
    EXPECT_EQ(CLoader::SweepRate(), 0);
}

TEST_F(LoaderTest, BaseLoaderRunsItsOwnSequence) {
    Rig rig;
    rig.Run<CLoader>();

    std::vector<std::string> expected = {"open 19200"};
    AddAttempt(expected, 4800, false, false);
    AddAttempt(expected, 9600, false, false);
    AddAttempt(expected, 19200, false, false);
    AddAttempt(expected, 38400, false, true);
    expected.insert(
        expected.end(),
        {"close", "open 19200",
         "send@19200 Baud Rate Detected!\\r\\n\\r\\n$JAPPTRANSFER\\r\\n\\r\\n", "sleep 1000"});
    AddTransfer(expected, 136352, 100);
    expected.insert(expected.end(), {"box Load Completed\t", "close"});
    ExpectSteps(rig.Steps(), expected);

    const auto firstBlock =
        std::find_if(rig.log.events.begin(), rig.log.events.end(),
                     [](const WireEvent& e) { return e.kind == K::Write && e.length == 50; });
    ASSERT_NE(firstBlock, rig.log.events.end());
    EXPECT_EQ(firstBlock->remainingSeconds, 343);
    EXPECT_EQ(rig.state.GetRemainingSeconds(), 0);
    EXPECT_EQ(rig.Statuses(), (std::vector<std::int32_t>{
                                  STATUS_NOT_CONNECTED, STATUS_DETECTING_BAUD, STATUS_CONNECTED,
                                  STATUS_UPDATING_FIRMWARE, STATUS_FIRMWARE_COMPLETE}));
    EXPECT_FALSE(rig.openAfterRun);
}

// A port that will not open: nothing is sent; only the base loader shows a box, before the status.
TEST_F(LoaderTest, PortThatWillNotOpen) {
    Rig w6;
    w6.Run<CLoaderW6>(OpenFailsAt(1));
    EXPECT_EQ(w6.Steps(), (std::vector<std::string>{"open failed"}));
    EXPECT_EQ(w6.state.GetStatus(), STATUS_INVALID_PORT);

    Rig base;
    base.Run<CLoader>(OpenFailsAt(1));
    EXPECT_EQ(base.Steps(),
              (std::vector<std::string>{"open failed", "box Invalid Comport, or Comport in use!"}));
    EXPECT_EQ(base.log.events[1].status, STATUS_NOT_CONNECTED);
    EXPECT_EQ(base.state.GetStatus(), STATUS_INVALID_PORT);
}

// Receivers that never count as answering: silent, answering with six fields, or answering at
// another rate only. Exactly 20 attempts and 20 reads, and nothing of the sequence after them.
TEST_F(LoaderTest, ReceiverNeverDetected) {
    const DeviceScript scripts[] = {AnswersAt(0), AnswersAt(19200, 6), AnswersAt(9600)};
    for (const bool w6 : {true, false}) {
        for (const DeviceScript& script : scripts) {
            SCOPED_TRACE(std::string(w6 ? "W6 " : "base ") + "answering at " +
                         Rate(script.answerRate) + " with " + std::to_string(script.jiFields) +
                         " fields");
            CLoader::ResetProgramWideRatesForTesting();
            Rig rig;
            rig.Run(w6, script);

            EXPECT_EQ(rig.state.GetStatus(), STATUS_DEVICE_NOT_DETECTED);
            EXPECT_EQ(rig.Steps(K::Read), std::vector<std::string>(20, "read 1024"));
            std::string sent;
            for (const WireEvent& e : rig.RunEvents()) {
                if (e.kind != K::Write) continue;
                EXPECT_EQ(e.length, 1);
                sent += e.bytes;
            }
            int jiCount = 0;
            for (std::size_t at = 0, end; (end = sent.find("\r\n", at)) != std::string::npos;
                 at = end + 2) {
                const std::string line = sent.substr(at, end - at);
                EXPECT_TRUE(line == "$JCONN,X" || line == "$JOFF" || line == "$JI" ||
                            line == "$JBAUD,19200")
                    << line;
                jiCount += line == "$JI" ? 1 : 0;
            }
            EXPECT_EQ(jiCount, 3);                   // attempts 3, 9 and 15
            EXPECT_EQ(CLoader::ProbeRate(), 19200);  // 20 attempts from 4800: three rounds and two
            // The W6 loader leaves the port open at the last probe rate until it is destroyed.
            EXPECT_EQ(rig.openAfterRun, w6);
            EXPECT_FALSE(rig.log.lineOpen);
            EXPECT_TRUE(std::none_of(
                rig.log.events.begin(), rig.log.events.end(),
                [](const WireEvent& e) { return e.kind == K::Box || e.kind == K::Image; }));
        }
    }
}

// The window runs every load on one record. A receiver that answered the load before counts for
// nothing in the next: against a silent one the next load ends undetected and sends no image byte.
TEST_F(LoaderTest, AnAnswerFromTheLoadBeforeDoesNotDetectTheNextReceiver) {
    for (const bool w6 : {true, false}) {
        SCOPED_TRACE(w6 ? "W6" : "base");
        CLoader::ResetProgramWideRatesForTesting();
        Rig rig;
        rig.image = std::vector<std::uint8_t>(120, 'x');
        const auto run = [&](DeviceScript script) {
            rig.state.Reset();
            rig.Run(w6, std::move(script));
        };
        run({});
        ASSERT_EQ(rig.state.GetStatus(), STATUS_FIRMWARE_COMPLETE);
        const std::size_t secondFrom = rig.log.events.size();

        run(AnswersAt(0));
        EXPECT_EQ(rig.state.GetStatus(), STATUS_DEVICE_NOT_DETECTED);
        EXPECT_EQ(rig.state.GetSentBytes(), 0u);
        EXPECT_TRUE(std::none_of(rig.log.events.begin() + static_cast<std::ptrdiff_t>(secondFrom),
                                 rig.log.events.end(), [](const WireEvent& e) {
                                     return e.kind == K::Image || e.kind == K::Box ||
                                            (e.kind == K::Write && e.length > 1);
                                 }));
    }
}

// The window's loads share the program-wide rates: a second load does not sweep and probes on
// where the first stopped. A load given a receiver's own rates has the first load's timeline,
// and leaves the program-wide rates alone.
TEST_F(LoaderTest, SecondLoadSkipsTheSweepAndProbesOn) {
    Rig first;
    first.image = std::vector<std::uint8_t>(100, 'x');
    first.Run<CLoaderW6>();
    ASSERT_EQ(first.state.GetStatus(), STATUS_FIRMWARE_COMPLETE);

    Rig second;
    second.image = std::vector<std::uint8_t>(100, 'y');
    second.Run<CLoaderW6>();
    std::vector<std::string> expected = {"open 19200"};
    for (const std::int32_t rate : {57600, 115200, 4800, 9600, 19200})
        AddAttempt(expected, rate, true, false);
    AddAttempt(expected, 38400, true, true);
    const auto steps = second.Steps();
    ExpectSteps(std::vector<std::string>(steps.begin(),
                                         steps.begin() + std::min(steps.size(), expected.size())),
                expected);
    EXPECT_EQ(second.state.GetStatus(), STATUS_FIRMWARE_COMPLETE);

    SReceiverRates own;
    Rig third;
    third.rates = &own;
    third.image = first.image;
    third.Run<CLoaderW6>();
    ExpectSteps(third.Steps(), first.Steps());
    EXPECT_EQ(own.probeRate.load(), 57600);
    EXPECT_EQ(own.sweepRate.load(), 0);
    EXPECT_EQ(CLoader::ProbeRate(), 57600);  // where the second load left it
}

// Detection alone: the load's first steps, then the port closes; nothing of the sequence after.
TEST_F(LoaderTest, ProbeIsTheDetectionOfALoadAndNothingAfter) {
    struct Row {
        const char* name;
        DeviceScript script;
        bool found;
        bool heard;
    };
    for (const Row& row :
         {Row{"answers", AnswersAt(19200), true, true}, Row{"silent", AnswersAt(0), false, false},
          Row{"six fields", AnswersAt(19200, 6), false, true}}) {
        SCOPED_TRACE(row.name);
        SReceiverRates rates;
        Rig rig;
        rig.rates = &rates;
        CLoaderW6 loader(&rig.state, rig.Deps(row.script));
        EXPECT_EQ(loader.Probe(), row.found);
        EXPECT_FALSE(rig.log.lineOpen);

        std::vector<std::string> expected = {"open 19200"};
        AddSweep(expected);
        for (int attempt = 0; attempt < (row.found ? 4 : 20); ++attempt)
            AddAttempt(expected, kRates[attempt % 6], true, row.found && attempt == 3);
        expected.push_back("close");
        ExpectSteps(Condense(rig.log.events), expected);
        EXPECT_EQ(loader.AttemptsTaken(), row.found ? 4 : 0);
        EXPECT_EQ(loader.BytesHeard() > 0, row.heard);
        EXPECT_EQ(rig.state.GetStatus(), row.found ? STATUS_CONNECTED : STATUS_DEVICE_NOT_DETECTED);
        EXPECT_EQ(rig.state.GetFirmwareText(), row.heard ? "1.10" : "");
    }
}

// After a load the receiver is looked for again, after its restart and without the sweep; only
// what it says then, and what this detection heard, counts. A port that went away at the restart
// is waited for, and opened as the port it came back as.
TEST_F(LoaderTest, DetectionAfterTheRestart) {
    constexpr std::uint64_t kNever = UINT64_MAX;
    using Port = CLoaderW6::RestartPort;
    struct Row {
        const char* name;
        bool namesVersion;
        bool silent;
        std::uint64_t goneForMs;  // from the end of the load; 0: the port stays
        int backAs;
        bool blind;
        std::int32_t status;
        Port port;
        int attempt;  // the attempt that found it; 0: none
    };
    const Row rows[] = {
        {"names its version", true, false, 0, kPort, false, STATUS_CONNECTED, Port::Stayed, 6},
        {"names none", false, false, 0, kPort, false, STATUS_CONNECTED, Port::Stayed, 6},
        {"silent", true, true, 0, kPort, false, STATUS_DEVICE_NOT_DETECTED, Port::Stayed, 0},
        {"back after 8 s", true, false, 8000, kPort, false, STATUS_CONNECTED, Port::CameBack, 6},
        {"back as COM34", true, false, 8000, 34, false, STATUS_CONNECTED, Port::CameBack, 6},
        {"back, seen by opening", true, false, 8000, kPort, true, STATUS_CONNECTED, Port::CameBack,
         6},
        {"never back", true, false, kNever, kPort, false, STATUS_INVALID_PORT, Port::Gone, 0},
        {"never back, seen by opening", true, false, kNever, kPort, true, STATUS_INVALID_PORT,
         Port::Gone, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SReceiverRates rates;
        Rig rig;
        rig.rates = &rates;
        rig.image = std::vector<std::uint8_t>(100, 'x');
        rig.backAs = row.backAs;
        rig.blindFollower = row.blind;
        DeviceScript script;
        script.sendVersion = row.namesVersion;
        script.silentAfterImage = row.silent;
        CLoaderW6 loader(&rig.state, rig.Deps(script));
        loader.Run();
        ASSERT_EQ(rig.state.GetStatus(), STATUS_FIRMWARE_COMPLETE);
        ASSERT_GT(loader.BytesHeard(), 0u);
        rig.state.SetFirmwareText("0.99");
        rig.state.SetFirmwareDetected(true);
        const std::size_t before = rig.log.events.size();
        if (row.goneForMs != 0) {
            rig.goneAtMs = rig.log.nowMs;
            if (row.goneForMs != kNever) rig.backAtMs = rig.log.nowMs + row.goneForMs;
        }

        EXPECT_EQ(loader.DetectAfterRestart(), row.status == STATUS_CONNECTED);
        std::vector<std::string> expected = {"pump 5000"};
        const std::uint64_t polls = row.goneForMs == 0        ? 0
                                    : row.goneForMs == kNever ? 60
                                                              : (row.goneForMs - 5000) / 500;
        for (std::uint64_t poll = 0; poll < polls; ++poll) {
            if (row.blind) expected.push_back("open failed");
            expected.push_back("pump 500");
        }
        if (row.port == Port::Gone) {
            if (row.blind) expected.push_back("open failed");
        } else {
            expected.push_back("open 19200");
            const int attempts = row.attempt != 0 ? row.attempt : CLoaderW6::kVerifyAttempts;
            for (int attempt = 0; attempt < attempts; ++attempt)
                AddAttempt(expected, kRates[(attempt + 4) % 6], true, attempt + 1 == row.attempt);
            expected.push_back("close");
        }
        ExpectSteps(Condense({rig.log.events.begin() + static_cast<std::ptrdiff_t>(before),
                              rig.log.events.end()}),
                    expected);
        ASSERT_GT(rig.log.events.size(), before);
        EXPECT_EQ(rig.log.events[before].status, STATUS_REBOOTING);
        EXPECT_EQ(rig.state.GetStatus(), row.status);
        EXPECT_EQ(loader.PortAfterRestart(), row.port);
        EXPECT_EQ(loader.AttemptsTaken(), row.attempt);
        if (row.attempt == 0) {
            EXPECT_EQ(loader.BytesHeard(), 0u);
        }
        const bool named = row.namesVersion && row.attempt != 0;
        EXPECT_EQ(rig.state.GetFirmwareDetected(), named);
        EXPECT_EQ(rig.state.GetFirmwareText(), named ? "1.10" : "");
        if (row.port != Port::Gone) {
            EXPECT_EQ(rig.state.GetComPort(), row.backAs);
            const auto firstWrite = std::find_if(
                rig.log.events.begin() + static_cast<std::ptrdiff_t>(before), rig.log.events.end(),
                [](const WireEvent& e) { return e.kind == K::Write; });
            ASSERT_NE(firstWrite, rig.log.events.end());
            EXPECT_EQ(firstWrite->status, STATUS_VERIFYING);
            const auto open = std::find_if(
                rig.log.events.begin() + static_cast<std::ptrdiff_t>(before), rig.log.events.end(),
                [](const WireEvent& e) { return e.kind == K::Open && e.result; });
            ASSERT_NE(open, rig.log.events.end());
            EXPECT_EQ(open->length, row.backAs);
        }
        EXPECT_FALSE(rig.log.lineOpen);
    }
}

// A receiver that already runs the firmware this program carries gets nothing after its
// detection when the load skips current receivers; any other load goes on as usual.
TEST_F(LoaderTest, SkippingCurrentReceivers) {
    struct Row {
        const char* version;
        bool skip;
        std::int32_t status;
    };
    for (const Row& row : {Row{kFirmwareVersion, true, STATUS_NO_UPDATE_REQUIRED},
                           Row{"1.21", true, STATUS_FIRMWARE_COMPLETE},
                           Row{kFirmwareVersion, false, STATUS_FIRMWARE_COMPLETE}}) {
        SCOPED_TRACE(std::string(row.version) + (row.skip ? ", skipping" : ""));
        SReceiverRates rates;
        Rig rig;
        rig.rates = &rates;
        rig.skipCurrent = row.skip;
        rig.image = std::vector<std::uint8_t>(100, 'x');
        DeviceScript script;
        script.firmwareVersion = row.version;
        rig.Run<CLoaderW6>(script);

        EXPECT_EQ(rig.state.GetStatus(), row.status);
        EXPECT_FALSE(rig.openAfterRun);
        if (row.status != STATUS_NO_UPDATE_REQUIRED) continue;
        std::vector<std::string> expected = {"open 19200"};
        AddSweep(expected);
        for (int attempt = 0; attempt < 4; ++attempt)
            AddAttempt(expected, kRates[attempt], true, attempt == 3);
        expected.push_back("close");
        ExpectSteps(rig.Steps(), expected);
        EXPECT_EQ(rig.Statuses().back(), STATUS_NO_UPDATE_REQUIRED);
        EXPECT_EQ(rig.state.GetSentBytes(), 0u);
    }
}

// Other sentences at a full 1920 bytes a second put the answer to "$JI" behind several reads'
// worth of them. The receiver is still found at the attempt it is found at on a quiet line, with
// the same bytes and waits on the wire; only the reads are more.
TEST_F(LoaderTest, ChattyLineDetectsAtTheSameAttempt) {
    auto withoutReads = [](const Rig& rig) {
        std::vector<std::string> steps = rig.Steps();
        std::erase(steps, "read 1024");
        return steps;
    };
    Rig quiet;
    quiet.image = std::vector<std::uint8_t>(120, 'q');
    quiet.Run<CLoaderW6>();

    CLoader::ResetProgramWideRatesForTesting();
    Rig chatty;
    chatty.image = quiet.image;
    DeviceScript script;
    script.chatterBytesPerSecond = 1920;
    chatty.Run<CLoaderW6>(std::move(script));

    EXPECT_EQ(chatty.state.GetStatus(), STATUS_FIRMWARE_COMPLETE);
    ExpectSteps(withoutReads(chatty), withoutReads(quiet));
    EXPECT_EQ(chatty.state.GetFirmwareText(), "1.10");
    // Each of the three read steps went on until a read came back short: the ring was empty.
    EXPECT_GT(chatty.Steps(K::Read).size(), 3u * 2u);
    const auto events = chatty.RunEvents();
    for (std::size_t i = 0; i + 1 < events.size(); ++i) {
        if (events[i].kind == K::Read && events[i + 1].kind != K::Read) {
            EXPECT_LT(events[i].bytes.size(), 1024u) << "read step ending at event " << i;
        }
    }
}

// The first block whose write fails ends the load: no box, nothing more sent, the port closed.
TEST_F(LoaderTest, FailedBlockWriteEndsTheLoad) {
    struct Row {
        std::size_t imageSize;
        int failingBlock;
        std::uint32_t sentBefore;
    };
    for (const Row row : {Row{136352, 1000, 999 * 50}, Row{120, 3, 100}, Row{50, 1, 0}}) {
        SCOPED_TRACE("block " + std::to_string(row.failingBlock) + " of " +
                     std::to_string(row.imageSize));
        for (const bool w6 : {true, false}) {
            CLoader::ResetProgramWideRatesForTesting();
            Rig rig;
            if (row.imageSize != 136352) rig.image = std::vector<std::uint8_t>(row.imageSize, 'z');
            DeviceScript script;
            script.failWrite = [&row](int, int block) { return block == row.failingBlock; };
            rig.Run(w6, std::move(script));

            EXPECT_EQ(rig.state.GetStatus(), STATUS_BLOCK_FAILED);
            EXPECT_EQ(rig.state.GetSentBytes(), row.sentBefore);
            const auto steps = rig.Steps();
            ASSERT_GE(steps.size(), 2u);
            EXPECT_EQ(steps[steps.size() - 1], "close");
            EXPECT_EQ(steps[steps.size() - 2].substr(0, 12), "block@19200 ");
            EXPECT_NE(steps[steps.size() - 2].find("failed"), std::string::npos);
            EXPECT_FALSE(rig.openAfterRun);
        }
    }
}

// A port whose device goes away mid-load (an adapter pulled out) ends the load within one look
// at the line, whatever the load was doing: detecting, waiting before the image, sending it.
// The loader says the port went away, so that nobody is told to check a cable that is not there.
TEST_F(LoaderTest, APortThatGoesAwayEndsTheLoadAtOnce) {
    CLoader::ResetProgramWideRatesForTesting();
    Rig clean;
    clean.Run<CLoaderW6>();
    const auto at = [&clean](auto isIt) {
        const auto e = std::find_if(clean.log.events.begin(), clean.log.events.end(), isIt);
        return e == clean.log.events.end() ? UINT64_MAX : e->atMs;
    };
    const std::uint64_t waiting = at([](const WireEvent& e) { return e.status == STATUS_WAITING; });
    const std::uint64_t imageStart =
        at([](const WireEvent& e) { return e.kind == K::Write && e.length == 50; });
    struct Row {
        const char* phase;
        std::uint64_t goneAtMs;
        std::int32_t status;
    };
    for (const Row row : {Row{"detection", 8000, STATUS_DEVICE_NOT_DETECTED},
                          Row{"waits before the image", waiting + 3000, STATUS_WAITING},
                          Row{"image", imageStart + 20000, STATUS_BLOCK_FAILED}}) {
        SCOPED_TRACE(row.phase);
        CLoader::ResetProgramWideRatesForTesting();
        Rig rig;
        rig.goneAtMs = row.goneAtMs;
        CLoaderW6 loader(&rig.state, rig.Deps());
        loader.Run();
        EXPECT_TRUE(loader.PortWentAway());
        EXPECT_EQ(rig.state.GetStatus(), row.status);
        EXPECT_LE(rig.log.events.back().atMs, row.goneAtMs + CLoader::kLineWatchMs + 300);
    }
}

// A port that did not open in the middle of a load: a sweep step or a detection attempt on it
// keeps its time and sends nothing, and such an attempt is not the one that found the receiver
// even though the answer to the attempt before it has been read; the load goes on. If the port
// will not open again at the working rate after detection, the load stops there.
TEST_F(LoaderTest, APortThatDidNotOpenDuringTheLoad) {
    struct Row {
        const char* name;
        int failingOpen;  // first open, sweep, attempts, reopen
        std::vector<std::string> steps;
        int attemptsTaken;
    };
    const Row rows[] = {
        {"the sweep's step at 19200",
         1 + 3,
         {"send@9600 $JCONN,X\\r\\n", "pump 500", "close", "open failed", "pump 500", "pump 500",
          "pump 500", "close", "open 38400"},
         4},
        {"the attempt after the one that asked at 19200",
         1 + 6 + 4,
         {"pump 1000", "pump 300", "read 1024", "close", "open failed", "pump 500", "pump 100",
          "pump 200", "pump 100", "pump 300", "read 1024", "close", "open 57600"},
         5},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CLoader::ResetProgramWideRatesForTesting();
        Rig rig;
        rig.image = std::vector<std::uint8_t>(100, 'x');
        CLoaderW6 loader(&rig.state, rig.Deps(OpenFailsAt(row.failingOpen)));
        loader.Run();
        const auto steps = Condense(rig.log.events);
        EXPECT_NE(std::search(steps.begin(), steps.end(), row.steps.begin(), row.steps.end()),
                  steps.end());
        EXPECT_EQ(loader.AttemptsTaken(), row.attemptsTaken);
        EXPECT_EQ(rig.state.GetStatus(), STATUS_FIRMWARE_COMPLETE);
    }

    CLoader::ResetProgramWideRatesForTesting();
    Rig w6;
    w6.Run<CLoaderW6>(OpenFailsAt(1 + 6 + 4 + 1));
    auto steps = w6.Steps();
    EXPECT_EQ(std::vector<std::string>(steps.end() - 3, steps.end()),
              (std::vector<std::string>{"pump 100", "close", "open failed"}));
    EXPECT_EQ(w6.state.GetStatus(), STATUS_INVALID_PORT);

    CLoader::ResetProgramWideRatesForTesting();
    Rig base;
    base.Run<CLoader>(OpenFailsAt(1 + 4 + 1));
    steps = base.Steps();
    EXPECT_EQ(std::vector<std::string>(steps.end() - 3, steps.end()),
              (std::vector<std::string>{"close", "open failed",
                                        "box Invalid Comport, or Comport in use!"}));
    EXPECT_EQ(base.state.GetStatus(), STATUS_INVALID_PORT);
}

// Image sizes around the block size, on the W6 pace. The estimate after the last full block is
// what the formula gives: 1 for 240000 bytes (the running float stays just under 221 s), and
// never below 0: for 2450 and 2451 bytes it would reach -1 from the 44th block on
// (0 s of pauses + 1 s of wire time - trunc(44 x 0.046)).
TEST_F(LoaderTest, ImageSizes) {
    struct Row {
        std::size_t size;
        std::int32_t firstEstimate;
        std::int32_t lastEstimate;
    };
    for (const Row row : {Row{0, 0, 0}, Row{1, 0, 0}, Row{49, 0, 0}, Row{50, 0, 0}, Row{2450, 1, 0},
                          Row{2451, 1, 0}, Row{240000, 221, 1}}) {
        SCOPED_TRACE(std::to_string(row.size) + " bytes");
        Rig rig;
        rig.image = std::vector<std::uint8_t>(row.size);
        for (std::size_t i = 0; i < row.size; ++i)
            (*rig.image)[i] = static_cast<std::uint8_t>(i * 7);
        DeviceScript script;
        script.sendVersion = false;
        rig.Run<CLoaderW6>(std::move(script));

        const auto steps = rig.Steps();
        const auto image = std::find(steps.begin(), steps.end(), "image");
        std::vector<std::string> transfer;
        AddTransfer(transfer, row.size, 20);
        transfer.insert(transfer.end(), {"box Load Completed\t", "send@19200 $JCONN,X\\r\\n",
                                         "pump 1000", "close"});
        ExpectSteps(std::vector<std::string>(image, steps.end()), transfer);
        EXPECT_EQ(rig.BlockBytes(), std::string(rig.image->begin(), rig.image->end()));
        EXPECT_EQ(rig.state.GetSentBytes(), row.size);
        EXPECT_EQ(rig.state.GetTotalBytes(), row.size);
        EXPECT_EQ(rig.state.GetStatus(), STATUS_FIRMWARE_COMPLETE);

        std::vector<std::int32_t> estimates;
        for (const WireEvent& e : rig.Blocks()) estimates.push_back(e.remainingSeconds);
        estimates.push_back(rig.state.GetRemainingSeconds());
        if (row.size >= 50) {
            EXPECT_EQ(estimates.front(), row.firstEstimate);
        }
        EXPECT_EQ(estimates.back(), row.lastEstimate);
        EXPECT_GE(*std::min_element(estimates.begin(), estimates.end()), 0);
    }
}

TEST_F(LoaderTest, ImageThatCannotBeObtained) {
    Rig rig;
    rig.imageMissing = true;
    rig.Run<CLoaderW6>();
    const auto steps = rig.Steps();
    EXPECT_EQ(std::vector<std::string>(steps.end() - 3, steps.end()),
              (std::vector<std::string>{"pump 1000", "image", "close"}));
    EXPECT_EQ(rig.state.GetStatus(), STATUS_IMAGE_NOT_FOUND);
    EXPECT_FALSE(rig.openAfterRun);
}

// A wait that throws (the CLI stopping a load) leaves Run; destroying the loader closes the port.
TEST_F(LoaderTest, ThrowingWaitLeavesRunAndTheLoaderClosesThePort) {
    Rig rig;
    rig.clock.beforeWait = [&rig](K, unsigned) {
        if (rig.state.GetStatus() == STATUS_WAITING) throw std::runtime_error("stopped");
    };
    {
        CLoaderW6 loader(&rig.state, rig.Deps());
        EXPECT_THROW(loader.Run(), std::runtime_error);
        EXPECT_TRUE(rig.log.lineOpen);
    }
    EXPECT_FALSE(rig.log.lineOpen);
    EXPECT_EQ(rig.log.events.back().kind, K::Close);
}

// One receiver behaviour from the table of faults a load meets, with the image it is given.
struct Behaviour {
    enum Kind {
        Answers,
        Silent,
        SixFields,
        BadChecksum,
        StartsAt,
        OnlyAt,
        Drops,
        WriteFails,
        NoPort,
        Chatty,
        kKinds
    };
    Kind kind = Answers;
    std::uint32_t rate = 19200;  // StartsAt, OnlyAt; bytes per second for Chatty
    long at = 0;                 // Drops: image bytes before the line goes; WriteFails: block
    bool version = true;
    std::size_t imageSize = 0;

    // Drawn from a seeded generator whose numbers are the same on every standard library.
    static Behaviour Draw(std::mt19937& random) {
        Behaviour b;
        b.kind = static_cast<Kind>(random() % kKinds);
        b.version = random() % 2 == 0;
        b.imageSize = random() % 400;
        if (b.kind == StartsAt) b.rate = static_cast<std::uint32_t>(kRates[random() % 6]);
        if (b.kind == OnlyAt)  // any rate but the working rate
            b.rate = std::array<std::uint32_t, 5>{4800, 9600, 38400, 57600, 115200}[random() % 5];
        if (b.kind == Chatty) b.rate = std::array<std::uint32_t, 3>{300, 960, 1920}[random() % 3];
        if (b.kind == Drops) b.at = static_cast<long>(random() % (b.imageSize + 1));
        if (b.kind == WriteFails) b.at = static_cast<long>(1 + random() % (b.imageSize / 50 + 1));
        return b;
    }

    [[nodiscard]] DeviceScript Script() const {
        DeviceScript s;
        s.sendVersion = version;
        switch (kind) {
            case Answers: break;
            case Silent: s.answerRate = 0; break;
            case SixFields: s.jiFields = 6; break;
            case BadChecksum: s.badChecksum = true; break;
            case StartsAt:
                s.answerRate = rate;
                s.followsJBaud = true;
                break;
            case OnlyAt: s.answerRate = rate; break;
            case Drops: s.dropAfterBlockBytes = at; break;
            case WriteFails: {
                const int block = static_cast<int>(at);
                s.failWrite = [block](int, int blockWrite) { return blockWrite == block; };
                break;
            }
            case NoPort: s.failOpenAt = 1; break;
            case Chatty: s.chatterBytesPerSecond = static_cast<int>(rate); break;
            case kKinds: break;
        }
        return s;
    }

    [[nodiscard]] std::string Describe() const {
        static const char* const kNames[] = {
            "answers", "silent",      "six fields",     "bad checksum", "starts at",
            "only at", "drops after", "write fails at", "no port",      "chatty"};
        return std::string(kNames[kind]) + " " + std::to_string(rate) + "/" + std::to_string(at) +
               (version ? " version" : "") + ", image " + std::to_string(imageSize);
    }
};

// What a user is left with after a load: the status, the image bytes counted as sent, the boxes
// shown, and every byte written once the receiver had been found (with a "!" after a write that
// failed). How many attempts the detection took is left out: the probe rate carries over on
// purpose.
std::string Outcome(const SLoaderState& state, const std::vector<WireEvent>& events) {
    std::string boxes;
    std::string afterDetection;
    for (const WireEvent& e : events) {
        if (e.kind == K::Box) boxes += "[" + e.bytes + "]";
        if (e.kind == K::Open && e.result) afterDetection.clear();
        if (e.kind == K::Write) afterDetection += e.bytes + (e.result ? "" : "!");
    }
    const std::int32_t status = state.GetStatus();
    if (status == STATUS_DEVICE_NOT_DETECTED || status == STATUS_INVALID_PORT)
        afterDetection.clear();
    return "status " + std::to_string(status) + ", sent " + std::to_string(state.GetSentBytes()) +
           " of " + std::to_string(state.GetTotalBytes()) + ", boxes " + boxes + ", wire " +
           std::to_string(std::hash<std::string>{}(afterDetection)) + " (" +
           std::to_string(afterDetection.size()) + " bytes)";
}

// Loads one after another through one record in one program run, as the window runs them.
std::string LoadOnce(Rig& rig, const Behaviour& b) {
    rig.state.Reset();
    rig.state.SetComPort(kPort);
    rig.image = std::vector<std::uint8_t>(b.imageSize);
    for (std::size_t i = 0; i < b.imageSize; ++i)
        (*rig.image)[i] = static_cast<std::uint8_t>(i * 31 + 7);
    const std::size_t from = rig.log.events.size();
    rig.Run<CLoaderW6>(b.Script());
    return Outcome(rig.state, {rig.log.events.begin() + static_cast<std::ptrdiff_t>(from),
                               rig.log.events.end()});
}

// A load's outcome depends on the receiver it meets, never on the loads before it: each of a few
// hundred loads in a row, against behaviours drawn from the table, ends as the same behaviour
// does as a later load of a fresh program run (whose first load made the one-time sweep).
TEST_F(LoaderTest, LoadsDoNotDependOnTheLoadsBefore) {
    constexpr std::uint32_t kSeed = 20261207;
    constexpr int kLoads = 300;
    std::mt19937 random(kSeed);
    std::vector<Behaviour> behaviours;
    std::map<std::string, std::string> fresh;  // by behaviour
    for (int load = 0; load < kLoads; ++load) {
        behaviours.push_back(Behaviour::Draw(random));
        auto [it, isNew] = fresh.try_emplace(behaviours.back().Describe());
        if (!isNew) continue;
        // A first load of its own made the sweep; the load measured starts on a new record.
        CLoader::ResetProgramWideRatesForTesting();
        Rig first;
        LoadOnce(first, Behaviour{});
        Rig later;
        it->second = LoadOnce(later, behaviours.back());
    }

    CLoader::ResetProgramWideRatesForTesting();
    Rig chain;
    for (int load = 0; load < kLoads; ++load) {
        const Behaviour& b = behaviours[static_cast<std::size_t>(load)];
        EXPECT_EQ(LoadOnce(chain, b), fresh[b.Describe()])
            << "seed " << kSeed << ", load " << load << ": " << b.Describe();
    }
}

}  // namespace
}  // namespace morvane::testing
