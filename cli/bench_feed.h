// Between the watch and the bench's page: the board the page draws and the events that clients
// of /events follow, shared by the watch's loop (which publishes) and the server's threads (which
// read). The HTTP server (bench_server.h) stands on it; tests drive it without a socket.
//
// The loop never waits here for a reader: it takes the lock only to update the board and to put
// each event's line in the queue of every client, and a client that falls behind loses its
// queue (its stream is ended, and the page reads the whole board again when it reconnects)
// instead of holding up a load.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "cli/bench_board.h"

namespace morvane {

struct BenchFeedLimits {
    std::size_t eventClients = 8;     // following /events at once
    std::size_t queuedEvents = 1024;  // waiting for one client; more and it is cut off
};

class CBenchFeed;

// One client following the events.
class CEventClient {
public:
    explicit CEventClient(CBenchFeed& feed) : feed_(feed) {}
    ~CEventClient();
    CEventClient(const CEventClient&) = delete;
    CEventClient& operator=(const CEventClient&) = delete;

    enum class Next : std::uint8_t {
        Lines,   // `lines` holds the events that came, each a line of JSON
        Quiet,   // nothing came within the wait
        Behind,  // the client fell too far behind and lost events: its stream ends
        Closed,  // the watch ended
    };
    // The events since the last call, waiting at most `wait` for one.
    Next Take(std::chrono::milliseconds wait, std::vector<std::string>& lines);

private:
    friend class CBenchFeed;
    CBenchFeed& feed_;
    std::deque<std::string> queue_;  // under the feed's lock
    bool behind_ = false;            // under the feed's lock
};

class CBenchFeed {
public:
    using WallClock = std::function<std::time_t()>;

    // `now`: the PC's clock, which tells the day for the counts; empty: the system's.
    explicit CBenchFeed(BenchHeader header, BenchFeedLimits limits = {}, WallClock now = {});
    ~CBenchFeed();
    CBenchFeed(const CBenchFeed&) = delete;
    CBenchFeed& operator=(const CBenchFeed&) = delete;

    // On the watch's loop: one event, as --json writes it.
    void Publish(const nlohmann::ordered_json& event);
    // The board as the page reads it, a JSON text.
    [[nodiscard]] std::string Board() const;
    // A new client of the events; null when as many follow as the limits allow.
    [[nodiscard]] std::unique_ptr<CEventClient> Follow();
    // How many clients follow the events now.
    [[nodiscard]] std::size_t Following() const;
    // The watch ended: every client's wait ends, and no event comes any more.
    void Close();

private:
    friend class CEventClient;
    [[nodiscard]] std::string Today() const;

    BenchFeedLimits limits_;
    WallClock now_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    CBenchBoard board_;                   // under mutex_
    std::vector<CEventClient*> clients_;  // under mutex_
    bool closed_ = false;                 // under mutex_
};

// "2025-05-02" of `when` in the PC's time zone.
[[nodiscard]] std::string LocalDate(std::time_t when);

}  // namespace morvane
