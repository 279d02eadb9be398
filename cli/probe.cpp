#include "cli/probe.h"

#include "cli/exit_status.h"
#include "platform/text.h"

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

}  // namespace

std::string TrimVersion(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const std::size_t last = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(first, last - first + 1));
}

Verdict ProbeVerdict(const DetectionFacts& facts, const std::string& where) {
    if (!facts.answered)
        return {kExitNotDetected, "No receiver answered on " + where + ": " + WhatWasHeard(facts)};
    const std::string attempt =
        Format(" (answered at attempt %d of %d)", facts.attempt, facts.attempts);
    if (!facts.firmware.empty())
        return {kExitLoaded,
                "Receiver found on " + where + ", firmware " + facts.firmware + attempt + "\n"};
    if (!facts.bootLoader.empty()) {
        return {kExitLoaded, "Receiver found on " + where + ", in its boot loader " +
                                 facts.bootLoader + attempt +
                                 ": it holds no firmware to run; a load puts one there.\n"};
    }
    return {kExitLoaded,
            "Receiver found on " + where + attempt + "; it named no firmware version.\n"};
}

Verdict VerifyVerdict(const DetectionFacts& facts, std::string_view expected) {
    if (!facts.answered) {
        return {kExitNotVerified, "Not verified: the receiver did not answer after its restart: " +
                                      WhatWasHeard(facts)};
    }
    if (facts.firmware == expected)
        return {kExitLoaded, "Verified: the receiver reports firmware " + facts.firmware + "\n"};
    if (!facts.firmware.empty()) {
        return {kExitNotVerified, "Not verified: the receiver reports firmware " + facts.firmware +
                                      ", not " + std::string(expected) + ". Run the load again.\n"};
    }
    if (!facts.bootLoader.empty()) {
        return {kExitNotVerified,
                "Not verified: the receiver stayed in its boot loader " + facts.bootLoader +
                    " and reports no firmware: it did not take the image.\n"
                    "  Keep it powered, check the cable and run the load again.\n"};
    }
    return {kExitNotVerified,
            "Not verified: the receiver answered after its restart but named no firmware "
            "version.\n"};
}

}  // namespace morvane
