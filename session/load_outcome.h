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

// The ways a load (or a probe) ends. The session decides it once, as the load ends, from the facts
// below; every program reads it from there and tells it through LoadEndRowOf. A new way for a load
// to end is a value here, a row in the table, and the session's decision.
enum class LoadEnd : std::uint8_t {
    StoppedBeforeImage,      // stopped (a probe too) before any of the image left
    StoppedInImage,          // stopped part-way through the image
    StoppedAfterImage,       // stopped once the whole image was sent (before it was verified)
    Crashed,                 // an unexpected error left the load
    OpenFailed,              // the port would not open (at the start, or again for the transfer)
    ProbeGone,               // a probe's port went away while the receiver was looked for
    ProbeNotDetected,        // a probe where no receiver answered
    Found,                   // a probe that found the receiver
    GoneInDetection,         // a load's port went away while the receiver was looked for
    NotDetected,             // no receiver answered
    Skipped,                 // the receiver already ran the carried firmware and was left alone
    GoneBeforeImage,         // the port went away after detection, before the image
    GoneInImage,             // the port went away during the image
    TransferFailed,          // the load ended otherwise without sending the whole image
    Loaded,                  // the whole image went out (no verification asked)
    Verified,                // and the restarted receiver names the carried firmware
    NotVerifiedPortGone,     // the port went away at the restart and did not come back in time
    NotVerifiedPortRefused,  // it was there after the restart but would not open
    NotVerifiedSilent,       // the restarted receiver did not answer
    NotVerifiedOther,        // it answered with other firmware, or none
};
inline constexpr std::size_t kLoadEndCount =
    static_cast<std::size_t>(LoadEnd::NotVerifiedOther) + 1;

// How the system's log ranks a load's end: a receiver that was left as it should be, one whose
// load did not happen (not found, the port refused, stopped), and one that may now be without
// working firmware (a failed or unconfirmed load).
enum class LogSeverity : std::uint8_t { Info, Warning, Error };

// The exit statuses of a load's end, the contract scripts rely on (morvane-cli --help lists them).
inline constexpr int kExitLoaded = 0;       // the image was sent completely (or was there already)
inline constexpr int kExitPortFailed = 2;   // the port could not be opened (or listed)
inline constexpr int kExitNotDetected = 3;  // the receiver did not answer
inline constexpr int kExitLoadFailed = 4;   // the transfer failed, or the load ended otherwise
inline constexpr int kExitNotVerified = 5;  // the restarted receiver did not name the new firmware
// In the table: the status of what stopped the load (a signal's, Ctrl-C's).
inline constexpr int kExitOfTheStop = -1;

// How each program tells one way of ending. The texts may hold facts of the load, which
// FillEndText puts in: {status} the words of the status the load ended on, {version} the carried
// firmware, {firmware} what the receiver named ("none"), {named} ", firmware 1.21" when it named
// one, {sent} and {total} the image's bytes, {failure} what the unexpected error said.
struct LoadEndRow {
    LoadEnd end;
    const char* record;  // the record of loads' "result"
    int exitStatus;      // morvane-cli's, or kExitOfTheStop
    const char* word;    // morvane-cli's closing table
    const char* fate;    // a watched port's last words: what became of the receiver
    const char* next;    // and what the bench does next; "": the fate says it
    LogSeverity severity;
};

[[nodiscard]] const LoadEndRow& LoadEndRowOf(LoadEnd end);
// The row whose record word is `record`; nothing for a word no end writes.
[[nodiscard]] const LoadEndRow* LoadEndRowOfRecord(std::string_view record);

// How a load ended, read after its worker was done and before the loader (and its device) went
// away.
struct LoadOutcome {
    LoadEnd end = LoadEnd::TransferFailed;
    std::int32_t status = 0;  // the last status the load wrote; a verification is reported apart
    bool cancelled = false;
    // Why the port could not be opened, for an invalid port, and what the system knows of it
    // (gathered on the worker: it may read the file system).
    OpenError openError;
    OpenErrorFacts openFacts;
    // What came back while the receiver was looked for: a probe's detection, or a load's before
    // its image (a valid answer, and the bytes read, valid or not).
    DetectionFacts detection;
    std::uint32_t sentBytes = 0;       // of the image, when the load ended
    std::uint32_t totalBytes = 0;      // the image's size; 0 when the transfer never started
    PortLost portLost = PortLost::No;  // where the load ended because its port went away
    std::string failure;               // what an unexpected exception said, if one left the load
    std::string firmwareBefore;  // the version the receiver named before the load; empty: none
    std::optional<RecordError> recordError;  // why the record of the load was not written
    // The detection once the receiver restarted, when the load was verified.
    bool verifyRan = false;
    DetectionFacts verification;
};

// The facts FillEndText puts into a row's text.
struct EndTextFacts {
    std::string statusWords;
    std::string firmware;
    std::uint32_t sentBytes = 0;
    std::uint32_t totalBytes = 0;
    std::string failure;
};
[[nodiscard]] EndTextFacts EndTextFactsOf(const LoadOutcome& outcome, std::string statusWords);
[[nodiscard]] std::string FillEndText(std::string_view text, const EndTextFacts& facts);

// The firmware text as the receiver's reply gave it, without the blanks and line ends that
// some replies carry around the number.
[[nodiscard]] std::string TrimVersion(std::string_view text);

// "Receiver found on COM5, firmware 1.21 (...)", or what was heard and a hint; one or more lines,
// each ended by a line feed, as are the verification's.
[[nodiscard]] std::string ProbeVerdict(const DetectionFacts& facts, const std::string& where);

// "Verified: the receiver reports firmware 1.22" when the restarted receiver on `where` names
// `expected`; "Not verified: ..." with what was seen otherwise.
[[nodiscard]] std::string VerifyVerdict(const DetectionFacts& facts, const std::string& where,
                                        std::string_view expected);

// What to tell the user after a load that did not succeed (empty when there is nothing to add to
// the status line), from what was heard: nothing at all, bytes but no valid answer, or an answer
// and a failure later. Why a port would not open is explained apart from this. The hints send
// the user to where `choice` says ports are listed.
[[nodiscard]] std::string AdviceAfterLoad(const LoadOutcome& outcome, const std::string& portLabel,
                                          const std::string& devicePath,
                                          PortChoice choice = PortChoice::CommandLine);

}  // namespace morvane
