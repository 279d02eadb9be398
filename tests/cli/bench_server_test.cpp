// The bench page's server against raw requests on a socket: each refused one answered with its
// status code and nothing else, and a client that stops reading costs the watch nothing.
#include "cli/bench_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <optional>
#include <string>
#include <thread>

#include "tests/support/wait_until.h"

namespace morvane {
namespace {

using namespace std::chrono_literals;
using testing::WaitUntil;

class Connection {
public:
    explicit Connection(int port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(static_cast<std::uint16_t>(port));
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&at), sizeof(at)) == 0;
    }
    ~Connection() { close(fd_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool Send(const std::string& text) {
        return connected_ && send(fd_, text.data(), text.size(), MSG_NOSIGNAL) ==
                                 static_cast<ssize_t>(text.size());
    }
    // What came back until the server closed the connection, or `bound` passed, or `until`
    // appeared in it.
    std::string Read(std::chrono::milliseconds bound, const std::string& until = {}) {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + bound;
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            char buf[4096];
            const ssize_t n = recv(fd_, buf, sizeof(buf), 0);
            if (n <= 0) break;
            got.append(buf, static_cast<std::size_t>(n));
            if (!until.empty() && got.find(until) != std::string::npos) break;
        }
        return got;
    }

private:
    int fd_;
    bool connected_ = false;
};

struct Served {
    CBenchFeed feed{{"bench-3", "Tundro W6 1.22", "08:03"}, {.eventClients = 1, .queuedEvents = 8}};
    CBenchServer server{feed, "", {.readTimeout = 1s, .writeTimeout = 1s}};

    Served() {
        // A write to a client that has gone would otherwise end the test program.
        std::signal(SIGPIPE, SIG_IGN);
        EXPECT_TRUE(server.Bind({"127.0.0.1", 0}));
        server.Start();
    }
    ~Served() { server.Stop(); }
};

// The status line, and whether anything followed the headers.
std::pair<std::string, bool> Answer(const std::string& response) {
    const std::string status = response.substr(0, response.find("\r\n"));
    const std::size_t body = response.find("\r\n\r\n");
    return {status, body != std::string::npos && body + 4 < response.size()};
}

TEST(BenchServer, RefusesWhatIsNotAPlainGetWithItsStatusAlone) {
    Served s;
    // Each asks the server to close the connection once it answered.
    const std::string end = "\r\nConnection: close\r\n\r\n";
    // With Connection, as many as allowed; one more is too many.
    std::string allowedHeaders = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 63; ++i) allowedHeaders += "X-" + std::to_string(i) + ": 1\r\n";
    const std::string manyHeaders = allowedHeaders + "X-63: 1\r\n";
    struct Row {
        const char* what;
        std::string request;
        const char* status;
        bool body;
    };
    const Row rows[] = {
        {"the page", "GET / HTTP/1.1\r\nHost: b" + end, "HTTP/1.1 200 OK", true},
        {"the board", "GET /bench.json HTTP/1.1" + end, "HTTP/1.1 200 OK", true},
        {"a head", "HEAD /history HTTP/1.1" + end, "HTTP/1.1 200 OK", false},
        {"no record kept", "GET /history.jsonl HTTP/1.1" + end, "HTTP/1.1 404 Not Found", false},
        {"nothing there", "GET /load HTTP/1.1" + end, "HTTP/1.1 404 Not Found", false},
        {"a post", "POST / HTTP/1.1\r\nContent-Length: 0" + end, "HTTP/1.1 405 Method Not Allowed",
         false},
        {"a delete", "DELETE /events HTTP/1.1" + end, "HTTP/1.1 405 Method Not Allowed", false},
        {"a body", "GET / HTTP/1.1\r\nContent-Length: 5" + end + "hello",
         "HTTP/1.1 413 Payload Too Large", false},
        {"a body in chunks", "GET / HTTP/1.1\r\nTransfer-Encoding: chunked" + end + "5\r\nhello",
         "HTTP/1.1 413 Payload Too Large", false},
        {"a long address", "GET /" + std::string(3000, 'a') + " HTTP/1.1" + end,
         "HTTP/1.1 414 URI Too Long", false},
        {"as many headers as allowed", allowedHeaders + end.substr(2), "HTTP/1.1 200 OK", true},
        {"too many headers", manyHeaders + end.substr(2),
         "HTTP/1.1 431 Request Header Fields Too Large", false},
        {"a header past 8 KiB", "GET / HTTP/1.1\r\nX: " + std::string(9000, 'a') + end,
         "HTTP/1.1 400 Bad Request", false},
    };
    for (const Row& r : rows) {
        Connection c(s.server.Port());
        ASSERT_TRUE(c.Send(r.request)) << r.what;
        const auto [status, body] = Answer(c.Read(3s));
        EXPECT_EQ(status, r.status) << r.what;
        EXPECT_EQ(body, r.body) << r.what;
    }
}

