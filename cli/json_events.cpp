#include "cli/json_events.h"

#include <nlohmann/json.hpp>
#include <optional>

#include "session/load_record.h"
#include "view/status_view.h"

namespace morvane {

nlohmann::ordered_json PortAddedEvent(const SSerInfo& port) {
    nlohmann::ordered_json e;
    e = {{"event", "port-added"}, {"device", port.devicePath}};
    // As --list --json and the record of loads write it.
    e["usb"] = port.isUsb ? UsbIdentityJson(port.usb) : nlohmann::ordered_json(nullptr);
    return e;
}

std::string EventLine(const nlohmann::ordered_json& event) {
    // What a receiver sends need not be UTF-8; a reader of the events must still get valid JSON.
    return event.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + '\n';
}

CJsonEvents::CJsonEvents(std::ostream& out, std::string port, Clock::time_point start)
    : CJsonEvents([&out](const nlohmann::ordered_json& e) { out << EventLine(e) << std::flush; },
                  std::move(port), start) {}

CJsonEvents::CJsonEvents(EventSink sink, std::string port, Clock::time_point start)
    : sink_(std::move(sink)), port_(std::move(port)), start_(start) {}

void CJsonEvents::Emit(const nlohmann::ordered_json& event) {
    nlohmann::ordered_json line;
    line["event"] = event.at("event");
    line["port"] = port_;
    const std::chrono::duration<double> t = Clock::now() - start_;
    line["t"] = static_cast<double>(static_cast<long long>(t.count() * 1000.0)) / 1000.0;
    for (const auto& [key, value] : event.items())
        if (key != "event") line[key] = value;
    sink_(line);
}

void CJsonEvents::Start(const std::string& action, bool verify) {
    nlohmann::ordered_json e;
    e = {{"event", "start"}, {"action", action}, {"verify", verify}};
    Emit(e);
}

void CJsonEvents::Pass(const SLoaderState& state) {
    const std::int32_t status = state.GetStatus();
    if (!statusShown_ || status != shownStatus_) {
        statusShown_ = true;
        shownStatus_ = status;
        nlohmann::ordered_json e;
        const std::optional<std::string> text = StatusLineFor(status);
        e = {{"event", "status"}, {"code", status}};
        e["text"] = text ? nlohmann::ordered_json(*text) : nullptr;
        Emit(e);
    }
    if (state.GetFirmwareDetected()) {
        const std::string version = TrimVersion(state.GetFirmwareText());
        if (version != shownFirmware_) {
            shownFirmware_ = version;
            nlohmann::ordered_json e;
            e = {{"event", "firmware"}, {"version", version}};
            Emit(e);
        }
    }
    const std::uint32_t total = state.GetTotalBytes();
    if (total != 0 && state.GetLoadRunning()) {
        const std::uint32_t sent = state.GetSentBytes();
        const auto percent = static_cast<int>(ProgressPercent(sent, total));
        if (percent != shownPercent_) {
            shownPercent_ = percent;
            nlohmann::ordered_json e;
            e = {{"event", "progress"},
                 {"percent", percent},
                 {"sent", sent},
                 {"total", total},
                 {"remaining_seconds", state.GetRemainingSeconds()}};
            Emit(e);
        }
    }
}

void CJsonEvents::Prompt(const std::string& text) {
    nlohmann::ordered_json e;
    e = {{"event", "prompt"}, {"text", text}};
    Emit(e);
}

void CJsonEvents::Detection(const std::string& kind, const DetectionFacts& facts) {
    nlohmann::ordered_json e;
    e = {{"event", kind},
         {"answered", facts.answered},
         {"attempt", facts.attempt},
         {"bytes_heard", facts.bytesHeard}};
    e["version"] = facts.firmware.empty() ? nlohmann::ordered_json(nullptr)
                                          : nlohmann::ordered_json(facts.firmware);
    e["boot_loader"] = facts.bootLoader.empty() ? nlohmann::ordered_json(nullptr)
                                                : nlohmann::ordered_json(facts.bootLoader);
    Emit(e);
}

}  // namespace morvane
