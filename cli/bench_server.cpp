#include "cli/bench_server.h"

#include <httplib.h>

#include <algorithm>
#include <fstream>
#include <utility>
#include <vector>

#include "cli/bench_socket.h"
#include "platform/debug.h"

namespace morvane::embedded {
extern const unsigned char kBenchPage[];
extern const std::size_t kBenchPageSize;
extern const unsigned char kHistoryPage[];
extern const std::size_t kHistoryPageSize;
}  // namespace morvane::embedded

namespace morvane {
namespace {

std::string_view Embedded(const unsigned char* bytes, std::size_t size) {
    return {reinterpret_cast<const char*>(bytes), size};
}

std::optional<int> PortNumber(std::string_view text) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != text.npos)
        return std::nullopt;
    const int port = std::stoi(std::string(text));
    if (port < 1 || port > 65535) return std::nullopt;
    return port;
}

// The headers the client sent; the library adds the connection's addresses as headers of its own.
std::size_t ClientHeaders(const httplib::Request& req) {
    static constexpr std::string_view kAdded[] = {"REMOTE_ADDR", "REMOTE_PORT", "LOCAL_ADDR",
                                                  "LOCAL_PORT"};
    return static_cast<std::size_t>(
        std::count_if(req.headers.begin(), req.headers.end(), [](const auto& header) {
            return std::find(std::begin(kAdded), std::end(kAdded), header.first) ==
                   std::end(kAdded);
        }));
}

// A refusal is its status code and nothing else: no page, no text to parse.
void Refuse(httplib::Response& res, int status) {
    res.status = status;
    res.body.clear();
    res.set_header("Connection", "close");
}

}  // namespace

std::optional<ServeAddress> ParseServeAddress(std::string_view text) {
    ServeAddress address;
    std::string_view port = text;
    if (text.starts_with('[')) {
        const std::size_t close = text.find("]:");
        if (close == text.npos || close == 1) return std::nullopt;
        address.host = std::string(text.substr(1, close - 1));
        port = text.substr(close + 2);
    } else if (const std::size_t colon = text.find(':'); colon != text.npos) {
        // An IPv6 address without brackets cannot be told from its port.
        if (colon == 0 || text.find(':', colon + 1) != text.npos) return std::nullopt;
        address.host = std::string(text.substr(0, colon));
        port = text.substr(colon + 1);
    }
    const std::optional<int> number = PortNumber(port);
    if (!number) return std::nullopt;
    address.port = *number;
    return address;
}

bool IsLoopbackHost(const std::string& host) {
    return host == "localhost" || host == "::1" || host.starts_with("127.");
}

class CBenchServer::Impl {
public:
    Impl(CBenchFeed& feed, std::string historyFile, BenchServerLimits limits)
        : feed_(feed), historyFile_(std::move(historyFile)), limits_(limits) {
        server_.new_task_queue = [this] { return new httplib::ThreadPool(limits_.connections); };
        server_.set_socket_options(
            [](socket_t socket) { ListenAlone(static_cast<std::uintptr_t>(socket)); });
        server_.set_read_timeout(limits_.readTimeout);
        server_.set_write_timeout(limits_.writeTimeout);
        // A connection kept open between requests is watched by the library every 10 ms; the
        // page asks a few times a second at most, so each request has a connection of its own,
        // and its answer leaves at once rather than after the delayed acknowledgement.
        server_.set_keep_alive_max_count(1);
        server_.set_tcp_nodelay(true);
        // A page's request carries no body.
        server_.set_payload_max_length(0);
        server_.set_pre_routing_handler(
            [this](const httplib::Request& req, httplib::Response& res) {
                return Screen(req, res);
            });
        server_.set_error_handler(
            [](const httplib::Request&, httplib::Response& res) { Refuse(res, res.status); });
        Route("/", "text/html; charset=utf-8",
              Embedded(embedded::kBenchPage, embedded::kBenchPageSize));
        Route("/history", "text/html; charset=utf-8",
              Embedded(embedded::kHistoryPage, embedded::kHistoryPageSize));
        server_.Get("/bench.json", [this](const httplib::Request&, httplib::Response& res) {
            NoStore(res);
            // Debian's library compresses a response of plain "application/json" with brotli at
            // its highest quality: for a board read a few times a second that cost more than
            // the loads themselves. The charset, which JSON's is anyway, leaves it as it is.
            res.set_content(feed_.Board(), "application/json; charset=utf-8");
        });
        server_.Get("/events",
                    [this](const httplib::Request&, httplib::Response& res) { Events(res); });
        server_.Get("/history.jsonl",
                    [this](const httplib::Request&, httplib::Response& res) { History(res); });
    }