TEST(BenchServer, AClientThatStopsReadingLosesItsEventsNotTheWatchsTime) {
    Served s;
    Connection stalled(s.server.Port());
    ASSERT_TRUE(stalled.Send("GET /events HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(Answer(stalled.Read(2s, "\r\n\r\n")).first == "HTTP/1.1 200 OK");
    {
        Connection second(s.server.Port());  // beyond the clients allowed
        ASSERT_TRUE(second.Send("GET /events HTTP/1.1\r\n\r\n"));
        EXPECT_EQ(Answer(second.Read(2s)).first, "HTTP/1.1 503 Service Unavailable");
    }
    // The stalled client reads nothing more: the watch's events go on all the same.
    const std::string big(2000, 'x');
    std::atomic<int> published{0};
    std::thread watch([&] {
        for (int i = 0; i < 5000; ++i, ++published)
            s.feed.Publish({{"event", "status"}, {"port", "COM7"}, {"text", big}});
    });
    EXPECT_TRUE(WaitUntil([&] { return published == 5000; }, 10s)) << published;
    watch.join();
    // Its stream ended and its place is free for a client that reads.
    std::optional<Connection> next;
    EXPECT_TRUE(WaitUntil(
        [&] {
            next.emplace(s.server.Port());
            next->Send("GET /events HTTP/1.1\r\n\r\n");
            return Answer(next->Read(500ms, "\r\n\r\n")).first == "HTTP/1.1 200 OK";
        },
        10s));
    // The watch's end ends the stream at once, not at its next comment, a quarter-minute on.
    const auto stopping = std::chrono::steady_clock::now();
    s.server.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 5s);
}

TEST(BenchServer, AnAddressInUseIsRefused) {
    Served s;
    CBenchFeed feed({});
    CBenchServer second(feed, "");
    EXPECT_FALSE(second.Bind({"127.0.0.1", s.server.Port()}));
}

TEST(ServeAddress, ReadsPortOrAddressAndPort) {
    struct Row {
        const char* text;
        std::optional<ServeAddress> address;
    };
    const Row rows[] = {
        {"8080", ServeAddress{"127.0.0.1", 8080}},
        {"0.0.0.0:80", ServeAddress{"0.0.0.0", 80}},
        {"bench-3:65535", ServeAddress{"bench-3", 65535}},
        {"[::1]:8080", ServeAddress{"::1", 8080}},
        {"::1:8080", std::nullopt},
        {"[]:8080", std::nullopt},
        {":8080", std::nullopt},
        {"8080:", std::nullopt},
        {"0", std::nullopt},
        {"65536", std::nullopt},
        {"80a", std::nullopt},
        {"", std::nullopt},
    };
    for (const Row& r : rows) EXPECT_EQ(ParseServeAddress(r.text), r.address) << r.text;
    EXPECT_TRUE(IsLoopbackHost("127.0.0.1"));
    EXPECT_TRUE(IsLoopbackHost("::1"));
    EXPECT_FALSE(IsLoopbackHost("0.0.0.0"));
    EXPECT_FALSE(IsLoopbackHost("192.168.1.20"));
}

}  // namespace
}  // namespace morvane
