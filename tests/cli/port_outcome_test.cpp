// How each way a port's run can end is told: exit status, closing-table word (a watched port's
// last words), the result for stdout, the advice for stderr, and the result event.
#include "cli/port_outcome.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cli/exit_status.h"
#include "record/loader_status.h"
#include "res/firmware_image.h"

namespace morvane {
namespace {

// Watch: a port taken up by a watch as it appeared, its load verified and a current receiver
// skipped.
enum class Kind { Load, Verify, Probe, Watch };

LoadRequest RequestOf(Kind kind) {
    LoadRequest r;
    r.comPort = 5;
    r.verify = kind == Kind::Verify || kind == Kind::Watch;
    r.skipCurrent = kind == Kind::Watch;
    r.probeOnly = kind == Kind::Probe;
    return r;
}

DetectionFacts Detection(bool answered, std::string firmware, std::string bootLoader = "") {
    DetectionFacts f;
    f.answered = answered;
    f.attempt = answered ? 6 : 0;
    f.attempts = 20;
    f.bytesHeard = answered ? 180 : 0;
    f.firmware = std::move(firmware);
    f.bootLoader = std::move(bootLoader);
    return f;
}

// The result is the verdict's first line, and the advice holds the lines below it.
constexpr const char* kVerdict = "(the verdict)";
// The advice holds what AdviceAfterLoad says of the outcome.
constexpr const char* kAdvice = "(the advice after the load)";

struct Row {
    const char* name;
    Kind kind;
    LoadOutcome outcome;
    StopRequest stoppedBy;
    int exitStatus;
    const char* word;
    const char* result;           // the whole result; "" for none
    const char* adviceSays;       // "": no advice (but the verdict's)
    const char* adviceNeverSays;  // "": nothing to rule out
};

// The session's decision, as it makes it when the load ends.
LoadOutcome Decided(const LoadRequest& request, LoadOutcome o) {
    o.end = LoadEndOf(request, o);
    return o;
}

LoadOutcome Outcome(std::int32_t status, std::uint32_t sent = 0, std::uint32_t total = 0) {
    LoadOutcome o;
    o.status = status;
    o.sentBytes = sent;
    o.totalBytes = total;
    o.detection.answered = status != STATUS_DEVICE_NOT_DETECTED && status != STATUS_INVALID_PORT;
    return o;
}
LoadOutcome Verified(DetectionFacts facts) {
    LoadOutcome o = Outcome(STATUS_FIRMWARE_COMPLETE, 136352, 136352);
    o.verifyRan = true;
    o.verification = std::move(facts);
    return o;
}
// The restarted receiver's port did not open for the verification.
LoadOutcome PortAfterRestart(VerifyPort port, OpenErrorKind openError) {
    DetectionFacts facts = Detection(false, "");
    facts.port = port;
    LoadOutcome o = Verified(facts);
    o.openError = {openError, "/dev/ttyFAKE0", "", 0, {}};
    return o;
}
LoadOutcome Probed(DetectionFacts facts) {
    LoadOutcome o = Outcome(facts.answered ? STATUS_CONNECTED : STATUS_DEVICE_NOT_DETECTED);
    o.detection = std::move(facts);
    return o;
}
LoadOutcome With(LoadOutcome o, OpenErrorKind openError) {
    o.openError = {openError, "/dev/ttyFAKE0", "", 0, {}};
    return o;
}
LoadOutcome Lost(LoadOutcome o, PortLost where) {
    o.portLost = where;
    return o;
}
LoadOutcome Cancelled(LoadOutcome o) {
    o.cancelled = true;
    return o;
}
LoadOutcome Failed(LoadOutcome o) {
    o.failure = "boom";
    return o;
}
LoadOutcome Unrecorded(LoadOutcome o) {
    o.recordError =
        RecordError{RecordErrorKind::CannotOpen, "/nowhere/loads.jsonl", "Permission denied"};
    return o;
}

TEST(PortOutcome, EveryEndIsToldWithResultsAndAdviceApart) {
    using S = StopRequest;
    const Row rows[] = {
        {"loaded", Kind::Load, Outcome(STATUS_FIRMWARE_COMPLETE, 136352, 136352), S::None, 0,
         "Firmware Update Complete", "", "", ""},
        {"verified", Kind::Verify, Verified(Detection(true, "1.22")), S::None, 0,
         "Firmware Update Complete, verified", kVerdict, "", ""},
        {"stayed in the boot loader", Kind::Verify, Verified(Detection(true, "", "2.05")), S::None,
         5, "Firmware Update Complete, NOT verified", kVerdict, "", ""},
        {"verify: the port went away at the restart", Kind::Verify,
         PortAfterRestart(VerifyPort::Gone, OpenErrorKind::NoSuchDevice), S::None, 5,
         "Firmware Update Complete, NOT verified", kVerdict, "", "heard"},
        {"verify: the port would not open again", Kind::Verify,
         PortAfterRestart(VerifyPort::Refused, OpenErrorKind::Busy), S::None, 5,
         "Firmware Update Complete, NOT verified", kVerdict, "Cannot open COM5", ""},
        {"skipped: already current", Kind::Load, Outcome(STATUS_NO_UPDATE_REQUIRED), S::None, 0,
         "skipped", "Skipped: the receiver already reports firmware 1.22; nothing was sent.\n", "",
         ""},
        // A record that could not be written is said, and changes neither the outcome nor what
        // programs are told.
        {"loaded, not recorded", Kind::Load,
         Unrecorded(Outcome(STATUS_FIRMWARE_COMPLETE, 136352, 136352)), S::None, 0,
         "Firmware Update Complete", "",
         "morvane-cli: the record of this load could not be written: /nowhere/loads.jsonl: "
         "Permission denied\n",
         ""},
        {"not detected", Kind::Load, Outcome(STATUS_DEVICE_NOT_DETECTED), S::None, 3,
         "Device Not Detected", "", kAdvice, ""},
        {"load: the port went away", Kind::Load,
         With(Outcome(STATUS_DEVICE_NOT_DETECTED), OpenErrorKind::NoSuchDevice), S::None, 3,
         "went away", "", "COM5 (/dev/ttyS4) went away during detection: the device is gone",
         "Check the cable"},
        {"probe: found", Kind::Probe, Probed(Detection(true, "1.21")), S::None, 0,
         "found, firmware 1.21", kVerdict, "", ""},
        {"probe: nothing heard", Kind::Probe, Probed(Detection(false, "")), S::None, 3,
         "no receiver", kVerdict, "", ""},
        {"busy port", Kind::Load, With(Outcome(STATUS_INVALID_PORT), OpenErrorKind::Busy), S::None,
         2, "Can't Connect, Invalid COM Port", "", "Cannot open COM5", ""},
        {"broke off", Kind::Load, Outcome(STATUS_BLOCK_FAILED, 20000, 136352), S::None, 4,
         "Firmware Block Failed", "", kAdvice, ""},
        // A port whose device went away is said to have gone, never sent to check its cable.
        {"went away before the image", Kind::Load,
         Lost(Outcome(STATUS_WAITING), PortLost::BeforeImage), S::None, 4, "went away", "", kAdvice,
         "check the cable"},
        {"stopped before the image", Kind::Load, Cancelled(Outcome(STATUS_WAITING)), S::Interrupt,
         130, "stopped", "",
         "morvane-cli: the load was stopped before any of the image was sent; the receiver "
         "still holds its firmware.\n",
         "may need a new load"},
        {"stopped in the transfer", Kind::Load,
         Cancelled(Outcome(STATUS_UPDATING_FIRMWARE, 20000, 136352)), S::Terminate, 143, "stopped",
         "", "may need a new load", "still holds"},
        {"stopped before the verification", Kind::Verify,
         Cancelled(Outcome(STATUS_FIRMWARE_COMPLETE, 136352, 136352)), S::HangUp, 129, "stopped",
         "", "after the whole image was sent, before it was verified", "may need a new load"},
        {"probe stopped", Kind::Probe, Cancelled(Outcome(STATUS_DETECTING_BAUD)), S::Interrupt, 130,
         "stopped", "", "the probe was stopped", "may need a new load"},
        {"failed", Kind::Load, Failed(Outcome(STATUS_WAITING)), S::None, 4, "Waiting..", "",
         "morvane-cli: the load failed: boom\n", ""},
        // A watched port's word is its end's fate and what the bench does next; the rest is told
        // as for any port.
        // Whatever hangs on a plugged port that did not answer is left alone without a word.
        {"watch: nothing answered", Kind::Watch, Outcome(STATUS_DEVICE_NOT_DETECTED), S::None, 3,
         "no receiver answered — left alone", "", "", ""},
        {"watch: not verified", Kind::Watch, Verified(Detection(true, "1.21")), S::None, 5,
         "failed: not verified, reports 1.21", kVerdict, "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const bool watched = row.kind == Kind::Watch;
        const LoadRequest request = RequestOf(row.kind);
        const LoadOutcome outcome = Decided(request, row.outcome);
        const PortVerdict v =
            JudgePort(request, outcome, {"COM5", "/dev/ttyS4", row.stoppedBy, watched});
        EXPECT_EQ(v.exitStatus, row.exitStatus);
        // A watched port where nothing answered ran no load: it leaves the exit status alone.
        EXPECT_EQ(v.counts, !watched || row.exitStatus != kExitNotDetected);
        EXPECT_EQ(v.word, row.word);
        std::string result = row.result;
        std::string adviceSays = row.adviceSays;
        std::string verdictRest;
        if (result == kVerdict) {
            const std::string verdict =
                row.kind == Kind::Probe
                    ? ProbeVerdict(outcome.detection, "COM5")
                    : VerifyVerdict(outcome.verification, "COM5", kFirmwareVersion);
            result = verdict.substr(0, verdict.find('\n') + 1);
            verdictRest = verdict.substr(result.size());
            EXPECT_NE(v.advice.find(verdictRest), std::string::npos) << v.advice;
        }
        if (adviceSays == kAdvice) {
            adviceSays = AdviceAfterLoad(outcome, "COM5", "/dev/ttyS4");
            EXPECT_FALSE(adviceSays.empty());
        }
        EXPECT_EQ(v.result, result);
        EXPECT_EQ(v.advice.empty(), adviceSays.empty() && verdictRest.empty()) << v.advice;
        EXPECT_NE(v.advice.find(adviceSays), std::string::npos) << v.advice;
        if (*row.adviceNeverSays != '\0') {
            EXPECT_EQ(v.advice.find(row.adviceNeverSays), std::string::npos) << v.advice;
        }
        if (!v.advice.empty()) {
            EXPECT_EQ(v.advice.back(), '\n');
        }
        // Programs get one line: the result, else the advice (without the program's name).
        EXPECT_EQ(v.message.find('\n'), std::string::npos);
        EXPECT_EQ(v.message.rfind("morvane-cli", 0), std::string::npos) << v.message;
        EXPECT_FALSE(v.message.empty());
        if (!v.result.empty()) {
            EXPECT_EQ(v.message + "\n", v.result);
        }

        const nlohmann::ordered_json e = ResultEvent(v, outcome);
        EXPECT_EQ(e.at("event"), "result");
        EXPECT_EQ(e.at("exit_status"), row.exitStatus);
        EXPECT_EQ(e.at("status"), outcome.status);
        EXPECT_EQ(e.at("message"), v.message);
        EXPECT_EQ(e.contains("verified_version"), outcome.verifyRan);
    }
}

TEST(PortOutcome, TheResultEventNamesTheStatusAndTheVersionVerified) {
    const LoadRequest request = RequestOf(Kind::Verify);
    const LoadOutcome bootLoader = Decided(request, Verified(Detection(true, "", "2.05")));
    const PortVerdict v = JudgePort(request, bootLoader, {"COM5", "", {}});
    const nlohmann::ordered_json e = ResultEvent(v, bootLoader);
    EXPECT_EQ(e.at("status_text"), "Status: Firmware Update Complete");
    EXPECT_TRUE(e.at("verified_version").is_null());
    EXPECT_EQ(ResultEvent(v, Verified(Detection(true, "1.22"))).at("verified_version"), "1.22");
    EXPECT_TRUE(ResultEvent(v, Outcome(41)).at("status_text").is_null());
}

TEST(ExitStatus, TheWorstOfSeveralPorts) {
    EXPECT_EQ(WorstExitStatus({}), 0);
    EXPECT_EQ(WorstExitStatus({0, 0}), 0);
    EXPECT_EQ(WorstExitStatus({0, 2, 3}), 3);
    EXPECT_EQ(WorstExitStatus({3, 5, 0}), 5);
    EXPECT_EQ(WorstExitStatus({5, 4, 2}), 4);
    EXPECT_EQ(WorstExitStatus({4, 130, 0}), 130);
    EXPECT_EQ(WorstExitStatus({143, 4}), 143);
}

}  // namespace
}  // namespace morvane
