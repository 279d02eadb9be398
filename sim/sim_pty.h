// The simulated receiver on a pseudo-terminal: the updater opens the other end as if it were the
// receiver's serial port. The line rate the updater sets on its end is what this side reads
// back (a pseudo-terminal pair shares one set of line settings), so the engine can tell whether
// the two sides would understand each other on a real wire.
//
// With a COM number, $MORVANE_DEVICES/comN is made a link to the other end, so the updater finds
// the receiver as COM N; the link goes when the runner closes. A receiver with a USB serial port
// of its own drops that port while it restarts into new firmware: the runner can do the same,
// and come back on a new pseudo-terminal under the same link.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "sim/sim_engine.h"

namespace morvane {

struct SSimPtyOptions {
    int comPort = 0;                   // not 0: make $MORVANE_DEVICES/comN
    bool split = false;                // send each reply in small pieces with short pauses
    bool exitAfterTransfer = false;    // end the run a moment after a transfer ended
    std::size_t hangupAfterBytes = 0;  // not 0: drop the line after this many image bytes
    // Not 0: when the receiver restarts into new firmware, the line and its link go, and come
    // back this much later on a new pseudo-terminal.
    SimTime dropPortOnRestart{0};
    // One human-readable line per event (no line end); may be empty.
    std::function<void(const std::string&)> log;
    // Called each time a transfer's end-of-file record has been taken in; may be empty.
    std::function<void()> onTransferEnded;
    // Called each time the receiver starts to restart into new firmware (whether or not its
    // port goes with it); may be empty.
    std::function<void()> onRestart;
};

enum class SimRunEnd : std::uint8_t {
    Stopped,        // the stop flag was raised
    TransferEnded,  // --exit-after-transfer: the transfer is over
    HungUp,         // --hangup-after-bytes: the line was dropped on purpose
    Failed,         // the pseudo-terminal failed
};

class CSimPty {
public:
    CSimPty(CSimEngine& engine, SSimPtyOptions options);
    ~CSimPty();
    CSimPty(const CSimPty&) = delete;
    CSimPty& operator=(const CSimPty&) = delete;

    // Opens the pseudo-terminal, raw, at the engine's rate, and makes the COM link if asked.
    // On failure the reason, with the system's text, is left in `error`.
    [[nodiscard]] bool Open(std::string* error);
    // The device the updater opens ("/dev/pts/N"); another one after the port came back.
    [[nodiscard]] const std::string& SlavePath() const { return slavePath_; }
    // The COM link, or empty.
    [[nodiscard]] const std::string& LinkPath() const { return linkPath_; }

    // Serves the line until `stop` is raised or the run ends on its own (see SimRunEnd).
    // Settles the engine's transfer (CSimEngine::Finish) before it returns.
    SimRunEnd Run(const std::atomic<bool>& stop);

    // Closes this side of the line and removes the link; may run twice.
    void Close();

    // The rate set on the line, as a number of baud; 0 when it cannot be read.
    [[nodiscard]] std::uint32_t LineRate() const;

private:
    // The pseudo-terminal, raw, at the engine's rate.
    [[nodiscard]] bool OpenLine(std::string* error);
    [[nodiscard]] bool MakeLink(std::string* error);
    // The port goes as the receiver restarts, and comes back when its time is up; false when
    // it could not be set up again.
    void DropPort(SimTime now);
    [[nodiscard]] bool BringPortBack();
    [[nodiscard]] SimTime Now() const;
    void Transmit(const std::string& bytes);
    void Log(const std::string& text) const;

    CSimEngine& engine_;
    SSimPtyOptions options_;
    int master_ = -1;
    std::string slavePath_;
    std::string linkPath_;
    std::chrono::steady_clock::time_point start_;
    bool writeDropLogged_ = false;
    std::optional<SimTime> portBackAt_;  // while the port is dropped
};

}  // namespace morvane
