// --json: what happens on one port as events for programs, one JSON object per line.
//
// Every event names the port and the time since the program started ("t", seconds):
//   {"event":"start","port":"COM5","t":0.0,"action":"load","verify":true}
//   {"event":"status","port":"COM5","t":0.1,"code":1,"text":"Status: Detecting Baud Rate"}
//   {"event":"firmware","port":"COM5","t":12.4,"version":"1.21"}
//   {"event":"progress","port":"COM5","t":40.2,"percent":1,"sent":1400,"total":136352,
//    "remaining_seconds":124}
//   {"event":"prompt","port":"COM5","t":101.3,"text":"Load Completed\t"}
//   {"event":"probe"|"verify","port":"COM5","t":110.9,"answered":true,"attempt":6,
//    "bytes_heard":212,"version":"1.22","boot_loader":null}
//   {"event":"result","port":"COM5","t":111.0,"exit_status":0,"status":8,
//    "status_text":"Status: Firmware Update Complete","message":"Verified: ...","advice":"",
//    "result":"verified","verified_version":"1.22"}
// The status texts are the status view's; the result is the port's verdict (port_outcome.h).
// A watch adds the ports that come and go, with what discovery knows of them:
//   {"event":"port-added","port":"COM7","t":3.0,"device":"/dev/ttyUSB0",
//    "usb":{"vid":"0403","pid":"6001","serial":"A50285BI","location":"1-1.2"}}
//   {"event":"port-removed","port":"COM7","t":140.2}
// Texts from the receiver are passed on as they came; bytes that are not UTF-8 become U+FFFD.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <ostream>
#include <string>

#include "record/loader_state.h"
#include "serial/enumerate_com_ports.h"
#include "session/load_outcome.h"

namespace morvane {

// The event of a port that appeared: its device, and its adapter's USB identity (null for a port
// that is not on USB).
[[nodiscard]] nlohmann::ordered_json PortAddedEvent(const SSerInfo& port);

// Where a port's events go, each a whole event as --json writes it.
using EventSink = std::function<void(const nlohmann::ordered_json&)>;

// The event's line as --json writes it, line feed included.
[[nodiscard]] std::string EventLine(const nlohmann::ordered_json& event);

class CJsonEvents {
public:
    using Clock = std::chrono::steady_clock;

    // The events as lines on `out`.
    CJsonEvents(std::ostream& out, std::string port, Clock::time_point start);
    CJsonEvents(EventSink sink, std::string port, Clock::time_point start);

    // `action`: "load" or "probe".
    void Start(const std::string& action, bool verify);
    // One pass over the record: a status that changed, a firmware version newly named, a whole
    // percent of the transfer newly reached.
    void Pass(const SLoaderState& state);
    // A message box of the load.
    void Prompt(const std::string& text);
    // What a detection found; `kind`: "probe" or "verify".
    void Detection(const std::string& kind, const DetectionFacts& facts);
    // Hands the event on: its name, the port and the time first, then its own fields.
    void Emit(const nlohmann::ordered_json& event);

private:
    EventSink sink_;
    std::string port_;
    Clock::time_point start_;
    std::int32_t shownStatus_ = -1;
    bool statusShown_ = false;
    std::string shownFirmware_;
    int shownPercent_ = -1;
};

}  // namespace morvane
