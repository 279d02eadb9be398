// What the user is told when the port cannot be opened: which device the port is, why it
// failed, and what to do about it. morvane-cli prints it; the window shows it in a box beside
// its status line, in the same words.
//
// The wording is a pure function of the error and a few facts about the device, so every case
// can be checked without the system; serial/open_error_facts.h asks the system for those facts.
#pragma once

#include <string>

#include "serial/open_error_facts.h"
#include "serial/port_choice.h"
#include "serial/serial_device.h"

namespace morvane {

// `portLabel` names the port as the user named it: "COM5", or the path given with --port.
// `comPort` is the number (0 for --port). Several lines, each ending in '\n'.
[[nodiscard]] std::string ExplainOpenError(const OpenError& error, const std::string& portLabel,
                                           int comPort, const OpenErrorFacts& facts,
                                           PortChoice choice = PortChoice::CommandLine);

// A box of the window: a headline and, below it, the details.
struct SNotice {
    std::string text;
    std::string detail;

    bool operator==(const SNotice&) const = default;
};

// A text wrapped for an 80-column terminal, as a box wants it: lines that go on with the same
// sentence joined, the advice's indent gone, a command to type kept on a line of its own.
[[nodiscard]] std::string BoxText(const std::string& terminalText);

// The box the window shows after a load could not open COM `comPort`: the base loader's words
// for it, then why and what to do, as morvane-cli says it.
[[nodiscard]] SNotice OpenFailureNotice(const OpenError& error, int comPort,
                                        const OpenErrorFacts& facts);

}  // namespace morvane
