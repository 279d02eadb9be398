// The bench page's board from the watch's events, and the feed that hands them to the page's
// clients: no sockets.
#include "cli/bench_board.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/bench_feed.h"

namespace morvane {
namespace {

using Json = nlohmann::ordered_json;
const std::string kDay = "2025-05-02";

// One port's tile after `events`, each written as --json writes it without port and time.
Json TileAfter(const std::vector<std::string>& events) {
    CBenchBoard board({});
    for (const std::string& text : events) {
        Json e = Json::parse(text);
        e["port"] = "COM7";
        board.Apply(e, kDay);
    }
    return board.Snapshot(kDay).at("tiles").at(0);
}

const char* const kAdded = R"({"event":"port-added","device":"/dev/ttyUSB0",
    "usb":{"vid":"0403","pid":"6001","serial":"A5","location":"1-2"}})";
const char* const kStart = R"({"event":"start","action":"load","verify":true})";
const char* const kStartUnverified = R"({"event":"start","action":"load","verify":false})";
const char* const kBefore = R"({"event":"firmware","version":"1.21"})";
const char* const kHalf = R"({"event":"progress","percent":42,"sent":57300,"total":136352,
    "remaining_seconds":70})";
const char* const kAll = R"({"event":"progress","percent":100,"sent":136352,"total":136352,
    "remaining_seconds":0})";
const char* const kAfter = R"({"event":"firmware","version":"1.22"})";
const char* const kVerified =
    R"({"event":"result","result":"verified","message":"Verified","advice":"",
        "verified_version":"1.22"})";
const char* const kRemoved = R"({"event":"port-removed"})";

TEST(BenchBoard, EachTileFollowsItsPortsEvents) {
    struct Row {
        const char* what;
        std::vector<std::string> events;
        const char* state;
        const char* shown;  // the field the tile shows below its state, and its value
        Json value;
    };
    const Row rows[] = {
        {"plugged", {kAdded}, "plugged", "device", "/dev/ttyUSB0"},
        {"its adapter",
         {kAdded},
         "plugged",
         "usb",
         Json::parse(R"({"vid":"0403","pid":"6001","serial":"A5","location":"1-2"})")},
        {"not on USB",
         {R"({"event":"port-added","device":"/dev/ttyS0","usb":null})"},
         "plugged",
         "usb",
         nullptr},
        {"its load began",
         {kAdded, kStart, R"({"event":"status","code":1,"text":"Detecting"})"},
         "waiting",
         "status",
         "Detecting"},
        {"the image goes out", {kAdded, kStart, kBefore, kHalf}, "loading", "percent", 42},
        {"its time left", {kAdded, kStart, kHalf}, "loading", "remaining_seconds", 70},
        {"all sent, to be verified", {kAdded, kStart, kHalf, kAll}, "verifying", "percent", 100},
        {"all sent, no verification", {kAdded, kStartUnverified, kAll}, "loading", "percent", 100},
        {"verified: the version it had",
         {kAdded, kStart, kBefore, kAll, kAfter, kVerified},
         "done",
         "firmware_before",
         "1.21"},
        {"verified: the version now",
         {kAdded, kStart, kBefore, kAll, kAfter, kVerified},
         "done",
         "firmware_after",
         "1.22"},
        {"loaded without verification",
         {kAdded, kStart, R"({"event":"result","result":"loaded","message":"m","advice":""})"},
         "done",
         "message",
         "m"},
        {"already current",
         {kAdded, kStart, kAfter,
          R"({"event":"result","result":"skipped","message":"Skipped","advice":""})"},
         "skipped",
         "firmware_before",
         "1.22"},
        {"failed: its headline",
         {kAdded, kStart, R"({"event":"result","result":"failed","message":"broke off",
             "advice":"  Check the cable.\n"})"},
         "failed",
         "message",
         "broke off"},
        {"failed: what to do",
         {kAdded, kStart, R"({"event":"result","result":"not-verified","message":"h",
             "advice":"  Check the cable.\n"})"},
         "failed",
         "advice",
         "  Check the cable.\n"},
        {"an end this page does not know is no success",
         {kAdded, kStart, R"({"event":"result","result":"melted","message":"?","advice":""})"},
         "failed",
         "message",
         "?"},
        {"nothing answered",
         {kAdded, kStart, R"({"event":"result","result":"not-detected","message":"n"})"},
         "no-receiver",
         "message",
         "n"},
        {"unplugged after its load",
         {kAdded, kStart, kVerified, kRemoved},
         "unplugged",
         "before",
         "done"},
        {"unplugged twice keeps what it was",
         {kAdded, kStart, kVerified, kRemoved, kRemoved},
         "unplugged",
         "before",
         "done"},
        {"a new receiver in its place",
         {kAdded, kStart, kBefore, kVerified, kRemoved, kAdded},
         "plugged",
         "firmware_before",
         ""},
    };
    for (const Row& r : rows) {
        const Json tile = TileAfter(r.events);
        EXPECT_EQ(tile.at("state"), r.state) << r.what;
        EXPECT_EQ(tile.at(r.shown), r.value) << r.what;
    }
}

