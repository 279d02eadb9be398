#include "session/load_log.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "platform/debug.h"
#include "platform/sha256.h"
#include "platform/text.h"
#include "record/loader_status.h"
#include "res/firmware_image.h"
#include "session/system_log.h"

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
    const std::string text = TextField(usb, key);
    if (text.empty() || text.size() > 4 ||
        text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return 0;
    return static_cast<std::uint16_t>(std::stoul(text, nullptr, 16));
}

}  // namespace

const char* LoadResultWord(const SRunEnd& end) {
    if (end.cancelled) return "stopped";
    if (end.failed) return "failed";
    if (end.status == STATUS_INVALID_PORT) return "open-failed";
    if (end.probeOnly) return end.answered ? "probed" : "not-detected";
    switch (end.status) {
        case STATUS_DEVICE_NOT_DETECTED: return "not-detected";
        case STATUS_FIRMWARE_COMPLETE:
            if (!end.verifyRan) return "loaded";
            return end.verified ? "verified" : "not-verified";
        // The receiver already ran the carried firmware and was left as it was.
        case STATUS_NO_UPDATE_REQUIRED: return "skipped";
        // Any other end did not send the whole image.
        default: return "failed";
    }
}

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

const std::string& CarriedImageSha256() {
    static const std::string digest = Sha256Hex(EmbeddedFirmwareImage());
    return digest;
}

std::optional<SUsbIdentity> UsbIdentityOf(const CArray<SSerInfo, SSerInfo&>& ports, int comPort,
                                          const std::string& device) {
    const std::string name = comPort != 0 ? Format("COM%d", comPort) : std::string();
    for (const SSerInfo& p : ports) {
        const bool same =
            comPort != 0 ? p.portName == name
                         : !device.empty() && (p.devicePath == device || p.stableName == device);
        if (same) return p.isUsb ? std::optional<SUsbIdentity>(p.usb) : std::nullopt;
    }
    return std::nullopt;
}

CLoadRecorder::CLoadRecorder(SLoadLogTarget target, std::string program)
    : target_(std::move(target)) {
    record_.program = std::move(program);
}

void CLoadRecorder::Started(const std::string& port, const std::string& device, int comPort) {
    started_ = std::chrono::system_clock::now();
    startedSteady_ = std::chrono::steady_clock::now();
    record_.port = port;
    record_.device = device;
    if (!target_.enabled) return;
    CArray<SSerInfo, SSerInfo&> ports;
    try {
        EnumerateComPorts(ports);
    } catch (const ComEnumError& e) {
        // The record then tells no adapter; the load goes on.
        OutputDebugStringA(("load record: " + port +
                            ": no USB identity, the ports could not be "
                            "listed: " +
                            e.what() + "\n")
                               .c_str());
        return;
    }
    record_.usb = UsbIdentityOf(ports, comPort, device);
    if (!record_.usb) {
        OutputDebugStringA(
            Format(
                "load record: %s: no USB identity, not listed as a USB port (%zu ports listed)\n",
                port.c_str(), ports.size())
                .c_str());
    }
}

std::string CLoadRecorder::Finished(const SRunEnd& end, const std::string& firmwareBefore,
                                    const std::string& firmwareAfter, const SLoaderState& state) {
    if (!target_.enabled) return {};
    // Measured on the steady clock: a clock set during the load does not make it last longer.
    // The end is the start plus that time, so a box left open does not move it either.
    const std::chrono::duration<double> took =
        std::max(std::chrono::steady_clock::now() - startedSteady_ - userWait_,
                 std::chrono::steady_clock::duration::zero());
    SLoadRecord r = record_;
    r.started = IsoUtc(started_);
    r.ended =
        IsoUtc(started_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(took));
    r.version = MORVANE_VERSION;
    r.host = HostName();
    r.firmwareBefore = firmwareBefore;
    r.firmwareAfter = firmwareAfter;
    r.result = LoadResultWord(end);
    const auto status = StatusText(end.status);
    r.status = status ? std::string(*status) : std::string();
    r.bytesSent = state.GetSentBytes();
    r.bytesTotal = state.GetTotalBytes();
    r.imageSha256 = CarriedImageSha256();
    r.durationSeconds = took.count();
    if (target_.systemLog) {
        const std::string unsent = SendToSystemLog(r);
        if (!unsent.empty()) OutputDebugStringA(("load record: " + unsent + "\n").c_str());
    }
    return AppendLoadRecord(target_, r);
}

std::string LoadLogPath(const SLoadLogTarget& target) {
    if (!target.enabled) return {};
    return target.file.empty() ? DefaultLoadLogPath() : target.file;
}

std::string AppendLoadRecord(const SLoadLogTarget& target, const SLoadRecord& record) {
    if (!target.enabled) return {};
    const std::string path = LoadLogPath(target);
    if (path.empty()) return "this system names no folder for the record of loads (use --log FILE)";
    return AppendInOneWrite(path, LoadRecordLine(record));
}

SLoadHistory ReadLoadHistory(const std::string& path, std::size_t count) {
    SLoadHistory history;
    // The path is UTF-8 on every system: Windows opens it by its wide name.
    std::ifstream in(std::filesystem::path(std::u8string(path.begin(), path.end())),
                     std::ios::binary);
    if (!in) return history;
    history.found = true;
    std::deque<SLoadRecord> last;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        std::optional<SLoadRecord> record = ParseLoadRecord(line);
        if (!record) {
            ++history.damagedLines;
            continue;
        }
        last.push_back(std::move(*record));
        if (last.size() > count) last.pop_front();
    }
    history.records.assign(std::make_move_iterator(last.begin()),
                           std::make_move_iterator(last.end()));
    return history;
}

}  // namespace morvane
