// The simulated receiver's serial line, and the loop that serves it.
//
// By default the line is a pseudo-terminal of the simulator's own: the updater opens the other
// end as if it were the receiver's serial port. The line rate the updater sets on its end is
// what this side reads back (a pseudo-terminal pair shares one set of line settings), so the
// engine can tell whether the two sides would understand each other on a real wire. With a COM
// number, $MORVANE_DEVICES/comN is made a link to the other end, so the updater finds the
// receiver as COM N; the link goes when the runner closes.
//
// Or the line is an existing serial device: a USB serial adapter whose cable is crossed to the
// updater's, or the port a USB gadget plays. The receiver takes it as the updater takes a port
// (refused while another program holds it, held exclusively, its own settings given back at the
// end) and sets it to the rate the receiver listens at, so that bytes sent at another rate
// arrive as the receiver's UART would make them out. A receiver with a USB port of its own has
// no rate: its device is left at whatever rate it has (a gadget's port cannot be set to one).
//
// A receiver with a USB port of its own drops that port while it restarts into new firmware:
// the runner can do the same, and come back on a new pseudo-terminal under the same link, or on
// the same device, taking the gadget that plays its USB port off the bus meanwhile. A device that
// hangs up under the receiver (its adapter pulled, its gadget taken off the bus by someone else)
// is waited for, and served again once it opens.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "sim/sim_engine.h"

struct termios;

namespace morvane {

struct SSimLineOptions {
    // Not empty: serve this serial device instead of a pseudo-terminal of the runner's own.
    std::string device;
    // Not empty: the configfs folder of the USB gadget that plays `device`'s USB port
    // ("/sys/kernel/config/usb_gadget/w6"), bound to its controller when the runner opens; the
    // gadget is taken off the bus while the port is dropped at the restart.
    std::string gadget;
    int comPort = 0;                   // not 0: make $MORVANE_DEVICES/comN (no device only)
    bool split = false;                // send each reply in small pieces with short pauses
    bool exitAfterTransfer = false;    // end the run a moment after a transfer ended
    std::size_t hangupAfterBytes = 0;  // not 0: drop the line after this many image bytes
    // Not 0: when the receiver restarts into new firmware, the line and its link go, and come
    // back this much later.
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

class CSimLine {
public:
    CSimLine(CSimEngine& engine, SSimLineOptions options);
    ~CSimLine();
    CSimLine(const CSimLine&) = delete;
    CSimLine& operator=(const CSimLine&) = delete;

    // Opens the line (the pseudo-terminal raw at the engine's rate, or the device) and makes the
    // COM link if asked. On failure the reason, with the system's text, is left in `error`.
    [[nodiscard]] bool Open(std::string* error);
    // The device the updater opens ("/dev/pts/N", another one after the port came back), or the
    // device served.
    [[nodiscard]] const std::string& DevicePath() const { return devicePath_; }
    // The COM link, or empty.
    [[nodiscard]] const std::string& LinkPath() const { return linkPath_; }

    // Serves the line until `stop` is raised or the run ends on its own (see SimRunEnd).
    // Settles the engine's transfer (CSimEngine::Finish) before it returns.
    SimRunEnd Run(const std::atomic<bool>& stop);

    // Closes this side of the line, removes the link and puts a gadget taken off the bus back
    // on it; may run twice.
    void Close();

    // The rate the updater's side runs at as far as the line tells, as a number of baud: the
    // pseudo-terminal's; a device's is the receiver's own, or 0 on a USB port of its own. 0 when
    // it cannot be read.
    [[nodiscard]] std::uint32_t LineRate() const;

private:
    [[nodiscard]] bool OpenLine(std::string* error);
    [[nodiscard]] bool OpenPty(std::string* error);
    [[nodiscard]] bool OpenDevice(std::string* error);
    [[nodiscard]] bool MakeLink(std::string* error);
    // Closes the line alone, a device's settings given back.
    void CloseLine();
    void RemoveLink();
    // What the updater wrote, to the receiver, and its answer back; true when the line was
    // dropped on purpose (hangupAfterBytes).
    [[nodiscard]] bool Take(std::string_view received, SimTime now);
    // A device at the rate the receiver listens at now ("$JBAUD" moves it).
    void FollowReceiverRate();
    [[nodiscard]] bool PutGadgetOnBus(bool on);
    // The port goes as the receiver restarts, and comes back when its time is up.
    void DropPort(SimTime now);
    // A device that hung up is waited for.
    void LoseDevice(SimTime now);
    // False when the port could not be set up again; a device not there yet is waited for.
    [[nodiscard]] bool BringPortBack(SimTime now);
    [[nodiscard]] SimTime Now() const;
    void Transmit(const std::string& bytes);
    void Log(const std::string& text) const;

    CSimEngine& engine_;
    SSimLineOptions options_;
    int fd_ = -1;  // the pseudo-terminal's master side, or the device
    std::string devicePath_;
    std::string linkPath_;
    std::unique_ptr<termios> deviceSettings_;  // the device's own, given back on close
    std::uint32_t deviceRate_ = 0;             // the rate the device was set to
    std::string gadgetUdc_;                    // the controller the gadget was bound to
    bool gadgetOffBus_ = false;                // taken off the bus by this runner
    std::chrono::steady_clock::time_point start_;
    bool writeDropLogged_ = false;
    bool waitLogged_ = false;            // a device not back yet was said once
    std::optional<SimTime> portBackAt_;  // while the port is away
};

}  // namespace morvane
