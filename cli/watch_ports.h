// morvane-cli --watch: which ports a bench's watch may touch, and what has become of each one.
//
// A service bench or production line plugs receivers one after another; the watch loads each port
// that appears. Everything here is pure (port lists in, decisions out) so the rules can be checked
// on made-up lists: the ports present when the watch starts belong to the PC (its own serial
// ports, a modem, a device of another bench) and are never sent a byte unless named; --match
// narrows the watch to the adapters of the bench; and a port once handled is left alone until it
// goes away, so a receiver that stays plugged after its load is not loaded again and again.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "serial/enumerate_com_ports.h"

namespace morvane {

// --match VID:PID[:SERIAL]: a bench's adapters by their USB identity, the ids in hexadecimal as
// lsusb and Device Manager show them ("0403:6001", "0403:6001:A50285BI").
struct SPortMatch {
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    std::string serial;  // empty: any adapter with these ids

    bool operator==(const SPortMatch&) const = default;
};

// The match `text` stands for; nothing when it is malformed, with the reason in `error`.
[[nodiscard]] std::optional<SPortMatch> ParsePortMatch(std::string_view text, std::string& error);

// Whether the watch may touch `port`: any port when there are no matches, else only a USB port
// whose adapter fits one of them (a port whose identity the system does not tell fits none).
[[nodiscard]] bool PortMatches(const std::vector<SPortMatch>& matches, const SSerInfo& port);

struct WatchRules {
    std::vector<int> named;           // --com N: watched although present at the start
    std::vector<SPortMatch> matches;  // --match; empty: every port
};

enum class WatchState {
    Untouched,  // present at the start, or not matched: never sent a byte
    Loading,    // its load runs
    Retrying,   // its port would not open: it is tried again at the next listing
    Handled,    // its load ended: left alone until it goes away
};

// How many times a port just plugged is opened before the watch gives up on it: the system may
// hold a new port a moment (ModemManager looks at each one for a second or so, udev sets its
// group), so a refused open is tried again at the next listings.
inline constexpr int kWatchOpenTries = 4;

// What one discovery pass changed among the watched ports.
struct WatchChanges {
    std::vector<SSerInfo> added;       // appeared: each is to be loaded now
    std::vector<std::string> removed;  // watched ports that went away
    std::vector<SSerInfo> retried;     // would not open at the last try, still there: load again
};

// The ports the watch knows, by name ("COM7"), from one discovery pass to the next.
class CWatchedPorts {
public:
    // `atStart`: the ports present when the watch began.
    CWatchedPorts(WatchRules rules, const CArray<SSerInfo, SSerInfo&>& atStart);

    // One discovery pass. A name that now stands for another device went away and came back. A
    // port whose load runs is not judged by discovery: the receiver drops its port while it
    // restarts into the new firmware, and the load follows it.
    [[nodiscard]] WatchChanges Update(const CArray<SSerInfo, SSerInfo&>& now);

    void LoadStarted(const std::string& port);
    void LoadEnded(const std::string& port);
    // The load of `port` ended because its port would not open: true when it is tried again at
    // the next listing, false (and the port left alone until it goes away) once it has been
    // tried kWatchOpenTries times since it appeared.
    [[nodiscard]] bool OpenFailed(const std::string& port);

private:
    struct Entry {
        SSerInfo info;
        WatchState state = WatchState::Untouched;
        int openFailures = 0;  // since it appeared
    };
    [[nodiscard]] bool Watched(const SSerInfo& port) const;

    WatchRules rules_;
    std::map<std::string, Entry> ports_;
};

}  // namespace morvane
