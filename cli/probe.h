// What morvane-cli tells the user after looking for a receiver: before a load (--probe), and
// after one, once the receiver has restarted (--verify).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace morvane {

// What one detection found on a port.
struct DetectionFacts {
    bool answered = false;
    int attempt = 0;             // the attempt that found the receiver (1-based)
    int attempts = 0;            // the attempts there were
    std::size_t bytesHeard = 0;  // read from the line, whether they made sense or not
    std::string firmware;        // the firmware version the receiver named; empty: none
    std::string bootLoader;      // the boot loader's version, when the receiver named that
};

struct Verdict {
    int exitStatus = 0;
    std::string text;  // one or more lines, each ended by a line feed
};

// The firmware text as the receiver's reply gave it, without the blanks and line ends that
// some replies carry around the number.
[[nodiscard]] std::string TrimVersion(std::string_view text);

// "Receiver found on COM5, firmware 1.21 (...)" with exit status 0, or what was heard and a hint
// with exit status 3.
[[nodiscard]] Verdict ProbeVerdict(const DetectionFacts& facts, const std::string& where);

// "Verified: the receiver reports firmware 1.22" with exit status 0 when the restarted receiver
// names `expected`; "Not verified: ..." with what was seen and exit status 5 otherwise.
[[nodiscard]] Verdict VerifyVerdict(const DetectionFacts& facts, std::string_view expected);

}  // namespace morvane
