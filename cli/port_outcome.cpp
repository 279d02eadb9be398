#include "cli/port_outcome.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <tuple>
#include <utility>

#include "cli/exit_status.h"
#include "platform/text.h"
#include "record/loader_status.h"
#include "res/firmware_image.h"
#include "serial/port_identity.h"
#include "view/open_error_text.h"
#include "view/status_view.h"

namespace morvane {
namespace {

// A verdict's first line, its result, and the lines below it, which say what to do.
std::pair<std::string, std::string> SplitHeadline(const std::string& text) {
    const std::size_t end = text.find('\n');
    if (end == std::string::npos) return {text, {}};
    return {text.substr(0, end + 1), text.substr(end + 1)};
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

std::string Where(const PortFacts& facts) { return PortWhere(facts.label, facts.devicePath); }

// The port opened, then stopped opening while the receiver was looked for: its device is no
// longer there (an adapter pulled out, a receiver that left the USB bus). What was heard until
// then says nothing about the cable.
bool WentAwayDuringDetection(const LoadOutcome& outcome) {
    return outcome.status == STATUS_DEVICE_NOT_DETECTED &&
           (outcome.portLost == PortLost::DuringDetection ||
            outcome.openError.kind == OpenErrorKind::NoSuchDevice);
}

// Whether the receiver still holds its firmware depends on how far the image went. The transfer
// sets its total before the first block goes out, so no total means no byte of the image left.
std::string StoppedText(const LoadRequest& request, const LoadOutcome& outcome) {
    if (request.probeOnly) return "the probe was stopped; the receiver still holds its firmware.";
    if (outcome.totalBytes == 0) {
        return "the load was stopped before any of the image was sent; the receiver still holds "
               "its firmware.";
    }
    if (outcome.sentBytes >= outcome.totalBytes) {
        return std::string("the load was stopped after the whole image was sent") +
               (request.verify ? ", before it was verified." : ".");
    }
    return "the load was stopped; the receiver may need a new load.";
}

}  // namespace

int ExitStatusForOutcome(const LoadRequest& request, const LoadOutcome& outcome) {
    if (request.probeOnly) {
        if (outcome.status == STATUS_INVALID_PORT) return kExitPortFailed;
        return outcome.detection.answered ? kExitLoaded : kExitNotDetected;
    }
    const int load = ExitStatusForLoad(outcome.status);
    if (load != kExitLoaded || !outcome.verifyRan) return load;
    return VerifyVerdict(outcome.detection, PortLabelOf(request), kFirmwareVersion).good
               ? kExitLoaded
               : kExitNotVerified;
}

std::string RecordProblem(const LoadOutcome& outcome) {
    if (outcome.recordError.empty()) return {};
    return std::string(kProgramPrefix) +
           "the record of this load could not be written: " + outcome.recordError + "\n";
}

namespace {

PortVerdict Judge(const LoadRequest& request, const LoadOutcome& outcome, const PortFacts& facts) {
    PortVerdict v;
    const std::optional<std::string> statusLine = StatusLineFor(outcome.status);
    v.word = StatusWords(statusLine.value_or(""));
    v.exitStatus = ExitStatusForOutcome(request, outcome);
    if (outcome.cancelled) {
        v.exitStatus = ExitStatusForStop(facts.stoppedBy);
        v.word = "stopped";
        v.message = StoppedText(request, outcome);
        v.advice = std::string(kProgramPrefix) + v.message + "\n";
        return v;
    }
    if (!outcome.failure.empty()) {
        v.exitStatus = kExitLoadFailed;
        v.message = "the load failed: " + outcome.failure;
        v.advice = std::string(kProgramPrefix) + v.message + "\n";
        return v;
    }
    if (outcome.status == STATUS_INVALID_PORT) {
        v.advice =
            AdviceAfterLoad(outcome, facts.label, facts.devicePath) +
            ExplainOpenError(outcome.openError, facts.label, request.comPort, outcome.openFacts);
    } else if (WentAwayDuringDetection(outcome)) {
        v.word = "went away";
        v.advice =
            Where(facts) +
            " went away during detection: the device is gone.\n"
            "  Plug the receiver's cable (or its USB serial adapter) back in and try again;\n"
            "  morvane-cli --list shows the ports there are now.\n";
    } else if (request.probeOnly) {
        const DetectionFacts& found = outcome.detection;
        std::tie(v.result, v.advice) = SplitHeadline(ProbeVerdict(found, facts.label).text);
        if (!found.answered) {
            v.word = "no receiver";
        } else {
            v.word = found.firmware.empty() ? "found" : "found, firmware " + found.firmware;
        }
    } else if (outcome.status == STATUS_NO_UPDATE_REQUIRED) {
        v.word = "skipped";
        v.result = std::string("Skipped: the receiver already reports firmware ") +
                   kFirmwareVersion + "; nothing was sent.\n";
    } else {
        v.advice = AdviceAfterLoad(outcome, facts.label, facts.devicePath);
        if (outcome.portLost != PortLost::No) v.word = "went away";
        if (outcome.verifyRan) {
            auto [headline, rest] =
                SplitHeadline(VerifyVerdict(outcome.detection, facts.label, kFirmwareVersion).text);
            v.result = std::move(headline);
            v.advice += rest;
            if (outcome.detection.port == VerifyPort::Refused) {
                v.advice += ExplainOpenError(outcome.openError, facts.label, request.comPort,
                                             outcome.openFacts);
            }
            v.word += v.exitStatus == kExitLoaded ? ", verified" : ", NOT verified";
        }
    }
    if (!v.result.empty()) {
        v.message = FirstLine(v.result);
    } else if (!v.advice.empty()) {
        v.message = FirstLine(v.advice);
    } else {
        v.message = statusLine.value_or("");
    }
    return v;
}

// What became of a watched receiver in a few words, and what the bench does next (empty: the
// words say it).
struct WatchedFate {
    std::string fate;
    std::string next;
};

WatchedFate Watched(const LoadRequest& request, const LoadOutcome& outcome, const PortVerdict& v) {
    const std::string version = kFirmwareVersion;
    if (outcome.cancelled) {
        if (outcome.totalBytes == 0) return {"stopped: nothing was sent", {}};
        if (outcome.sentBytes >= outcome.totalBytes)
            return {"stopped after the whole image was sent", {}};
        return {"stopped: the receiver may need a new load", {}};
    }
    if (!outcome.failure.empty()) return {"failed: " + outcome.failure, {}};
    if (outcome.portLost == PortLost::BeforeImage)
        return {"failed: went away before the image", {}};
    if (outcome.portLost == PortLost::DuringImage) {
        return {
            Format("failed: went away after %u of %u bytes", outcome.sentBytes, outcome.totalBytes),
            {}};
    }
    if (outcome.status == STATUS_NO_UPDATE_REQUIRED)
        return {"already " + version + ", skipped", "unplug"};
    const DetectionFacts& seen = outcome.detection;
    switch (v.exitStatus) {
        case kExitLoaded:
            return {"done " + version + (request.verify ? ", verified" : ""), "unplug"};
        case kExitNotDetected:
            return {WentAwayDuringDetection(outcome) ? "went away" : "no receiver answered",
                    "left alone"};
        case kExitPortFailed: return {"failed: the port would not open", {}};
        case kExitNotVerified:
            if (seen.port == VerifyPort::Gone)
                return {"failed: not verified, its port did not come back", {}};
            if (seen.port == VerifyPort::Refused)
                return {"failed: not verified, its port would not open again", {}};
            if (!seen.answered) return {"failed: not verified, no answer after restart", {}};
            return {
                "failed: not verified, reports " + (seen.firmware.empty() ? "none" : seen.firmware),
                {}};
        default: break;
    }
    return {"failed: " + StatusWords(StatusLineFor(outcome.status).value_or("")) +
                Format(" after %u of %u bytes", outcome.sentBytes, outcome.totalBytes),
            {}};
}

}  // namespace

PortVerdict JudgePort(const LoadRequest& request, const LoadOutcome& outcome,
                      const PortFacts& facts) {
    PortVerdict v = Judge(request, outcome, facts);
    if (facts.watched) {
        const WatchedFate fate = Watched(request, outcome, v);
        v.word = fate.next.empty() ? fate.fate : fate.fate + " — " + fate.next;
        if (v.exitStatus == kExitNotDetected) {
            // Whatever hangs there is no receiver: it stays left alone, plugged or not.
            v.counts = false;
            v.result.clear();
            v.advice.clear();
        } else {
            v.wordUnplugged = fate.fate + " — unplugged";
        }
    }
    // The run stands as it ended whatever became of its record; only the advice says so.
    v.advice += RecordProblem(outcome);
    return v;
}

nlohmann::ordered_json ResultEvent(const PortVerdict& verdict, const LoadOutcome& outcome) {
    nlohmann::ordered_json e;
    e = {{"event", "result"}, {"exit_status", verdict.exitStatus}, {"status", outcome.status}};
    const std::optional<std::string> statusLine = StatusLineFor(outcome.status);
    e["status_text"] = statusLine ? nlohmann::ordered_json(*statusLine) : nullptr;
    e["message"] = verdict.message;
    if (outcome.verifyRan) {
        const std::string& version = outcome.detection.firmware;
        e["verified_version"] =
            version.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(version);
    }
    return e;
}

}  // namespace morvane
