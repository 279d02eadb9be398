// The simulated Tundro W6 receiver's behaviour on its serial line, with no I/O of its own.
//
// The engine is fed the bytes the updater wrote, together with the line rate the updater's side
// runs at and the time, and answers with the bytes the receiver sends back. A receiver's UART
// only makes sense of bytes sent at its own rate: anything else is line noise, so the engine
// answers only when the two rates agree. It keeps a record of the session (every command seen,
// the outcome of an image transfer) for the report.
//
// Commands are lines ended by CR LF. "$JOFF" stops the periodic position output, "$JI" is
// answered with the identification sentence and the version sentence, "$JBAUD,r" moves the
// receiver to rate r once the line is over, and "$JAPPTRANSFER" hands the line to the boot
// loader, which takes an Intel HEX image until its end-of-file record. An image that checks out
// is started: the receiver restarts (hearing nothing for a moment), comes back at the rate it
// starts at and reports the version the image carries. After a corrupted or cut image it stays in
// its boot loader, which still answers "$JI" so that the updater can load again, but names only
// itself ("W6LOADER"): there is no application to report a version.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/hex_image_check.h"
#include "sim/sim_session.h"

namespace morvane {

// The rates a Tundro W6 port can run at.
inline constexpr std::uint32_t kSimRates[] = {4800, 9600, 19200, 38400, 57600, 115200};
[[nodiscard]] bool IsSimRate(std::uint32_t rate);

struct SSimOptions {
    std::uint32_t rate = 9600;   // the rate the receiver listens at when the session starts
    std::uint32_t onlyRate = 0;  // not 0: listens at this rate only and ignores "$JBAUD"
    // A receiver on a USB port of its own has no rate on its line: it hears the updater, and is
    // heard, whatever rate the updater's side is set to.
    bool usbNative = false;
    int fields = 7;  // data fields of the ">JI" sentence
    std::string firmwareVersion = "1.21";
    std::string loaderVersion = "2.05";
    bool silent = false;       // never sends anything
    bool garble = false;       // bytes at a foreign rate arrive garbled instead of vanishing
    bool badChecksum = false;  // every sentence carries a wrong "*hh"
    bool noise = false;        // random bytes between sentences
    std::uint32_t seed = 1;    // for noise and garbling
    // Not 0: in every transfer, the first hex digit from this image byte on arrives altered, as
    // line noise would leave it; the boot loader finds the record's checksum wrong.
    std::size_t corruptAfterBytes = 0;
    // The image a good transfer delivers, byte for byte.
    std::span<const std::uint8_t> expectedImage;
    // Receives one human-readable line per event (no line end); may be empty.
    std::function<void(const std::string&)> log;
};

// A sentence as the receiver sends it: "$", the body, "*", the checksum in two upper-case hex
// digits (the 8-bit exclusive-or of the body), CR LF. With `badChecksum` the digits are wrong.
[[nodiscard]] std::string MakeSentence(std::string_view body, bool badChecksum = false);

class CSimEngine {
public:
    explicit CSimEngine(SSimOptions options);

    // Bytes the updater wrote while its side ran at `lineRate` (0 where the line does not tell);
    // returns what the receiver sends.
    [[nodiscard]] std::string Receive(std::string_view bytes, std::uint32_t lineRate, SimTime now);
    // What the receiver sends on its own by `now` (the periodic position sentence).
    [[nodiscard]] std::string Tick(std::uint32_t lineRate, SimTime now);
    // Settles a transfer whose end-of-file record is still waiting for its line feed.
    void Finish(SimTime now);

    [[nodiscard]] std::uint32_t Rate() const { return rate_; }
    [[nodiscard]] bool UsbNative() const { return options_.usbNative; }
    // The application firmware's version; empty while the receiver is in its boot loader.
    [[nodiscard]] std::string Version() const { return InBootLoader() ? std::string() : version_; }
    [[nodiscard]] bool InTransfer() const { return mode_ == Mode::Transfer; }
    // Taking an image, or left there by an image that did not check out.
    [[nodiscard]] bool InBootLoader() const {
        return mode_ == Mode::Transfer || mode_ == Mode::BootLoader;
    }
    // Between a good image and the start of its firmware: the receiver hears nothing.
    [[nodiscard]] bool Restarting() const { return mode_ == Mode::Restarting; }
    // Image bytes received in the current (or last) transfer.
    [[nodiscard]] std::size_t ImageBytes() const { return image_.Bytes().size(); }
    [[nodiscard]] bool TransferStarted() const { return transferStarted_; }
    // The moment the last transfer's end-of-file record arrived, if it did.
    [[nodiscard]] bool TransferEnded() const { return transferEnded_; }
    [[nodiscard]] SimTime TransferEndedAt() const { return transferEndedAt_; }
    // The session so far, with the digest of the image bytes worked out now.
    [[nodiscard]] SSimSession Session() const;

private:
    enum class Mode : std::uint8_t { Application, Transfer, BootLoader, Restarting };

    // Whether the receiver and the updater's side, at `lineRate`, understand each other.
    [[nodiscard]] bool Hears(std::uint32_t lineRate) const {
        return options_.usbNative || lineRate == rate_;
    }
    // Ends a restart whose time is up: the new firmware runs, at the rate the receiver starts at.
    void SettleRestart(SimTime now);

    void Put(std::uint8_t c, std::uint32_t lineRate, SimTime now, std::string& out);
    void PutTransfer(std::uint8_t c, std::uint32_t lineRate, SimTime now, std::string& out);
    void PutLineChar(std::uint8_t c, std::uint32_t lineRate, SimTime now, std::string& out);
    void EndLine(std::uint8_t end, std::uint32_t lineRate, SimTime now, std::string& out);
    void HandleCommand(const std::string& raw, std::uint32_t lineRate, SimTime now,
                       std::string& out);
    void EndTransfer(SimTime now);
    void Send(std::string& out, std::string_view body);
    [[nodiscard]] std::string JiBody(const std::string& version) const;
    [[nodiscard]] std::string PositionBody(SimTime now) const;
    [[nodiscard]] std::uint8_t Garble(std::uint8_t c);
    void Log(SimTime now, const std::string& text) const;

    static constexpr std::size_t kMaxLine = 512;
    static constexpr SimTime kPeriod{1000};
    // How long the end-of-file record's carriage return waits for its line feed.
    static constexpr SimTime kLineFeedWait{200};
    // How long the receiver takes to start the firmware of a good image.
    static constexpr SimTime kRestartTime{2000};

    SSimOptions options_;
    std::uint32_t rate_;
    std::string version_;
    Mode mode_ = Mode::Application;
    SimTime restartEndsAt_{0};
    bool corrupted_ = false;  // this transfer's byte was altered already
    bool periodic_ = true;
    SimTime nextPeriodic_{0};
    std::string line_;
    bool lineOverflow_ = false;
    bool lineInTransfer_ = false;  // a "$" command line begun between image records
    bool lineFeedDue_ = false;     // the last line ended in CR
    std::uint32_t lineFeedRate_ = 0;
    CHexImageCheck image_;
    bool transferStarted_ = false;
    bool awaitingLineFeed_ = false;
    SimTime endOfFileAt_{0};
    bool transferEnded_ = false;
    SimTime transferEndedAt_{0};
    std::size_t droppedBytes_ = 0;
    std::vector<SSimCommand> commands_;
    std::mt19937 random_;
};

// The version an image names in its leading data ("TUNDRO W6 APPLICATION FIRMWARE 1.22"),
// or empty.
[[nodiscard]] std::string VersionFromImageHeader(std::span<const std::uint8_t> leadingData);

}  // namespace morvane