TEST(BenchBoard, CountsTheDaysLoadsAndOrdersThePorts) {
    CBenchBoard board({"bench-3", "Tundro W6 1.22", "2025-05-02 08:03"});
    auto result = [&](const char* port, const char* word, const std::string& day) {
        board.Apply({{"event", "result"}, {"port", port}, {"result", word}}, day);
    };
    result("COM10", "verified", kDay);
    result("COM7", "verified", kDay);
    result("/dev/pts/3", "skipped", kDay);
    result("COM8", "not-detected", kDay);  // ran no load
    result("COM9", "failed", kDay);
    result("COM9", "not-verified", kDay);
    result("COM9", "loaded", kDay);
    const Json today = board.Snapshot(kDay);
    EXPECT_EQ(today.at("counts"), Json::parse(R"({"verified":2,"loaded":1,"skipped":1,
                                                  "failed":2})"));
    std::vector<std::string> ports;
    for (const Json& tile : today.at("tiles")) ports.push_back(tile.at("port"));
    EXPECT_EQ(ports, (std::vector<std::string>{"COM7", "COM8", "COM9", "COM10", "/dev/pts/3"}));
    EXPECT_EQ(today.at("host"), "bench-3");

    // After midnight the day's counts start again, before any load ended and after.
    EXPECT_EQ(board.Snapshot("2025-05-03").at("counts").at("verified"), 0);
    result("COM7", "failed", "2025-05-03");
    EXPECT_EQ(board.Snapshot("2025-05-03").at("counts").at("failed"), 1);
    EXPECT_EQ(board.Snapshot("2025-05-03").at("counts").at("verified"), 0);
}

TEST(BenchFeed, AClientThatFallsBehindLosesItsStreamNotTheWatchsTime) {
    CBenchFeed feed({}, {.eventClients = 2, .queuedEvents = 3}, [] { return std::time_t{0}; });
    std::unique_ptr<CEventClient> reader = feed.Follow();
    std::unique_ptr<CEventClient> stalled = feed.Follow();
    ASSERT_TRUE(reader && stalled);
    EXPECT_EQ(feed.Follow(), nullptr);  // as many as allowed

    std::vector<std::string> lines;
    for (int i = 0; i < 3; ++i) {
        feed.Publish({{"event", "start"}, {"port", "COM" + std::to_string(i + 1)}});
        ASSERT_EQ(reader->Take(std::chrono::milliseconds(0), lines), CEventClient::Next::Lines);
        EXPECT_EQ(lines, std::vector<std::string>{R"({"event":"start","port":"COM)" +
                                                  std::to_string(i + 1) + "\"}\n"});
    }
    feed.Publish({{"event", "start"}, {"port", "COM4"}});
    EXPECT_EQ(stalled->Take(std::chrono::milliseconds(0), lines), CEventClient::Next::Behind);
    EXPECT_EQ(reader->Take(std::chrono::milliseconds(0), lines), CEventClient::Next::Lines);
    EXPECT_EQ(reader->Take(std::chrono::milliseconds(0), lines), CEventClient::Next::Quiet);
    // The board has every event all the same.
    EXPECT_EQ(feed.Board().find("COM4") != std::string::npos, true);

    stalled.reset();  // its stream ended: its place is free
    EXPECT_NE(feed.Follow(), nullptr);
    feed.Close();
    EXPECT_EQ(reader->Take(std::chrono::milliseconds(0), lines), CEventClient::Next::Closed);
    EXPECT_EQ(feed.Follow(), nullptr);
}

}  // namespace
}  // namespace morvane
