#include "cli/listings.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <nlohmann/json.hpp>
#include <vector>

#include "platform/text.h"
#include "serial/port_identity.h"
#include "session/load_record.h"

namespace morvane {
namespace {

using Json = nlohmann::ordered_json;

std::string OrDash(const std::string& text) { return text.empty() ? "-" : text; }

// "2025-05-02T14:03:07Z" as "2025-05-02 14:03:07"; anything else as it stands.
std::string When(const std::string& iso) {
    if (iso.size() != 20 || iso[10] != 'T' || iso[19] != 'Z') return iso;
    return iso.substr(0, 10) + " " + iso.substr(11, 8);
}

std::string Duration(double seconds) {
    const long long whole = std::llround(seconds);
    return Format("%lld:%02lld", whole / 60, whole % 60);
}

}  // namespace

std::vector<int> PortsToProbe(const CArray<SSerInfo, SSerInfo&>& ports) {
    std::vector<int> comPorts;
    for (const SSerInfo& p : ports) {
        const int com = ComNumberOf(p);
        if (com > 0 && !p.isBluetooth) comPorts.push_back(com);
    }
    return comPorts;
}

std::string PortListLine(const SSerInfo& p) {
    std::string line = p.portName + "  " + OrDash(p.friendlyName) + "  " + p.devicePath + "  " +
                       (p.isUsb ? "USB" : "not USB");
    if (p.usb.vid != 0 || p.usb.pid != 0) line += Format(" %04x:%04x", p.usb.vid, p.usb.pid);
    if (!p.usb.serial.empty()) line += " serial " + p.usb.serial;
    if (!p.usb.location.empty()) line += " at " + p.usb.location;
    return line;
}

std::string PortListJson(const SSerInfo& p) {
    Json line;
    line["port"] = p.portName;
    line["name"] = p.friendlyName;
    line["description"] = p.description;
    line["device"] = p.devicePath;
    line["usb"] = p.isUsb ? UsbIdentityJson(p.usb) : Json(nullptr);
    line["stable_name"] = p.stableName.empty() ? Json(nullptr) : Json(p.stableName);
    // An adapter writes its own strings, which need not be UTF-8.
    return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string HistoryTable(const SLoadHistory& history) {
    // Records reach the file as their loads end, from every program that shares it: each is
    // listed by its end, so the list reads in order whatever order the appends came in.
    std::vector<const SLoadRecord*> byEnd;
    for (const SLoadRecord& r : history.records) byEnd.push_back(&r);
    std::stable_sort(byEnd.begin(), byEnd.end(), [](const SLoadRecord* a, const SLoadRecord* b) {
        return a->ended < b->ended;
    });
    std::vector<std::array<std::string, 5>> rows;
    rows.push_back({"Ended (UTC)", "Port", "Firmware", "Result", "Time"});
    for (const SLoadRecord* record : byEnd) {
        const SLoadRecord& r = *record;
        rows.push_back({When(r.ended), r.port,
                        OrDash(r.firmwareBefore) + " -> " + OrDash(r.firmwareAfter), r.result,
                        Duration(r.durationSeconds)});
    }
    std::array<std::size_t, 5> width{};
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
    }
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) line += std::string(width[c] - row[c].size() + 2, ' ');
        }
        out += line + "\n";
    }
    if (history.damagedLines == 1) out += "1 damaged line skipped\n";
    if (history.damagedLines > 1)
        out += Format("%zu damaged lines skipped\n", history.damagedLines);
    return out;
}

}  // namespace morvane
