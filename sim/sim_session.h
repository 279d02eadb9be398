// The simulated receiver's session report: every command it heard and how an image transfer
// went, and the same as JSON for the tests and scripts that read it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace morvane {

// Time since the session began.
using SimTime = std::chrono::milliseconds;

struct SSimCommand {
    SimTime t{0};
    std::uint32_t rate = 0;  // the updater's line rate when the line arrived; 0: not told
    std::string line;
};

struct SSimTransfer {
    bool started = false;   // "$JAPPTRANSFER" arrived
    bool complete = false;  // the end-of-file record arrived
    std::size_t bytesReceived = 0;
    std::size_t records = 0;
    std::size_t errors = 0;
    std::string sha256;  // of the bytes received; empty when no transfer started
    bool imageMatches = false;
};

struct SSimSession {
    std::vector<SSimCommand> commands;
    SSimTransfer transfer;
    std::string version;  // the firmware version the receiver now reports; empty in the boot loader
};

// The report as JSON:
// {"commands":[{"t":secs,"rate":r,"line":"..."}...],
//  "transfer":{"started":b,"complete":b,"bytes_received":n,"records":n,"errors":n,"sha256":"hex",
//              "image_matches":b},
//  "version":"..."}
[[nodiscard]] std::string SessionJson(const SSimSession& session);

// 0 when a complete, faultless image equal to the expected one arrived, or, when no transfer was
// expected, when none was attempted; 1 otherwise.
[[nodiscard]] int SessionExitStatus(const SSimSession& session, bool noTransferExpected);

}  // namespace morvane
