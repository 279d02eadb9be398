// The record of loads: one JSON line per load, appended to a file that several programs may
// share (a bench's morvane-cli runs and its windows, several benches on one network folder), so
// a bench knows afterwards which receiver on which adapter got what, and how it ended.
//
// A line (one line in the file; broken here):
//   {"started":"2025-05-02T14:03:07Z","ended":"2025-05-02T14:04:58Z","program":"morvane-cli",
//    "version":"1.0.0.0","host":"bench-3","port":"COM33","device":"/dev/ttyUSB0",
//    "usb":{"vid":"0403","pid":"6001","serial":"A50285BI","location":"1-1.2"},
//    "firmware_before":"1.21","firmware_after":"1.22","result":"verified",
//    "status":"Status: Firmware Update Complete","bytes_sent":136352,"bytes_total":136352,
//    "image_sha256":"…","duration_s":111.2}
// What is not known is null: `usb` for a port that is not on USB (and each of its fields the
// system does not tell), the firmware versions no receiver named.
//
// Each record goes out in one append, so records of programs sharing the file never interleave.
// Nothing here prints: a record that cannot be written comes back as its reason, and a program
// says it without failing the load.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "record/loader_state.h"
#include "serial/enumerate_com_ports.h"

namespace morvane {

struct SLoadRecord {
    std::string started;  // ISO 8601, UTC, to the second
    std::string ended;
    std::string program;  // "morvane-cli", "morvane"
    std::string version;
    std::string host;
    std::string port;                 // "COM33", or the path a load was given
    std::string device;               // what the port stood for when the load started
    std::optional<SUsbIdentity> usb;  // nothing: not a USB port (or not known to be one)
    std::string firmwareBefore;       // named by the receiver before the load; empty: none
    std::string firmwareAfter;        // named after its restart (a verified load); empty: none
    std::string result;               // one of the words of LoadResultWord
    std::string status;               // the status text the load ended on
    std::uint32_t bytesSent = 0;
    std::uint32_t bytesTotal = 0;
    std::string imageSha256;
    double durationSeconds = 0;
};

// How a run on one port ended, as far as the record's result word tells it.
struct SRunEnd {
    bool probeOnly = false;  // detection alone; nothing was to be loaded
    bool cancelled = false;  // stopped by the user or the system
    bool failed = false;     // an unexpected error left the load, or its port went away
    std::int32_t status = 0;
    bool answered = false;   // a probe: a receiver answered
    bool verifyRan = false;  // the load was complete and the restarted receiver looked for
    bool verified = false;   // it named the firmware the program carries
};

// "loaded", "verified", "not-verified", "probed" (a probe found the receiver), "skipped" (a
// receiver already on the carried firmware was left alone, as asked), "not-detected",
// "open-failed", "failed" or "stopped".
[[nodiscard]] const char* LoadResultWord(const SRunEnd& end);

// "2025-05-02T14:03:07Z".
[[nodiscard]] std::string IsoUtc(std::chrono::system_clock::time_point when);

// The USB identity as the record and the port list write it: vid and pid as four hex digits,
// each field null where not known.
[[nodiscard]] nlohmann::ordered_json UsbIdentityJson(const SUsbIdentity& usb);

// The record as its line in the file, line feed included.
[[nodiscard]] std::string LoadRecordLine(const SLoadRecord& record);

// A line of the file read back; nothing for a line that is not a record (a damaged or cut line).
[[nodiscard]] std::optional<SLoadRecord> ParseLoadRecord(std::string_view text);

// The digest of the image this program carries, taken once.
[[nodiscard]] const std::string& CarriedImageSha256();

// Where records go: the default file, another one, or nowhere.
struct SLoadLogTarget {
    bool enabled = true;
    std::string file;        // empty: the default file of this system
    bool systemLog = false;  // also the system's log (the journal, the event log); the programs'
                             // records go there, a test's stay in its file
};

// $XDG_STATE_HOME/morvane/loads.jsonl (or ~/.local/state/morvane/loads.jsonl); on Windows
// %LOCALAPPDATA%\Morvane\loads.jsonl. Empty when the system names no such folder.
[[nodiscard]] std::string DefaultLoadLogPath();

// The file of a target; empty when records are off.
[[nodiscard]] std::string LoadLogPath(const SLoadLogTarget& target);

// Appends the record to the target's file, its folders made first. Empty when written (or when
// records are off); otherwise why not, in words for the user.
[[nodiscard]] std::string AppendLoadRecord(const SLoadLogTarget& target, const SLoadRecord& record);

// The last `count` records of a file, oldest first, and how many lines were not records.
struct SLoadHistory {
    bool found = false;  // the file could be read
    std::vector<SLoadRecord> records;
    std::size_t damagedLines = 0;
};
[[nodiscard]] SLoadHistory ReadLoadHistory(const std::string& path, std::size_t count);

// What port discovery knows of a port's USB adapter: the port found by its COM number (not 0), or
// else by its device path or stable name. Nothing for a port that is not on USB or not found.
[[nodiscard]] std::optional<SUsbIdentity> UsbIdentityInPortList(
    const CArray<SSerInfo, SSerInfo&>& ports, int comPort, const std::string& device);

// One load's record as the load goes: what is known at its start, written at its end. A program
// makes one per load and port; nothing is written when the target is off.
class CLoadRecorder {
public:
    CLoadRecorder(SLoadLogTarget target, std::string program);

    // As the load starts: the time, the port ("COM5" or a path), the device it stands for, and
    // what the system knows of its adapter.
    void Started(const std::string& port, const std::string& device, int comPort);
    // The load stood still for `waited` while a box waited for the user to close it: that time
    // is no part of the load's duration.
    void WaitedOnUser(std::chrono::steady_clock::duration waited) { userWait_ += waited; }
    // As it ends: the record appended, and sent to the system's log when the target asks.
    // Empty when written (or off), else why not; the system's log is the debug channel's.
    [[nodiscard]] std::string Finished(const SRunEnd& end, const std::string& firmwareBefore,
                                       const std::string& firmwareAfter, const SLoaderState& state);

private:
    SLoadLogTarget target_;
    SLoadRecord record_;
    std::chrono::system_clock::time_point started_;
    std::chrono::steady_clock::time_point startedSteady_;
    std::chrono::steady_clock::duration userWait_{};
};

// This machine's name, for the record.
[[nodiscard]] std::string HostName();

// Appends `text` to the file at `path` in one write, making the file and its folders.
// Empty when done, else why not.
[[nodiscard]] std::string AppendInOneWrite(const std::string& path, std::string_view text);

}  // namespace morvane
