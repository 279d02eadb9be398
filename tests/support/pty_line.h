// A serial line stood in by pseudo-terminals, for the line check: the program writes to one
// terminal and what it wrote comes back, on the same terminal (a loopback plug) or on a second one
// (two adapters crossed), as a chosen adapter hands it back. Real time, so for e2e tests only.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>

namespace morvane::testing {

struct SPtyLineStyle {
    bool crossed = false;  // the bytes come back on a second terminal
    // Above 0: bytes are handed back only on a tick of this period, all that arrived since the
    // last one together, as a USB adapter's latency timer does.
    double packetMs = 0;
    // The byte at this place in the stream never comes back.
    std::size_t dropByte = static_cast<std::size_t>(-1);
};

class CPtyLine {
public:
    explicit CPtyLine(SPtyLineStyle style = {});
    ~CPtyLine();
    CPtyLine(const CPtyLine&) = delete;
    CPtyLine& operator=(const CPtyLine&) = delete;

    [[nodiscard]] bool Ok() const { return !sendingPath_.empty() && !readingPath_.empty(); }
    // The terminal the program writes to, and the one it reads back from.
    [[nodiscard]] const std::string& SendingPath() const { return sendingPath_; }
    [[nodiscard]] const std::string& ReadingPath() const { return readingPath_; }

private:
    void Carry();

    SPtyLineStyle style_;
    int sendingMaster_ = -1;
    int readingMaster_ = -1;
    std::string sendingPath_;
    std::string readingPath_;
    std::atomic<bool> stop_{false};
    std::thread carrier_;
};

}  // namespace morvane::testing
