#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "session/system_log.h"

namespace morvane {
namespace {

constexpr int kSent = 0;
constexpr int kNoStandIn = 2;  // the journal's socket could not be stood in for here
constexpr int kUnsent = 3;

void WriteAll(int fd, const std::string& text) {
    for (std::size_t at = 0; at < text.size();) {
        const ssize_t n = ::write(fd, text.data() + at, text.size() - at);
        if (n <= 0) return;
        at += static_cast<std::size_t>(n);
    }
}

// In a mount namespace of its own, a fresh /run with a socket where the journal's would be; the
// record sent there, and what arrived (or why nothing did) written to `out`.
int SendToStandInJournal(const SLoadRecord& record, int out) {
    const auto noStandIn = [out](const char* step) {
        WriteAll(out, std::string(step) + ": " + std::strerror(errno));
        return kNoStandIn;
    };
    if (::unshare(CLONE_NEWNS) != 0) return noStandIn("unshare");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return noStandIn("mount --make-rprivate /");
    if (::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0) return noStandIn("mount /run");
    ::mkdir("/run/systemd", 0755);
    ::mkdir("/run/systemd/journal", 0755);
    const int journal = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/run/systemd/journal/socket");
    if (journal < 0 ||
        ::bind(journal, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return noStandIn("the journal's socket");
    const std::string unsent = SendToSystemLog(record);
    if (!unsent.empty()) {
        WriteAll(out, unsent);
        return kUnsent;
    }
    std::string entry(1 << 16, '\0');
    const ssize_t size = ::recv(journal, entry.data(), entry.size(), MSG_DONTWAIT);
    entry.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
    WriteAll(out, entry);
    return kSent;
}

// The journal's native datagram: "NAME=value\n", or for a value with a line feed "NAME\n", its
// size as 64 bits little-endian, the value and "\n".
std::vector<std::string> ParseEntry(const std::string& entry) {
    std::vector<std::string> fields;
    std::size_t at = 0;
    while (at < entry.size()) {
        const std::size_t end = entry.find('\n', at);
        if (end == std::string::npos) break;
        std::string line = entry.substr(at, end - at);
        at = end + 1;
        if (line.find('=') == std::string::npos) {
            if (at + 8 > entry.size()) break;
            std::uint64_t size = 0;
            for (int i = 7; i >= 0; --i)
                size =
                    (size << 8) | static_cast<unsigned char>(entry[at + static_cast<unsigned>(i)]);
            at += 8;
            line += "=" + entry.substr(at, size);
            at += size + 1;
        }
        fields.push_back(line);
    }
    return fields;
}

TEST(SystemLogLinux, ARecordReachesTheJournalSocket) {
    if (::geteuid() != 0) GTEST_SKIP() << "a stand-in for the journal's socket needs root";
    SLoadRecord record;
    record.port = "COM33";
    record.result = "verified";
    record.usb = SUsbIdentity{0x0403, 0x6001, "A50285BI", "1-1.2"};
    record.firmwareBefore = "1.21";
    // A receiver's text is sent as it came, a line feed included.
    record.firmwareAfter = "1.22\nbeta";
    record.durationSeconds = 111.2;

    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
    // A child of its own: a namespace cannot be entered by a process that may have threads.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipeEnds[0]);
        ::_exit(SendToStandInJournal(record, pipeEnds[1]));
    }
    ::close(pipeEnds[1]);
    std::string received;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;)
        received.append(buffer, static_cast<std::size_t>(n));
    ::close(pipeEnds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == kNoStandIn) GTEST_SKIP() << "no mount namespace here: " << received;
    ASSERT_EQ(WEXITSTATUS(status), kSent) << received;
    EXPECT_EQ(ParseEntry(received), JournalFields(record));
}

}  // namespace
}  // namespace morvane
