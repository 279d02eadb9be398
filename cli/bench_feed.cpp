#include "cli/bench_feed.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "cli/cli_platform.h"
#include "cli/json_events.h"
#include "platform/text.h"

namespace morvane {

std::string LocalDate(std::time_t when) {
    const std::tm local = LocalTime(when);
    return Format("%04d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

CEventClient::~CEventClient() {
    const std::lock_guard lock(feed_.mutex_);
    std::erase(feed_.clients_, this);
}

CEventClient::Next CEventClient::Take(std::chrono::milliseconds wait,
                                      std::vector<std::string>& lines) {
    lines.clear();
    std::unique_lock lock(feed_.mutex_);
    feed_.arrived_.wait_for(lock, wait,
                            [this] { return !queue_.empty() || behind_ || feed_.closed_; });
    if (behind_) return Next::Behind;
    lines.assign(queue_.begin(), queue_.end());
    queue_.clear();
    if (!lines.empty()) return Next::Lines;
    return feed_.closed_ ? Next::Closed : Next::Quiet;
}

CBenchFeed::CBenchFeed(BenchHeader header, BenchFeedLimits limits, WallClock now)
    : limits_(limits), now_(std::move(now)), board_(std::move(header)) {
    if (!now_) now_ = [] { return std::time(nullptr); };
}

CBenchFeed::~CBenchFeed() = default;

std::string CBenchFeed::Today() const { return LocalDate(now_()); }

void CBenchFeed::Publish(const nlohmann::ordered_json& event) {
    const std::string line = EventLine(event);
    {
        const std::lock_guard lock(mutex_);
        if (closed_) return;
        board_.Apply(event, Today());
        for (CEventClient* client : clients_) {
            if (client->behind_) continue;
            if (client->queue_.size() >= limits_.queuedEvents) {
                client->queue_.clear();
                client->behind_ = true;
                continue;
            }
            client->queue_.push_back(line);
        }
    }
    arrived_.notify_all();
}

std::string CBenchFeed::Board() const {
    nlohmann::ordered_json board;
    {
        const std::lock_guard lock(mutex_);
        board = board_.Snapshot(Today());
    }
    return board.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::unique_ptr<CEventClient> CBenchFeed::Follow() {
    const std::lock_guard lock(mutex_);
    if (closed_ || clients_.size() >= limits_.eventClients) return nullptr;
    auto client = std::make_unique<CEventClient>(*this);
    clients_.push_back(client.get());
    return client;
}

std::size_t CBenchFeed::Following() const {
    const std::lock_guard lock(mutex_);
    return clients_.size();
}

void CBenchFeed::Close() {
    {
        const std::lock_guard lock(mutex_);
        closed_ = true;
    }
    arrived_.notify_all();
}

}  // namespace morvane
