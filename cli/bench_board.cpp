#include "cli/bench_board.h"

#include <optional>
#include <tuple>

#include "serial/port_identity.h"

namespace morvane {
namespace {

using Json = nlohmann::ordered_json;

std::string Text(const Json& event, const char* key) {
    const auto it = event.find(key);
    return it != event.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::int64_t Number(const Json& event, const char* key) {
    const auto it = event.find(key);
    return it != event.end() && it->is_number() ? it->get<std::int64_t>() : 0;
}

// A load's end by the word the record of loads writes for it.
TileState StateOfResult(const std::string& result) {
    if (result == "verified" || result == "loaded") return TileState::Done;
    if (result == "skipped") return TileState::Skipped;
    if (result == "not-detected") return TileState::NoReceiver;
    // Failed, not verified, the port refused, stopped, or a word this page does not know: none
    // of them leaves a receiver known to be good.
    return TileState::Failed;
}

}  // namespace

const char* TileStateWord(TileState state) {
    switch (state) {
        case TileState::Plugged: return "plugged";
        case TileState::Waiting: return "waiting";
        case TileState::Loading: return "loading";
        case TileState::Verifying: return "verifying";
        case TileState::Done: return "done";
        case TileState::Skipped: return "skipped";
        case TileState::Failed: return "failed";
        case TileState::NoReceiver: return "no-receiver";
        case TileState::Unplugged: return "unplugged";
    }
    return "failed";
}

bool CBenchBoard::PortOrder::operator()(const std::string& a, const std::string& b) const {
    const std::optional<int> na = ComNumberOfName(a);
    const std::optional<int> nb = ComNumberOfName(b);
    return std::make_tuple(!na, na.value_or(0), a) < std::make_tuple(!nb, nb.value_or(0), b);
}

void CBenchBoard::Apply(const Json& event, const std::string& today) {
    const std::string kind = Text(event, "event");
    const std::string port = Text(event, "port");
    if (port.empty()) return;
    if (kind == "port-added") {
        // A receiver plugged where another was: a new tile in the same place.
        Tile& tile = tiles_[port] = Tile{};
        tile.device = Text(event, "device");
        if (const auto usb = event.find("usb"); usb != event.end() && usb->is_object()) {
            tile.usb = {true, Text(*usb, "vid"), Text(*usb, "pid"), Text(*usb, "serial"),
                        Text(*usb, "location")};
        }
        return;
    }
    Tile& tile = tiles_[port];
    if (kind == "port-removed") {
        if (tile.state != TileState::Unplugged) tile.before = tile.state;
        tile.state = TileState::Unplugged;
    } else if (kind == "start") {
        tile.state = TileState::Waiting;
        tile.verify = event.value("verify", false);
    } else if (kind == "status") {
        tile.status = Text(event, "text");
    } else if (kind == "firmware") {
        // The first version a load hears is the one the receiver had; a later one comes from
        // the verification, whose own event says what it found.
        if (tile.firmwareBefore.empty()) tile.firmwareBefore = Text(event, "version");
    } else if (kind == "progress") {
        tile.percent = static_cast<int>(Number(event, "percent"));
        tile.remainingSeconds = Number(event, "remaining_seconds");
        const bool allSent = Number(event, "sent") >= Number(event, "total");
        tile.state = allSent && tile.verify ? TileState::Verifying : TileState::Loading;
    } else if (kind == "result") {
        const std::string result = Text(event, "result");
        tile.state = StateOfResult(result);
        tile.message = Text(event, "message");
        tile.advice = Text(event, "advice");
        tile.firmwareAfter = Text(event, "verified_version");
        Count(result, today);
    }
}

void CBenchBoard::Count(const std::string& result, const std::string& today) {
    if (today != countedDay_) {
        countedDay_ = today;
        counts_ = {};
    }
    if (result == "verified") {
        ++counts_.verified;
    } else if (result == "loaded") {
        ++counts_.loaded;
    } else if (result == "skipped") {
        ++counts_.skipped;
    } else if (result != "not-detected") {
        ++counts_.failed;
    }
}

Json CBenchBoard::TileJson(const std::string& port, const Tile& tile) {
    Json t;
    t["port"] = port;
    t["device"] = tile.device;
    t["usb"] = nullptr;
    if (tile.usb.known) {
        auto orNull = [](const std::string& text) { return text.empty() ? Json() : Json(text); };
        t["usb"] = {{"vid", orNull(tile.usb.vid)},
                    {"pid", orNull(tile.usb.pid)},
                    {"serial", orNull(tile.usb.serial)},
                    {"location", orNull(tile.usb.location)}};
    }
    t["state"] = TileStateWord(tile.state);
    t["before"] = TileStateWord(tile.before);
    t["status"] = tile.status;
    t["percent"] = tile.percent;
    t["remaining_seconds"] = tile.remainingSeconds;
    t["firmware_before"] = tile.firmwareBefore;
    t["firmware_after"] = tile.firmwareAfter;
    t["message"] = tile.message;
    t["advice"] = tile.advice;
    return t;
}

Json CBenchBoard::Snapshot(const std::string& today) const {
    const BenchCounts counts = today == countedDay_ ? counts_ : BenchCounts{};
    nlohmann::ordered_json board;
    board["host"] = header_.host;
    board["firmware"] = header_.firmware;
    board["started"] = header_.started;
    board["counts"] = {{"verified", counts.verified},
                       {"loaded", counts.loaded},
                       {"skipped", counts.skipped},
                       {"failed", counts.failed}};
    board["tiles"] = nlohmann::ordered_json::array();
    for (const auto& [port, tile] : tiles_) board["tiles"].push_back(TileJson(port, tile));
    return board;
}

}  // namespace morvane
