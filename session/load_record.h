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
// This is the line alone: what it holds, how it is written and read back. The file it goes to is
// load_record_file.h; what fills it as a load goes, load_recorder.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>

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
    std::string result;               // how the load ended: "verified", "failed" (load_outcome.h)
    std::string status;               // the status text the load ended on
    std::uint32_t bytesSent = 0;
    std::uint32_t bytesTotal = 0;
    std::string imageSha256;
    double durationSeconds = 0;
};

// "2025-05-02T14:03:07Z".
[[nodiscard]] std::string IsoUtc(std::chrono::system_clock::time_point when);

// The USB identity as the record and the port list write it: vid and pid as four hex digits,
// each field null where not known.
[[nodiscard]] nlohmann::ordered_json UsbIdentityJson(const SUsbIdentity& usb);

// The record as its line in the file, line feed included.
[[nodiscard]] std::string LoadRecordLine(const SLoadRecord& record);

// A line of the file read back; nothing for a line that is not a record (a damaged or cut line).
[[nodiscard]] std::optional<SLoadRecord> ParseLoadRecord(std::string_view text);

}  // namespace morvane