    httplib::Server& Server() { return server_; }
    CBenchFeed& Feed() { return feed_; }

private:
    static void NoStore(httplib::Response& res) { res.set_header("Cache-Control", "no-store"); }

    void Route(const char* path, const char* type, std::string_view body) {
        server_.Get(path, [type, body](const httplib::Request&, httplib::Response& res) {
            NoStore(res);
            res.set_content(body.data(), body.size(), type);
        });
    }

    httplib::Server::HandlerResponse Screen(const httplib::Request& req,
                                            httplib::Response& res) const {
        if (req.method != "GET" && req.method != "HEAD") {
            Refuse(res, 405);
            res.set_header("Allow", "GET, HEAD");
        } else if (ClientHeaders(req) > limits_.headers) {
            Refuse(res, 431);
        } else if (req.target.size() > limits_.target) {
            Refuse(res, 414);
        } else if (req.has_header("Content-Length") || req.has_header("Transfer-Encoding")) {
            // The library reads no body of a GET: left there, it would be read as the next
            // request.
            Refuse(res, 413);
        } else {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        return httplib::Server::HandlerResponse::Handled;
    }

    void Events(httplib::Response& res) {
        std::shared_ptr<CEventClient> client = feed_.Follow();
        if (!client) {
            OutputDebugStringA(
                "morvane-cli: serve: an event client refused, as many follow as "
                "allowed\n");
            Refuse(res, 503);
            return;
        }
        NoStore(res);
        const std::chrono::milliseconds keepAlive = limits_.eventsKeepAlive;
        res.set_chunked_content_provider(
            "text/event-stream",
            [client, keepAlive](std::size_t /*offset*/, httplib::DataSink& sink) {
                std::vector<std::string> lines;
                std::string out;
                switch (client->Take(keepAlive, lines)) {
                    case CEventClient::Next::Lines:
                        for (const std::string& line : lines) out += "data: " + line + "\n";
                        break;
                    case CEventClient::Next::Quiet: out = ":\n\n"; break;
                    case CEventClient::Next::Behind:
                    case CEventClient::Next::Closed: sink.done(); return true;
                }
                // A write that fails (the client has gone, or stopped reading for longer than
                // the write time-out) ends the stream and frees its place.
                return sink.write(out.data(), out.size());
            });
    }

    void History(httplib::Response& res) const {
        auto file = std::make_shared<std::ifstream>(historyFile_, std::ios::binary);
        if (historyFile_.empty() || !*file) {
            Refuse(res, 404);
            return;
        }
        NoStore(res);
        res.set_chunked_content_provider(
            // Not text/plain, which the library would compress as it goes.
            "application/x-ndjson; charset=utf-8",
            [file](std::size_t /*offset*/, httplib::DataSink& sink) {
                std::vector<char> chunk(64 * 1024);
                file->read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
                const auto got = static_cast<std::size_t>(file->gcount());
                if (got > 0 && !sink.write(chunk.data(), got)) return false;
                if (got < chunk.size()) sink.done();
                return true;
            });
    }

    CBenchFeed& feed_;
    std::string historyFile_;
    BenchServerLimits limits_;
    httplib::Server server_;
};

CBenchServer::CBenchServer(CBenchFeed& feed, std::string historyFile, BenchServerLimits limits)
    : impl_(std::make_unique<Impl>(feed, std::move(historyFile), limits)) {}

CBenchServer::~CBenchServer() { Stop(); }

bool CBenchServer::Bind(const ServeAddress& address) {
    httplib::Server& server = impl_->Server();
    if (address.port == 0) {
        port_ = server.bind_to_any_port(address.host);
        return port_ > 0;
    }
    if (!server.bind_to_port(address.host, address.port)) return false;
    port_ = address.port;
    return true;
}

void CBenchServer::Start() {
    thread_ = std::thread([this] {
        if (!impl_->Server().listen_after_bind())
            OutputDebugStringA("morvane-cli: serve: the server stopped listening\n");
    });
    // A stop asked for before the server runs would go unheard, and Stop would wait for ever.
    while (!impl_->Server().is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void CBenchServer::Stop() {
    if (!thread_.joinable()) return;
    // The streams wait on the feed: closed, they end at once rather than at their next comment.
    impl_->Feed().Close();
    impl_->Server().stop();
    thread_.join();
}

}  // namespace morvane
