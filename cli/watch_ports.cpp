#include "cli/watch_ports.h"

#include <algorithm>

#include "platform/text.h"
#include "serial/port_identity.h"

namespace morvane {
namespace {

// The port listed under a name is the one the watch knew there: the same adapter by what it says
// of itself (a receiver back from its restart at another place on the bus, another hub port, is
// still that receiver), or else the same device with all it says of itself unchanged.
bool SameName(const SSerInfo& a, const SSerInfo& b) {
    return SameAdapter(a, b) ||
           (a.devicePath == b.devicePath && a.usb == b.usb && a.stableName == b.stableName);
}

}  // namespace

std::optional<SPortMatch> ParsePortMatch(std::string_view text, std::string& error) {
    const std::size_t first = text.find(':');
    const std::size_t second = first == std::string_view::npos ? first : text.find(':', first + 1);
    const std::optional<std::uint16_t> vid = ParseHexId(text.substr(0, first));
    const std::optional<std::uint16_t> pid =
        first == std::string_view::npos
            ? std::nullopt
            : ParseHexId(text.substr(
                  first + 1, second == std::string_view::npos ? second : second - first - 1));
    if (!vid || !pid) {
        error =
            "--match takes VID:PID or VID:PID:SERIAL, the ids in hexadecimal (0403:6001), "
            "not '" +
            std::string(text) + "'";
        return std::nullopt;
    }
    SPortMatch match{*vid, *pid, {}};
    if (second != std::string_view::npos) {
        match.serial = std::string(text.substr(second + 1));
        if (match.serial.empty()) {
            error = "--match '" + std::string(text) + "' ends in ':' but names no serial number";
            return std::nullopt;
        }
    }
    return match;
}

bool PortMatches(const std::vector<SPortMatch>& matches, const SSerInfo& port) {
    if (matches.empty()) return true;
    if (!port.isUsb || port.usb.vid == 0) return false;
    return std::any_of(matches.begin(), matches.end(), [&](const SPortMatch& m) {
        // Serial numbers are compared as Windows and Linux may differ in their letter case.
        return m.vid == port.usb.vid && m.pid == port.usb.pid &&
               (m.serial.empty() || EqualsNoCase(m.serial, port.usb.serial));
    });
}

CWatchedPorts::CWatchedPorts(WatchRules rules, const CArray<SSerInfo, SSerInfo&>& atStart)
    : rules_(std::move(rules)) {
    // A named port is left out here, so the first pass finds it new and loads it.
    for (const SSerInfo& port : atStart) {
        if (std::find(rules_.named.begin(), rules_.named.end(), ComNumberOf(port)) !=
            rules_.named.end())
            continue;
        ports_[port.portName] = Entry{port, WatchState::Untouched};
    }
}

bool CWatchedPorts::Watched(const SSerInfo& port) const {
    const bool named = std::find(rules_.named.begin(), rules_.named.end(), ComNumberOf(port)) !=
                       rules_.named.end();
    return named || PortMatches(rules_.matches, port);
}

WatchChanges CWatchedPorts::Update(const CArray<SSerInfo, SSerInfo&>& now) {
    WatchChanges changes;
    for (auto it = ports_.begin(); it != ports_.end();) {
        const Entry& entry = it->second;
        const auto present = std::find_if(now.begin(), now.end(), [&](const SSerInfo& p) {
            return p.portName == it->first && SameName(p, entry.info);
        });
        if (present != now.end() || entry.state == WatchState::Loading) {
            if (present != now.end() && entry.state == WatchState::Retrying)
                changes.retried.push_back(entry.info);
            ++it;
            continue;
        }
        if (entry.state != WatchState::Untouched || Watched(entry.info))
            changes.removed.push_back(it->first);
        it = ports_.erase(it);
    }
    for (const SSerInfo& port : now) {
        if (ports_.count(port.portName) != 0) continue;
        // A receiver that restarts into its new firmware may come back under another number: it
        // is the receiver loaded (or being loaded) there, not a new one.
        const bool sameReceiver = std::any_of(ports_.begin(), ports_.end(), [&](const auto& p) {
            return p.second.state != WatchState::Untouched && SameAdapter(p.second.info, port);
        });
        ports_[port.portName] =
            Entry{port, sameReceiver ? WatchState::Handled : WatchState::Untouched};
        if (!sameReceiver && Watched(port)) changes.added.push_back(port);
    }
    return changes;
}

void CWatchedPorts::LoadStarted(const std::string& port) {
    const auto it = ports_.find(port);
    if (it != ports_.end()) it->second.state = WatchState::Loading;
}

void CWatchedPorts::LoadEnded(const std::string& port) {
    const auto it = ports_.find(port);
    if (it != ports_.end()) it->second.state = WatchState::Handled;
}

bool CWatchedPorts::OpenFailed(const std::string& port) {
    const auto it = ports_.find(port);
    if (it == ports_.end()) return false;
    Entry& entry = it->second;
    const bool again = ++entry.openFailures < kWatchOpenTries;
    entry.state = again ? WatchState::Retrying : WatchState::Handled;
    return again;
}

}  // namespace morvane
