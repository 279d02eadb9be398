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
#include "session/load_session.h"
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

// What to do, as the advice says it below the message when the message is its first line.
std::string AdviceBelowMessage(const PortVerdict& verdict) {
    if (!verdict.result.empty() || FirstLine(verdict.advice) != verdict.message)
        return verdict.advice;
    const std::size_t end = verdict.advice.find('\n');
    return end == std::string::npos ? std::string() : verdict.advice.substr(end + 1);
}

std::string Where(const PortFacts& facts) { return PortWhere(facts.label, facts.devicePath); }

std::string StoppedText(const LoadRequest& request, LoadEnd end) {
    if (request.probeOnly) return "the probe was stopped; the receiver still holds its firmware.";
    switch (end) {
        case LoadEnd::StoppedBeforeImage:
            return "the load was stopped before any of the image was sent; the receiver still "
                   "holds its firmware.";
        case LoadEnd::StoppedAfterImage:
            return std::string("the load was stopped after the whole image was sent") +
                   (request.verify ? ", before it was verified." : ".");
        default: return "the load was stopped; the receiver may need a new load.";
    }
}

}  // namespace

int ExitStatusOf(const LoadOutcome& outcome, StopRequest stoppedBy) {
    const int status = LoadEndRowOf(outcome.end).exitStatus;
    return status == kExitOfTheStop ? ExitStatusForStop(stoppedBy) : status;
}

std::string RecordProblem(const LoadOutcome& outcome) {
    if (!outcome.recordError) return {};
    const RecordError& error = *outcome.recordError;
    std::string why;
    switch (error.kind) {
        case RecordErrorKind::NoFolder:
            why = "this system names no folder for the record of loads (use --log FILE)";
            break;
        case RecordErrorKind::PartlyWritten:
            why = error.path + ": only part of the record could be written (the disk may be full)";
            break;
        case RecordErrorKind::CannotMakeFolder:
        case RecordErrorKind::CannotOpen:
        case RecordErrorKind::CannotWrite: why = error.path + ": " + error.systemText; break;
    }
    return std::string(kProgramPrefix) + "the record of this load could not be written: " + why +
           "\n";
}

namespace {

PortVerdict Judge(const LoadRequest& request, const LoadOutcome& outcome, const PortFacts& facts,
                  const EndTextFacts& fill) {
    using enum LoadEnd;
    PortVerdict v;
    v.word = FillEndText(LoadEndRowOf(outcome.end).word, fill);
    v.exitStatus = ExitStatusOf(outcome, facts.stoppedBy);
    switch (outcome.end) {
        case StoppedBeforeImage:
        case StoppedInImage:
        case StoppedAfterImage:
            v.message = StoppedText(request, outcome.end);
            v.advice = std::string(kProgramPrefix) + v.message + "\n";
            return v;
        case Crashed:
            v.message = "the load failed: " + outcome.failure;
            v.advice = std::string(kProgramPrefix) + v.message + "\n";
            return v;
        case OpenFailed:
            v.advice = AdviceAfterLoad(outcome, facts.label, facts.devicePath) +
                       ExplainOpenError(outcome.openError, facts.label, request.comPort,
                                        outcome.openFacts);
            break;
        case ProbeGone:
        case GoneInDetection:
            // What was heard until the port went says nothing about the cable.
            v.advice =
                Where(facts) +
                " went away during detection: the device is gone.\n"
                "  Plug the receiver's cable (or its USB serial adapter) back in and try again;\n"
                "  morvane-cli --list shows the ports there are now.\n";
            break;
        case Found:
        case ProbeNotDetected:
            std::tie(v.result, v.advice) =
                SplitHeadline(ProbeVerdict(outcome.detection, facts.label));
            break;
        case Skipped:
            v.result = std::string("Skipped: the receiver already reports firmware ") +
                       kFirmwareVersion + "; nothing was sent.\n";
            break;
        default:
            v.advice = AdviceAfterLoad(outcome, facts.label, facts.devicePath);
            if (!outcome.verifyRan) break;
            auto [headline, rest] =
                SplitHeadline(VerifyVerdict(outcome.verification, facts.label, kFirmwareVersion));
            v.result = std::move(headline);
            v.advice += rest;
            if (outcome.end == NotVerifiedPortRefused) {
                v.advice += ExplainOpenError(outcome.openError, facts.label, request.comPort,
                                             outcome.openFacts);
            }
    }
    if (!v.result.empty()) {
        v.message = FirstLine(v.result);
    } else if (!v.advice.empty()) {
        v.message = FirstLine(v.advice);
    } else {
        v.message = StatusLineFor(outcome.status).value_or("");
    }
    return v;
}

}  // namespace

PortVerdict JudgePort(const LoadRequest& request, const LoadOutcome& outcome,
                      const PortFacts& facts) {
    const EndTextFacts fill =
        EndTextFactsOf(outcome, StatusWords(StatusLineFor(outcome.status).value_or("")));
    PortVerdict v = Judge(request, outcome, facts, fill);
    if (facts.watched) {
        // What became of the receiver in a few words, and what the bench does next.
        const LoadEndRow& row = LoadEndRowOf(outcome.end);
        const std::string fate = FillEndText(row.fate, fill);
        v.word = *row.next == '\0' ? fate : fate + " — " + row.next;
        if (v.exitStatus == kExitNotDetected) {
            // Whatever hangs there is no receiver: it stays left alone, plugged or not.
            v.counts = false;
            v.result.clear();
            v.advice.clear();
        } else {
            v.wordUnplugged = fate + " — unplugged";
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
    e["advice"] = AdviceBelowMessage(verdict);
    e["result"] = LoadEndRowOf(outcome.end).record;
    if (outcome.verifyRan) {
        const std::string& version = outcome.verification.firmware;
        e["verified_version"] =
            version.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(version);
    }
    return e;
}

}  // namespace morvane
