// How a load ended, and what the user is told about it: after a probe (is a receiver there, and
// which firmware does it run?), after a load that did not succeed (what was heard, and what to do),
// and after a verification once the receiver restarted. morvane-cli prints these texts; the windows
// show them in a box, so every program explains a failure in the same words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "serial/open_error_facts.h"
#include "serial/port_choice.h"
#include "serial/serial_device.h"
#include "session/load_record_file.h"

namespace morvane {

// What became of the port for the detection after the receiver's restart.
enum class VerifyPort : std::uint8_t {
    Opened,   // it opened, at once or once it came back
    Gone,     // it went away as the receiver restarted and did not come back in time
    Refused,  // it was there but would not open; the outcome's open error says why
};

// Where in a load the port's device went away under it (an adapter pulled out, a receiver that
// left the USB bus).
enum class PortLost : std::uint8_t {
    No,
    DuringDetection,
    BeforeImage,  // after detection, before the first byte of the image left
    DuringImage,
};

// What one detection found on a port.
struct DetectionFacts {
    bool answered = false;
    int attempt = 0;             // the attempt that found the receiver (1-based)
    int attempts = 0;            // the attempts there were
    std::size_t bytesHeard = 0;  // read from the line, whether they made sense or not
    std::string firmware;        // the firmware version the receiver named; empty: none
    std::string bootLoader;      // the boot loader's version, when the receiver named that
    VerifyPort port = VerifyPort::Opened;  // after the restart only
};

// How a load ended, read after its worker was done and before the loader (and its device) went
// away.
struct LoadOutcome {
    std::int32_t status = 0;  // the last status the load wrote; a verification is reported apart
    bool cancelled = false;
    // Why the port could not be opened, for an invalid port, and what the system knows of it
    // (gathered on the worker: it may read the file system).
    OpenError openError;
    OpenErrorFacts openFacts;
    // What came back during detection: a valid answer, and the bytes read, valid or not.
    bool answered = false;
    std::size_t bytesHeard = 0;
    std::uint32_t sentBytes = 0;       // of the image, when the load ended
    std::uint32_t totalBytes = 0;      // the image's size; 0 when the transfer never started
    PortLost portLost = PortLost::No;  // where the load ended because its port went away
    std::string failure;               // what an unexpected exception said, if one left the load
    std::string firmwareBefore;  // the version the receiver named before the load; empty: none
    std::optional<RecordError> recordError;  // why the record of the load was not written
    // The detection of a probe, or the one after the restart when the load was verified.
    bool verifyRan = false;
    DetectionFacts detection;
};

struct Verdict {
    bool good = false;  // found (a probe), or running the expected firmware (a verification)
    std::string text;   // one or more lines, each ended by a line feed
};

// The firmware text as the receiver's reply gave it, without the blanks and line ends that
// some replies carry around the number.
[[nodiscard]] std::string TrimVersion(std::string_view text);

// "Receiver found on COM5, firmware 1.21 (...)", or what was heard and a hint.
[[nodiscard]] Verdict ProbeVerdict(const DetectionFacts& facts, const std::string& where);

// "Verified: the receiver reports firmware 1.22" when the restarted receiver on `where` names
// `expected`; "Not verified: ..." with what was seen otherwise.
[[nodiscard]] Verdict VerifyVerdict(const DetectionFacts& facts, const std::string& where,
                                    std::string_view expected);

// What to tell the user after a load that did not succeed (empty when there is nothing to add to
// the status line), from what was heard: nothing at all, bytes but no valid answer, or an answer
// and a failure later. Why a port would not open is explained apart from this. The hints send
// the user to where `choice` says ports are listed.
[[nodiscard]] std::string AdviceAfterLoad(const LoadOutcome& outcome, const std::string& portLabel,
                                          const std::string& devicePath,
                                          PortChoice choice = PortChoice::CommandLine);

}  // namespace morvane
