// What the bench's page shows (morvane-cli --watch --serve): one tile per port the watch has seen,
// and a header with the PC, the firmware carried, the day's counts and when the watch started.
//
// The board is built from the watch's own events, the objects --json writes (json_events.h), and
// from nothing else: what a program following /events sees is all the page knows. Pure: no
// sockets, no clock, no lock (the feed that serves it holds one, bench_feed.h).
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

namespace morvane {

// A port's state as the page shows it, in colour, a word and an icon.
enum class TileState : std::uint8_t {
    Plugged,     // seen; its load starts at the next listing
    Waiting,     // its load started: the receiver is being found and made ready for the image
    Loading,     // the image goes out
    Verifying,   // the image is in; the restarted receiver is asked for its firmware
    Done,        // loaded (verified where asked)
    Skipped,     // already on the carried firmware: nothing sent
    Failed,      // the load did not end well; the message and advice say why and what to do
    NoReceiver,  // nothing answered: left alone
    Unplugged,   // gone after its load, or before one
};

// The word of a state, which the page's style and the tile's accessible name use.
[[nodiscard]] const char* TileStateWord(TileState state);

// The day's loads as the header counts them: verified, loaded without a verification, left as
// current, and every other end of a load (a port where nothing answered ran none).
struct BenchCounts {
    int verified = 0;
    int loaded = 0;
    int skipped = 0;
    int failed = 0;
};

// The facts of the header that no event tells.
struct BenchHeader {
    std::string host;      // the PC's name
    std::string firmware;  // the firmware Morvane carries
    std::string started;   // when the watch started, as the page shows it
};

class CBenchBoard {
public:
    explicit CBenchBoard(BenchHeader header) : header_(std::move(header)) {}

    // One event of the watch, as --json writes it. `today`: the local date when it came
    // ("2025-05-02"); the counts start again on a new day.
    void Apply(const nlohmann::ordered_json& event, const std::string& today);

    // The whole board for the page: {"host","firmware","started","counts":{...},"tiles":[...]},
    // the tiles in the order of their port numbers.
    [[nodiscard]] nlohmann::ordered_json Snapshot(const std::string& today) const;

private:
    // The adapter's USB identity as its port-added event told it; empty where not told.
    struct Usb {
        bool known = false;  // the port is on USB
        std::string vid, pid, serial, location;
    };
    struct Tile {
        TileState state = TileState::Plugged;
        TileState before = TileState::Plugged;  // of an unplugged port: its state until then
        Usb usb;
        std::string device;
        std::string status;
        bool verify = false;
        int percent = 0;
        std::int64_t remainingSeconds = 0;
        std::string firmwareBefore;
        std::string firmwareAfter;
        std::string message;
        std::string advice;
    };
    // "COM7" before "COM10"; names that are not COM numbers after them, by name.
    struct PortOrder {
        bool operator()(const std::string& a, const std::string& b) const;
    };

    void Count(const std::string& result, const std::string& today);
    static nlohmann::ordered_json TileJson(const std::string& port, const Tile& tile);

    BenchHeader header_;
    std::map<std::string, Tile, PortOrder> tiles_;
    std::string countedDay_;
    BenchCounts counts_;
};

}  // namespace morvane
