#include "session/load_record.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "platform/text.h"
#include "record/loader_status.h"
#include "serial/port_identity.h"

namespace morvane {
namespace {

using Json = nlohmann::ordered_json;

Json TextOrNull(const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); }

std::string TextField(const nlohmann::json& line, const char* key) {
    const auto at = line.find(key);
    return at != line.end() && at->is_string() ? at->get<std::string>() : std::string();
}

template <typename T>
T NumberField(const nlohmann::json& line, const char* key) {
    const auto at = line.find(key);
    return at != line.end() && at->is_number() ? at->get<T>() : T{};
}

std::uint16_t HexIdField(const nlohmann::json& usb, const char* key) {
    return ParseHexId(TextField(usb, key)).value_or(0);
}

}  // namespace

std::string IsoUtc(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto secs = floor<seconds>(when);
    const auto day = floor<days>(secs);
    const year_month_day date{day};
    const hh_mm_ss<seconds> time{secs - day};
    return Format("%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
}

Json UsbIdentityJson(const SUsbIdentity& usb) {
    Json out;
    out["vid"] = usb.vid != 0 ? Json(Format("%04x", usb.vid)) : Json(nullptr);
    out["pid"] = usb.pid != 0 ? Json(Format("%04x", usb.pid)) : Json(nullptr);
    out["serial"] = TextOrNull(usb.serial);
    out["location"] = TextOrNull(usb.location);
    return out;
}

std::string LoadRecordLine(const SLoadRecord& r) {
    Json line;
    line["started"] = r.started;
    line["ended"] = r.ended;
    line["program"] = r.program;
    line["version"] = r.version;
    line["host"] = r.host;
    line["port"] = r.port;
    line["device"] = r.device;
    line["usb"] = r.usb ? UsbIdentityJson(*r.usb) : Json(nullptr);
    line["firmware_before"] = TextOrNull(r.firmwareBefore);
    line["firmware_after"] = TextOrNull(r.firmwareAfter);
    line["result"] = r.result;
    line["status"] = r.status;
    line["bytes_sent"] = r.bytesSent;
    line["bytes_total"] = r.bytesTotal;
    line["image_sha256"] = r.imageSha256;
    // Tenths of a second: enough for a load, and a number that reads back as written.
    line["duration_s"] = std::round(r.durationSeconds * 10) / 10;
    // A receiver's or an adapter's text need not be UTF-8; the line must still be valid JSON.
    return line.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::optional<SLoadRecord> ParseLoadRecord(std::string_view text) {
    const nlohmann::json line = nlohmann::json::parse(text, nullptr, false);
    // A record names at least when, where and how it ended.
    if (!line.is_object()) return std::nullopt;
    for (const char* key : {"started", "port", "result"}) {
        const auto at = line.find(key);
        if (at == line.end() || !at->is_string()) return std::nullopt;
    }
    SLoadRecord r;
    r.started = TextField(line, "started");
    r.ended = TextField(line, "ended");
    r.program = TextField(line, "program");
    r.version = TextField(line, "version");
    r.host = TextField(line, "host");
    r.port = TextField(line, "port");
    r.device = TextField(line, "device");
    const auto usb = line.find("usb");
    if (usb != line.end() && usb->is_object()) {
        r.usb = SUsbIdentity{HexIdField(*usb, "vid"), HexIdField(*usb, "pid"),
                             TextField(*usb, "serial"), TextField(*usb, "location")};
    }
    r.firmwareBefore = TextField(line, "firmware_before");
    r.firmwareAfter = TextField(line, "firmware_after");
    r.result = TextField(line, "result");
    r.status = TextField(line, "status");
    r.bytesSent = NumberField<std::uint32_t>(line, "bytes_sent");
    r.bytesTotal = NumberField<std::uint32_t>(line, "bytes_total");
    r.imageSha256 = TextField(line, "image_sha256");
    r.durationSeconds = NumberField<double>(line, "duration_s");
    return r;
}

}  // namespace morvane
