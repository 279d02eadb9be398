// CLoaderW6: the load the program runs for a Tundro W6.
//
// On the base loader's detection and transfer it differs in its pace (20 ms after each block),
// in a one-time "$JCONN,X" at every rate on the first load of a program run, and in the command
// sequence between detection and transfer that puts the receiver into transfer mode. Every wait
// keeps the calling thread's event queue served.
#pragma once

#include <cstdint>

#include "loader/loader.h"

namespace morvane {

class CLoaderW6 : public CLoader {
public:
    explicit CLoaderW6(SLoaderState* state, LoaderDeps deps = {});
    ~CLoaderW6() override;

    // After the last byte the receiver checks the image and starts the new firmware; nothing on
    // the line says when it is done. The simulated receiver takes two seconds; five (after the
    // second that follows the closing "$JCONN,X") leave room for a slower check of the flash, and
    // detection's first attempts, at rates the receiver is not listening at, add more.
    static constexpr unsigned kRestartWaitMs = 5000;
    // As many attempts as a load's detection: three rounds of the six rates, enough to find a
    // receiver that came back at any rate even if it missed a round while still starting.
    static constexpr int kVerifyAttempts = kDetectAttempts;
    // A receiver with a USB serial port of its own drops the port while it restarts. How long
    // the port is waited for when it is gone once the restart wait is over, and how often it is
    // looked for meanwhile.
    static constexpr unsigned kPortReturnMs = 30000;
    static constexpr unsigned kPortPollMs = 500;

    // What became of the receiver's port over its restart.
    enum class RestartPort : std::uint8_t {
        Stayed,    // there when the restart wait was over
        CameBack,  // gone then, and back within kPortReturnMs
        Gone,      // gone, and not back within kPortReturnMs
    };

    // The product's load sequence.
    void Run() override;
    // With `skip`, a receiver that reports the firmware this program carries is left as it is:
    // after detection it gets no command and no image, and the load ends with
    // STATUS_NO_UPDATE_REQUIRED. A bench that updates many receivers does not load one twice.
    void SkipCurrent(bool skip) { skipCurrent_ = skip; }
    // "$JCONN,X" once at each rate, on the first load of the receiver only.
    void SweepConnX();

    // The detection of a load and nothing after it: the same commands and timing, the one-time
    // sweep included, then the port is closed. True when the receiver answered (status
    // STATUS_CONNECTED); the record holds the firmware version it named, if it named one.
    bool Probe();
    // After a complete load: waits for the receiver to restart, then runs detection again
    // (without the sweep, which is done) and closes the port. True when the receiver answered
    // (STATUS_CONNECTED); what it named is in the record, cleared before the first attempt: the
    // firmware version, or the boot loader's version when it stayed there. A port that went away
    // is followed (PortAfterRestart); the record's port is the one it came back as. When it did
    // not come back, or would not open, the status is STATUS_INVALID_PORT. AttemptsTaken and
    // BytesHeard then tell only of this detection. Virtual, as Run is: the windows' tests play
    // the restarted receiver.
    virtual bool DetectAfterRestart();
    [[nodiscard]] virtual RestartPort PortAfterRestart() const { return restartPort_; }

private:
    // Opens the port, sweeps (once per receiver) and runs detection. False when the port would
    // not open or the receiver did not answer, with the status saying which.
    bool OpenAndDetect();
    // Opens the receiver's port once it restarted, waiting for it while it is gone.
    bool OpenAfterRestart();
    [[nodiscard]] bool RunsCarriedFirmware() const;

    bool skipCurrent_ = false;
    RestartPort restartPort_ = RestartPort::Stayed;
};

}  // namespace morvane
