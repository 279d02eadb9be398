// What the user is told after a probe, a verification, and a load that did not succeed.
#include "session/load_outcome.h"

#include <gtest/gtest.h>

#include <iterator>
#include <vector>

#include "record/loader_status.h"

namespace morvane {
namespace {

DetectionFacts Answered(std::string firmware, std::string bootLoader = "") {
    DetectionFacts f;
    f.answered = true;
    f.attempt = 6;
    f.attempts = 20;
    f.bytesHeard = 180;
    f.firmware = std::move(firmware);
    f.bootLoader = std::move(bootLoader);
    return f;
}
DetectionFacts Silent(std::size_t bytesHeard) {
    DetectionFacts f;
    f.attempts = 20;
    f.bytesHeard = bytesHeard;
    return f;
}
DetectionFacts NotOpened(VerifyPort port) {
    DetectionFacts f;
    f.port = port;
    return f;
}

TEST(Verdicts, ProbeAndVerifySayWhatWasFound) {
    struct Row {
        const char* name;
        bool verify;
        DetectionFacts facts;
        const char* says;
    };
    const Row rows[] = {
        {"found", false, Answered("1.21"),
         "Receiver found on COM5, firmware 1.21 (answered at attempt 6 of 20)\n"},
        {"found in boot loader", false, Answered("", "2.05"), "in its boot loader 2.05"},
        {"found, no version", false, Answered(""), "named no firmware version"},
        {"nothing heard", false, Silent(0), "nothing at all was heard in 20 attempts"},
        {"bytes but no reply", false, Silent(4000), "4000 bytes were heard"},
        {"verified", true, Answered("1.22"), "Verified: the receiver reports firmware 1.22\n"},
        {"old version", true, Answered("1.21"), "reports firmware 1.21, not 1.22"},
        {"boot loader", true, Answered("", "2.05"), "stayed in its boot loader 2.05"},
        {"no version", true, Answered(""), "named no firmware version"},
        {"no answer", true, Silent(0), "did not answer after its restart"},
        {"port gone", true, NotOpened(VerifyPort::Gone),
         "Not verified: COM5 went away when the receiver restarted and did not come back within "
         "30 s\n"},
        {"port refused", true, NotOpened(VerifyPort::Refused),
         "Not verified: COM5 would not open again after the receiver restarted.\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string v =
            row.verify ? VerifyVerdict(row.facts, "COM5", "1.22") : ProbeVerdict(row.facts, "COM5");
        EXPECT_NE(v.find(row.says), std::string::npos) << v;
        EXPECT_EQ(v.back(), '\n');
    }
}

// Every way a load ends has its one row: the record's word, morvane-cli's exit status and closing
// table word, a watched port's last words, and the system log's severity.
TEST(LoadEnds, EachEndIsToldByItsRow) {
    using enum LoadEnd;
    using S = LogSeverity;
    struct Row {
        LoadEnd end;
        const char* record;
        int exitStatus;
        S severity;
        const char* word;
        const char* watched;  // the fate, then what the bench does next
    };
    const Row rows[] = {
        {StoppedBeforeImage, "stopped", kExitOfTheStop, S::Warning, "stopped",
         "stopped: nothing was sent"},
        {StoppedInImage, "stopped", kExitOfTheStop, S::Warning, "stopped",
         "stopped: the receiver may need a new load"},
        {StoppedAfterImage, "stopped", kExitOfTheStop, S::Warning, "stopped",
         "stopped after the whole image was sent"},
        {Crashed, "failed", 4, S::Error, "Waiting..", "failed: boom"},
        {OpenFailed, "open-failed", 2, S::Warning, "Waiting..", "failed: the port would not open"},
        {ProbeGone, "not-detected", 3, S::Warning, "went away", "went away|left alone"},
        {ProbeNotDetected, "not-detected", 3, S::Warning, "no receiver",
         "no receiver answered|left alone"},
        {Found, "probed", 0, S::Info, "found, firmware 1.21", "found, firmware 1.21"},
        {GoneInDetection, "failed", 3, S::Error, "went away", "went away|left alone"},
        {NotDetected, "not-detected", 3, S::Warning, "Waiting..",
         "no receiver answered|left alone"},
        {Skipped, "skipped", 0, S::Info, "skipped", "already 1.22, skipped|unplug"},
        {GoneBeforeImage, "failed", 4, S::Error, "went away", "failed: went away before the image"},
        {GoneInImage, "failed", 4, S::Error, "went away",
         "failed: went away after 20000 of 136352 bytes"},
        {TransferFailed, "failed", 4, S::Error, "Waiting..",
         "failed: Waiting.. after 20000 of 136352 bytes"},
        {Loaded, "loaded", 0, S::Info, "Waiting..", "done 1.22|unplug"},
        {Verified, "verified", 0, S::Info, "Waiting.., verified", "done 1.22, verified|unplug"},
        {NotVerifiedPortGone, "not-verified", 5, S::Error, "Waiting.., NOT verified",
         "failed: not verified, its port did not come back"},
        {NotVerifiedPortRefused, "not-verified", 5, S::Error, "Waiting.., NOT verified",
         "failed: not verified, its port would not open again"},
        {NotVerifiedSilent, "not-verified", 5, S::Error, "Waiting.., NOT verified",
         "failed: not verified, no answer after restart"},
        {NotVerifiedOther, "not-verified", 5, S::Error, "Waiting.., NOT verified",
         "failed: not verified, reports 1.21"},
    };
    ASSERT_EQ(std::size(rows), kLoadEndCount);
    const EndTextFacts facts{"Waiting..", "1.21", 20000, 136352, "boom"};
    for (const Row& r : rows) {
        const LoadEndRow& row = LoadEndRowOf(r.end);
        SCOPED_TRACE(r.watched);
        EXPECT_EQ(row.end, r.end);
        EXPECT_STREQ(row.record, r.record);
        EXPECT_EQ(row.exitStatus, r.exitStatus);
        EXPECT_EQ(row.severity, r.severity);
        EXPECT_EQ(FillEndText(row.word, facts), r.word);
        const std::string next = row.next;
        EXPECT_EQ(FillEndText(row.fate, facts) + (next.empty() ? "" : "|" + next), r.watched);
        // The system's log ranks a record by its word alone: every end that writes it ranks
        // the same.
        ASSERT_NE(LoadEndRowOfRecord(r.record), nullptr);
        EXPECT_EQ(LoadEndRowOfRecord(r.record)->severity, r.severity);
    }
    EXPECT_EQ(LoadEndRowOfRecord("done"), nullptr);
}

// What the receiver named, or that it named nothing, and braces that are no fact stay.
TEST(LoadEnds, FactsFillTheirPlaces) {
    const EndTextFacts none{"Connected", "", 0, 0, ""};
    EXPECT_EQ(FillEndText("found{named}, reports {firmware} {x}", none), "found, reports none {x}");
    EXPECT_EQ(FillEndText("{status}{", none), "Connected{");
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
        PortLost portLost = PortLost::No;
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
         {"answered", "Bytes came back", "at any rate"}},
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
        // A port whose device went away: where in the load, and what to do; no cable to check.
        {STATUS_WAITING,
         true,
         90,
         0,
         {"COM5 (/dev/ttyS4) went away before the image was sent", "none", "Plug", "--list"},
         {"cable on", "broke off"},
         PortLost::BeforeImage},
        {STATUS_BLOCK_FAILED,
         true,
         90,
         20000,
         {"COM5 (/dev/ttyS4) went away during the image, after 20000 of 136352 bytes",
          "does not hold a whole image", "Plug"},
         {"cable on", "broke off"},
         PortLost::DuringImage},
    };
    for (const Row& r : rows) {
        LoadOutcome outcome;
        outcome.status = r.status;
        outcome.detection.answered = r.answered;
        outcome.detection.bytesHeard = r.bytesHeard;
        outcome.sentBytes = r.sent;
        outcome.totalBytes = 136352;
        outcome.portLost = r.portLost;
        const std::string text = AdviceAfterLoad(outcome, "COM5", "/dev/ttyS4");
        SCOPED_TRACE("status " + std::to_string(r.status) + ": " + text);
        EXPECT_EQ(text.empty(), r.mustSay.empty());
        for (const char* s : r.mustSay) EXPECT_NE(text.find(s), std::string::npos) << s;
        for (const char* s : r.mustNotSay) EXPECT_EQ(text.find(s), std::string::npos) << s;
        // The window sends the user to its own port list instead.
        const std::string inWindow =
            AdviceAfterLoad(outcome, "COM5", "/dev/ttyS4", PortChoice::PortList);
        EXPECT_EQ(inWindow.find("morvane-cli"), std::string::npos) << inWindow;
    }
    // Windows' own form of the port's name says nothing beside it.
    LoadOutcome silent;
    silent.status = STATUS_DEVICE_NOT_DETECTED;
    EXPECT_EQ(AdviceAfterLoad(silent, "COM7", "\\\\.\\COM7", PortChoice::PortList)
                  .rfind("Nothing at all came back on COM7 at", 0),
              0u);
}

}  // namespace
}  // namespace morvane
