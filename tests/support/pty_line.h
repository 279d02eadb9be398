// Serial lines stood in by pseudo-terminals. PtyPair: one terminal whose master side the test
// holds, playing whatever is at the far end, while the program opens the terminal side as it
// would a serial port. CPtyLine, for the line check: the program writes to one terminal and what
// it wrote comes back, on the same terminal (a loopback plug) or on a second one (two adapters
// crossed), as a chosen adapter hands it back. Real time, so for e2e tests only.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>

namespace morvane::testing {

class PtyPair {
public:
    PtyPair();
    ~PtyPair() { HangUp(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    [[nodiscard]] bool Ok() const { return master_ >= 0 && !slavePath_.empty(); }
    [[nodiscard]] const std::string& SlavePath() const { return slavePath_; }
    [[nodiscard]] int Master() const { return master_; }
    // The far end goes: the terminal side hangs up.
    void HangUp();

    // Sends everything to the terminal side; false if it could not go within five seconds.
    bool Send(const std::string& bytes);
    // What the program wrote, waiting up to five seconds for `count` bytes.
    std::string Receive(std::size_t count);

private:
    int master_ = -1;
    std::string slavePath_;
};

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

    [[nodiscard]] bool Ok() const { return sending_.Ok() && reading_.Ok(); }
    // The terminal the program writes to, and the one it reads back from.
    [[nodiscard]] const std::string& SendingPath() const { return sending_.SlavePath(); }
    [[nodiscard]] const std::string& ReadingPath() const { return reading_.SlavePath(); }

private:
    void Carry();

    SPtyLineStyle style_;
    PtyPair sending_;
    std::unique_ptr<PtyPair> crossed_;  // the second terminal of a crossed line
    PtyPair& reading_;
    std::atomic<bool> stop_{false};
    std::thread carrier_;
};

}  // namespace morvane::testing
