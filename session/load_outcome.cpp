#include "session/load_outcome.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "loader/loader_w6.h"
#include "platform/text.h"
#include "record/loader_status.h"
#include "res/firmware_image.h"
#include "serial/port_identity.h"

namespace morvane {
namespace {

// What the line carried when no valid reply came, and what that points at.
std::string WhatWasHeard(const DetectionFacts& facts) {
    if (facts.bytesHeard == 0) {
        return Format("nothing at all was heard in %d attempts.\n", facts.attempts) +
               "  Check the cable, that the receiver is powered, and that this is its port.\n";
    }
    return Format("%zu bytes were heard in %d attempts, but no valid reply.\n", facts.bytesHeard,
                  facts.attempts) +
           "  Something talks on this port: it may not be a Tundro W6, or the line runs at a\n"
           "  rate the receiver was not moved from; check the device and its port settings.\n";
}

using enum LoadEnd;
constexpr const char* kStatus = "{status}";
constexpr const char* kNotVerifiedWord = "{status}, NOT verified";

// Each way of ending, in the order of LoadEnd.
constexpr LoadEndRow kLoadEnds[] = {
    {StoppedBeforeImage, "stopped", kExitOfTheStop, "stopped", "stopped: nothing was sent", "",
     LogSeverity::Warning},
    {StoppedInImage, "stopped", kExitOfTheStop, "stopped",
     "stopped: the receiver may need a new load", "", LogSeverity::Warning},
    {StoppedAfterImage, "stopped", kExitOfTheStop, "stopped",
     "stopped after the whole image was sent", "", LogSeverity::Warning},
    {Crashed, "failed", kExitLoadFailed, kStatus, "failed: {failure}", "", LogSeverity::Error},
    {OpenFailed, "open-failed", kExitPortFailed, kStatus, "failed: the port would not open", "",
     LogSeverity::Warning},
    {ProbeGone, "not-detected", kExitNotDetected, "went away", "went away", "left alone",
     LogSeverity::Warning},
    {ProbeNotDetected, "not-detected", kExitNotDetected, "no receiver", "no receiver answered",
     "left alone", LogSeverity::Warning},
    {Found, "probed", kExitLoaded, "found{named}", "found{named}", "", LogSeverity::Info},
    // A load whose port went away failed, whenever it went: nothing says the receiver is as it
    // was.
    {GoneInDetection, "failed", kExitNotDetected, "went away", "went away", "left alone",
     LogSeverity::Error},
    {NotDetected, "not-detected", kExitNotDetected, kStatus, "no receiver answered", "left alone",
     LogSeverity::Warning},
    // What a load is for is already there: the receiver runs the carried firmware.
    {Skipped, "skipped", kExitLoaded, "skipped", "already {version}, skipped", "unplug",
     LogSeverity::Info},
    {GoneBeforeImage, "failed", kExitLoadFailed, "went away", "failed: went away before the image",
     "", LogSeverity::Error},
    {GoneInImage, "failed", kExitLoadFailed, "went away",
     "failed: went away after {sent} of {total} bytes", "", LogSeverity::Error},
    // Whatever status it ended on, a load that did not send the whole image is no success.
    {TransferFailed, "failed", kExitLoadFailed, kStatus,
     "failed: {status} after {sent} of {total} bytes", "", LogSeverity::Error},
    {Loaded, "loaded", kExitLoaded, kStatus, "done {version}", "unplug", LogSeverity::Info},
    {Verified, "verified", kExitLoaded, "{status}, verified", "done {version}, verified", "unplug",
     LogSeverity::Info},
    {NotVerifiedPortGone, "not-verified", kExitNotVerified, kNotVerifiedWord,
     "failed: not verified, its port did not come back", "", LogSeverity::Error},
    {NotVerifiedPortRefused, "not-verified", kExitNotVerified, kNotVerifiedWord,
     "failed: not verified, its port would not open again", "", LogSeverity::Error},
    {NotVerifiedSilent, "not-verified", kExitNotVerified, kNotVerifiedWord,
     "failed: not verified, no answer after restart", "", LogSeverity::Error},
    {NotVerifiedOther, "not-verified", kExitNotVerified, kNotVerifiedWord,
     "failed: not verified, reports {firmware}", "", LogSeverity::Error},
};
static_assert(std::size(kLoadEnds) == kLoadEndCount, "a row for every way a load ends");

// A row is found by its end's number: a row out of place would tell another end's words.
constexpr bool RowsInTheEndsOrder() {
    for (std::size_t i = 0; i < std::size(kLoadEnds); ++i)
        if (static_cast<std::size_t>(kLoadEnds[i].end) != i) return false;
    return true;
}
static_assert(RowsInTheEndsOrder(), "the rows in the order of LoadEnd");

}  // namespace

const LoadEndRow& LoadEndRowOf(LoadEnd end) { return kLoadEnds[static_cast<std::size_t>(end)]; }

const LoadEndRow* LoadEndRowOfRecord(std::string_view record) {
    for (const LoadEndRow& row : kLoadEnds)
        if (record == row.record) return &row;
    return nullptr;
}

EndTextFacts EndTextFactsOf(const LoadOutcome& outcome, std::string statusWords) {
    const DetectionFacts& named = outcome.verifyRan ? outcome.verification : outcome.detection;
    return {std::move(statusWords), named.firmware, outcome.sentBytes, outcome.totalBytes,
            outcome.failure};
}

std::string FillEndText(std::string_view text, const EndTextFacts& facts) {
    const std::pair<std::string_view, std::string> fills[] = {
        {"{status}", facts.statusWords},
        {"{version}", kFirmwareVersion},
        {"{firmware}", facts.firmware.empty() ? "none" : facts.firmware},
        {"{named}", facts.firmware.empty() ? "" : ", firmware " + facts.firmware},
        {"{sent}", std::to_string(facts.sentBytes)},
        {"{total}", std::to_string(facts.totalBytes)},
        {"{failure}", facts.failure},
    };
    std::string out;
    while (!text.empty()) {
        const std::size_t open = text.find('{');
        out += text.substr(0, open);
        if (open == std::string_view::npos) break;
        text.remove_prefix(open);
        const auto* fill = std::find_if(std::begin(fills), std::end(fills),
                                        [&](const auto& f) { return text.starts_with(f.first); });
        if (fill == std::end(fills)) {
            out += text.front();
            text.remove_prefix(1);
            continue;
        }
        out += fill->second;
        text.remove_prefix(fill->first.size());
    }
    return out;
}

std::string TrimVersion(std::string_view text) { return std::string(TrimSpace(text)); }

std::string ProbeVerdict(const DetectionFacts& facts, const std::string& where) {
    if (!facts.answered) return "No receiver answered on " + where + ": " + WhatWasHeard(facts);
    const std::string attempt =
        Format(" (answered at attempt %d of %d)", facts.attempt, facts.attempts);
    if (!facts.firmware.empty())
        return "Receiver found on " + where + ", firmware " + facts.firmware + attempt + "\n";
    if (!facts.bootLoader.empty()) {
        return "Receiver found on " + where + ", in its boot loader " + facts.bootLoader + attempt +
               ": it holds no firmware to run; a load puts one there.\n";
    }
    return "Receiver found on " + where + attempt + "; it named no firmware version.\n";
}

std::string VerifyVerdict(const DetectionFacts& facts, const std::string& where,
                          std::string_view expected) {
    if (facts.port == VerifyPort::Gone) {
        return Format(
                   "Not verified: %s went away when the receiver restarted and did not "
                   "come back within %u s\n",
                   where.c_str(), CLoaderW6::kPortReturnMs / 1000) +
               "  Check the receiver's cable and power, and which port it is on now.\n";
    }
    if (facts.port == VerifyPort::Refused) {
        return "Not verified: " + where + " would not open again after the receiver restarted.\n";
    }
    if (!facts.answered) {
        return "Not verified: the receiver did not answer after its restart: " +
               WhatWasHeard(facts);
    }
    if (facts.firmware == expected)
        return "Verified: the receiver reports firmware " + facts.firmware + "\n";
    if (!facts.firmware.empty()) {
        return "Not verified: the receiver reports firmware " + facts.firmware + ", not " +
               std::string(expected) + ". Run the load again.\n";
    }
    if (!facts.bootLoader.empty()) {
        return "Not verified: the receiver stayed in its boot loader " + facts.bootLoader +
               " and reports no firmware: it did not take the image.\n"
               "  Keep it powered, check the cable and run the load again.\n";
    }
    return "Not verified: the receiver answered after its restart but named no firmware "
           "version.\n";
}

std::string AdviceAfterLoad(const LoadOutcome& outcome, const std::string& portLabel,
                            const std::string& devicePath, PortChoice choice) {
    const std::string portList =
        choice == PortChoice::PortList ? "the Com Port list" : "morvane-cli --list";
    const std::uint32_t sentBytes = outcome.sentBytes;
    const std::uint32_t totalBytes = outcome.totalBytes;
    const std::string where = PortWhere(portLabel, devicePath);
    if (outcome.status == STATUS_FIRMWARE_COMPLETE || outcome.status == STATUS_NO_UPDATE_REQUIRED)
        return {};
    const std::string plugBack =
        "  Plug the receiver's cable (or its USB serial adapter) back in, keep the receiver\n"
        "  powered and run the load again; " +
        portList + " shows the ports there are now.\n";
    if (outcome.portLost == PortLost::BeforeImage) {
        return where +
               " went away before the image was sent: the port's device is gone, and none\n"
               "  of the image left the PC.\n" +
               plugBack;
    }
    if (outcome.portLost == PortLost::DuringImage) {
        return Format(
                   "%s went away during the image, after %u of %u bytes: the receiver does not hold a whole image.\n",
                   where.c_str(), sentBytes, totalBytes) +
               plugBack;
    }
    if (!outcome.detection.answered) {
        if (outcome.status == STATUS_INVALID_PORT) return {};
        if (outcome.detection.bytesHeard == 0) {
            return "Nothing at all came back on " + where +
                   " at any of the rates tried.\n"
                   "  Check the cable, that the receiver is powered, and that this is the port its\n"
                   "  cable is on (" +
                   portList + "); then run the load again.\n";
        }
        return Format("Bytes came back on %s (%zu of them), but never a valid answer from a W6.\n",
                      where.c_str(), outcome.detection.bytesHeard) +
               "  The device on this port may not be the receiver, or it runs at a rate other than\n"
               "  the six tried, or it answers, but not as a Tundro W6 does. Check that this is the\n"
               "  receiver's port (" +
               portList + ") and that the receiver is a Tundro W6.\n";
    }
    switch (outcome.status) {
        case STATUS_INVALID_PORT:
            return "The receiver answered on " + where +
                   ", but the port could not be opened again for the\n"
                   "  transfer; nothing of the image was sent.\n";
        case STATUS_BLOCK_FAILED:
            return Format(
                       "The receiver answered, but the transfer broke off after %u of %u bytes: the receiver does not hold a whole image.\n",
                       sentBytes, totalBytes) +
                   "  Keep it powered, check the cable on " + where + " and run the load again.\n";
        case STATUS_IMAGE_NOT_FOUND:
            return "The firmware image this program carries could not be read; nothing was sent.\n";
        default:
            return Format(
                "The receiver answered, but the load ended without sending the whole image (%u of %u bytes).\n",
                sentBytes, totalBytes);
    }
}

}  // namespace morvane
