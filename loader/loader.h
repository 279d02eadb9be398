// CLoader: one firmware load over one serial port.
//
// It finds the rate the receiver listens at by probing the six standard rates, moves the
// receiver to the working rate of 19200, puts it into application-transfer mode and streams the
// image in 50-byte blocks at a fixed pace. Everything it learns and does is published in the
// load progress record; the outcome of a load is the last status written there. The window and
// the CLI use the W6 variant (loader_w6.h), which runs its own sequence on these same steps.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "loader/callback.h"
#include "loader/load_seams.h"
#include "loader/receive_splitter.h"
#include "loader/serial_link.h"
#include "parsers/command_processor.h"
#include "record/loader_state.h"

namespace morvane {

// The rates a loader carries from one load of a receiver to the next: the rate the next detection
// attempt probes, and the next step of the W6 loader's one-time "$JCONN,X" sweep (0 once done).
// A second load goes on probing where the first stopped and sweeps no more.
struct SReceiverRates {
    std::atomic<std::int32_t> probeRate{4800};
    std::atomic<std::int32_t> sweepRate{4800};
};

class CLoader {
public:
    static constexpr std::uint32_t kWorkingRate = 19200;
    static constexpr std::uint32_t kBlockSize = 50;
    static constexpr int kDetectAttempts = 20;
    // How often a long wait looks whether the port went away.
    static constexpr unsigned kLineWatchMs = 2000;
    static constexpr int kReadSize = 1024;
    // A read step takes the receive ring in reads of kReadSize until one comes back short. The
    // ring holds 4096 bytes, so this bound empties it even with bytes arriving meanwhile, yet a
    // line that never falls silent cannot hold the step.
    static constexpr int kReadsPerStep = 2 * ISerialDevice::kBufferSize / kReadSize;
    // The rates probed, in the order they are tried.
    static constexpr std::array<std::int32_t, 6> kRates = {4800, 9600, 19200, 38400, 57600, 115200};

    explicit CLoader(SLoaderState* state, LoaderDeps deps = {});
    // Closes the port if the load left it open.
    virtual ~CLoader();
    CLoader(const CLoader&) = delete;
    CLoader& operator=(const CLoader&) = delete;

    // The whole load; the outcome is the last status written to the record.
    virtual void Run();
    // One detection attempt at the receiver's probe rate; true once the receiver has answered
    // and the port opened for this attempt.
    bool DetectBaud(unsigned target);
    // Sends the image and reports completion.
    void TransferImage();

    // Why the port could not be opened, when the outcome is STATUS_INVALID_PORT.
    [[nodiscard]] const OpenError& LastOpenError() const { return link_.LastOpenError(); }

    // The attempt (1-based) in which the last detection found the receiver; 0 when it did not.
    [[nodiscard]] int AttemptsTaken() const { return attemptsTaken_; }
    // Bytes read from the line during the last detection, whether they made sense or not.
    [[nodiscard]] std::size_t BytesHeard() const { return bytesHeard_; }
    // The load stopped because the port's device went away under it (an adapter pulled out, a
    // receiver that left the bus), not because the receiver fell silent or the line failed.
    [[nodiscard]] bool PortWentAway() const { return portWentAway_; }

    // The rates shared by every loader given no receiver's own: the window's loads. Never
    // reset, so a second load of the program run goes on probing where the first stopped.
    [[nodiscard]] static SReceiverRates& ProgramWideRates();
    [[nodiscard]] static std::int32_t ProbeRate() { return ProgramWideRates().probeRate.load(); }
    [[nodiscard]] static std::int32_t SweepRate() { return ProgramWideRates().sweepRate.load(); }
    // Both back to their start (4800), as at program start. Tests run many loads per process.
    static void ResetProgramWideRatesForTesting();

protected:
    // The rate that follows `rate` in the probe cycle (4800 after 115200).
    [[nodiscard]] static std::int32_t NextRate(std::int32_t rate);

    // Up to `attempts` attempts, each followed (while unanswered) by `waitBetween` and one read
    // whose text goes to the command processor. True when an attempt found the receiver.
    template <class Wait>
    bool DetectWithinAttempts(Wait waitBetween, int attempts = kDetectAttempts);
    // Reads everything the receiver sent so far and passes it on to the command processor as
    // one text.
    void ReadReplies();
    // Closes the port and opens it at the working rate; false when it would not open.
    bool ReopenAtWorkingRate();
    // True, and remembered for PortWentAway, once the port's device is gone.
    bool DeviceGone();
    // A wait of `ms` that looks at the line every kLineWatchMs: false as soon as the port's
    // device is gone, so that a pulled adapter ends the load at once rather than after the wait.
    bool WaitWatchingLine(unsigned ms);
    void ShowMessage(const CString& text);

    // True after TransferImage sent the whole image; the sequence goes on only then.
    bool transferComplete_ = false;

    CSerialLink link_;
    SLoaderState* state_;
    std::unique_ptr<CCommandProcessor> processor_;
    TCallback<CCommandProcessor> callback_;
    CReceiveSplitter splitter_;
    IWaits& waits_;
    IPrompt* prompt_;
    ImageSource image_;
    SReceiverRates& rates_;
    std::unique_ptr<IPortFollower> follower_;
    int attemptsTaken_ = 0;
    std::size_t bytesHeard_ = 0;
    bool portWentAway_ = false;
};

template <class Wait>
bool CLoader::DetectWithinAttempts(Wait waitBetween, int attempts) {
    attemptsTaken_ = 0;
    bytesHeard_ = 0;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        if (DetectBaud(state_->GetBaudRate())) {
            attemptsTaken_ = attempt;
            return true;
        }
        // A port whose device went away will not answer in the attempts that are left.
        if (DeviceGone()) return false;
        waitBetween();
        ReadReplies();
    }
    return false;
}

}  // namespace morvane
