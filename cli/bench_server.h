// morvane-cli --watch --serve [ADDR:]PORT: the bench's page over HTTP, read-only.
//
//   /               the page: a tile per port, drawn from /bench.json and redrawn as /events
//                   says something happened
//   /bench.json     the board (bench_board.h)
//   /events         Server-Sent Events: each event of the watch, as --json writes it
//   /history        the record of loads, newest first, filtered by USB serial and result
//   /history.jsonl  the record's lines themselves
//
// Only GET (and HEAD): nothing served can start, stop or change a load. The requests are held to
// limits, each refused one answered with its status code and nothing else, and the threads that
// serve are the server's own, so a slow or stalled browser costs the watch nothing. The only
// file that knows the HTTP library.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "cli/bench_feed.h"

namespace morvane {

struct ServeAddress {
    std::string host = "127.0.0.1";
    int port = 0;

    bool operator==(const ServeAddress&) const = default;
};

// "8080", "0.0.0.0:8080", "192.168.1.20:8080", "[::1]:8080"; nothing when the text is none of
// these or the port is not 1 to 65535.
[[nodiscard]] std::optional<ServeAddress> ParseServeAddress(std::string_view text);

// Whether only this PC can reach `host` (127.x.x.x, ::1, localhost).
[[nodiscard]] bool IsLoopbackHost(const std::string& host);

struct BenchServerLimits {
    std::size_t connections = 16;  // served at once; more wait for a free one
    std::size_t headers = 64;      // in one request
    std::size_t target = 2048;     // bytes of the request's path and query
    std::chrono::seconds readTimeout{5};
    std::chrono::seconds writeTimeout{5};
    // A client of /events that hears nothing gets a comment this often, so one that has gone
    // away is noticed.
    std::chrono::milliseconds eventsKeepAlive{15000};
};

class CBenchServer {
public:
    // `historyFile`: the record of loads that /history reads; empty: none is kept.
    CBenchServer(CBenchFeed& feed, std::string historyFile, BenchServerLimits limits = {});
    ~CBenchServer();
    CBenchServer(const CBenchServer&) = delete;
    CBenchServer& operator=(const CBenchServer&) = delete;

    // Takes the address (port 0: any free one); false when it cannot be had.
    [[nodiscard]] bool Bind(const ServeAddress& address);
    // The port taken.
    [[nodiscard]] int Port() const { return port_; }
    // Serves on threads of its own until Stop.
    void Start();
    // Closes the feed, which ends every stream, and joins the server's threads.
    void Stop();

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
    std::thread thread_;
};

}  // namespace morvane
