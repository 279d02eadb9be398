// morvane-cli --line-check: a port whose TX and RX are joined (a loopback plug, or two adapters
// crossed, one sending and the other reading) is sent blocks exactly as a load paces them and reads
// them back, so that what the adapter and its driver do to the load's pace shows on the line
// itself: bytes lost or changed, and pauses between blocks that the line did not carry as silence
// (an adapter that gathers bytes into its own packets can merge two blocks). A pseudo-terminal
// proves none of this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <span>
#include <string>
#include <vector>

#include "serial/serial_device.h"

namespace morvane {

struct CliOptions;

// What is sent: blocks of a load's size and pace, at the W6's transfer rate.
struct SLineCheckPlan {
    int blocks = 300;
    int blockSize = 50;
    unsigned pauseMs = 20;
    std::uint32_t baudRate = 19200;
};

// One read of the bytes that came back: how many, and when (ms after the first block went out).
struct SLineArrival {
    double ms = 0;
    std::size_t count = 0;
};

// The reader looks for bytes this often, so it times each read to about this.
inline constexpr double kLineTimingResolutionMs = 1.0;

struct SLineCheckResult {
    std::size_t sent = 0;
    std::size_t received = 0;
    // When as many bytes came back as went out: how many differ. Otherwise the first place where
    // what came back differs from what went out (or ends).
    std::size_t changed = 0;
    std::size_t firstDifference = 0;
    bool writeFailed = false;  // the sending side stopped before every block went out
    // Times as read back, of the blocks that came back where they were sent. A driver that hands
    // bytes over in packets moves each read by up to a packet's interval; that error does not add
    // up over a run, so the verdict rests on the averages below and the single silences are only
    // facts.
    std::size_t pauses = 0;
    double periodMs = 0;    // the start of one block to the start of the next, on average
    double blockMs = 0;     // one block's first byte to its last, one character included
    double runMs = 0;       // the first block's first byte to the last block's last
    double scheduleMs = 0;  // what the run was paced to at the plan's rate
    double silenceMs = 0;   // the period less a block's time on the line: the silence after it
    // The single silences as the reads allow: between one block's last byte and the next one's
    // first, each byte put as late as its read and the line's rate allow.
    double minSilenceMs = 0;
    double medianSilenceMs = 0;
    double p95SilenceMs = 0;
    // Silences that fell inside one read: over so short a while that the line cannot have kept
    // the pause (the blocks ran together), or over so long a one that the reads cannot tell
    // (an adapter that hands bytes over in large batches, or holds them back).
    std::size_t merged = 0;
    double mergedMaxMs = 0;  // the most silence a merged one can have had
    std::size_t untimed = 0;
    double untimedReadMs = 0;  // the longest while such a read gathered bytes

    [[nodiscard]] bool BytesIntact() const { return received == sent && changed == 0; }
    // A read that came late now and then (the PC busy elsewhere) leaves a few silences untimed;
    // an adapter that hands bytes over in batches leaves most of them so. Up to one in ten, the
    // rest tell the line's pauses.
    [[nodiscard]] bool BlocksTimed() const { return untimed * 10 <= pauses; }
    [[nodiscard]] bool PausesKept(const SLineCheckPlan& plan) const;
    [[nodiscard]] bool Passed(const SLineCheckPlan& plan) const {
        return !writeFailed && BytesIntact() && PausesKept(plan);
    }
};

// Works out the result from what was sent, what came back and the reads' times, judged against
// `plan` (the pause a load needs, whatever the sender kept).
[[nodiscard]] SLineCheckResult AnalyseLineCheck(const SLineCheckPlan& plan,
                                                std::span<const std::uint8_t> sent,
                                                std::span<const std::uint8_t> received,
                                                const std::vector<SLineArrival>& arrivals);

// The report's lines for the port `where` ("COM5 (/dev/ttyUSB0)"), ending in the verdict;
// "passed" only when it passed.
[[nodiscard]] std::string LineCheckReport(const SLineCheckResult& result,
                                          const SLineCheckPlan& plan, const std::string& where);

// The bytes a check sends: the start of the image this program carries, so the line carries
// what a load puts on it.
[[nodiscard]] std::vector<std::uint8_t> LineCheckBytes(const SLineCheckPlan& plan);

struct SLineCheckRun {
    bool opened = false;
    OpenError openError;
    int failedEnd = 0;      // which port would not open: 0 the sending one, 1 the reading one
    int blocksWritten = 0;  // fewer than planned when a write failed
    std::vector<std::uint8_t> received;
    std::vector<SLineArrival> arrivals;
};

// The check's time, and how its two sides run: the sender on a thread of its own while this one
// reads. The system's unless a test gives a virtual one.
class ILineCheckTime {
public:
    virtual ~ILineCheckTime() = default;
    // Milliseconds from a start of its own, on either side.
    [[nodiscard]] virtual double NowMs() = 0;
    // Returns once `ms` has come, at once when it has passed.
    virtual void WaitUntilMs(double ms) = 0;
    // Runs `writer` on a thread of its own and `reader` on this one; returns once both ended.
    virtual void SideBySide(const std::function<void()>& writer,
                            const std::function<void()>& reader) = 0;
};

// The steady clock, the system's waits, each side with what its short waits need.
[[nodiscard]] ILineCheckTime& SystemLineCheckTime();

// Opens COM `senderPort` on `sender`, and COM `receiverPort` on `receiver` when there is one (two
// adapters crossed; null: the sender reads its own bytes back through a loopback plug), at the
// plan's rate without handshake. Writes the blocks on a thread of their own (each Write returns
// once its bytes have left, then the pause) and reads back on this one until the bytes are all
// back or the line stayed quiet for a second.
[[nodiscard]] SLineCheckRun RunLineCheck(ISerialDevice& sender, int senderPort,
                                         ISerialDevice* receiver, int receiverPort,
                                         const SLineCheckPlan& plan,
                                         std::span<const std::uint8_t> bytes,
                                         ILineCheckTime& time = SystemLineCheckTime());

// One end of the line, as the check names it.
struct SLineCheckEnd {
    std::string label;  // "COM5", or the path given
    int comPort = 0;
    std::string devicePath;
    std::string where;  // "COM5 (/dev/ttyUSB0)"
};

// What `run` of `bytes` (the sending end first in `ends`, then the reading one if apart) came
// to: the report on `out`, a port that would not open or a write that failed on `err`. The exit
// status (0 the line carried every byte and pause, 2 a port could not be opened, 4 it did not).
int TellLineCheck(const SLineCheckRun& run, const SLineCheckPlan& plan,
                  std::span<const std::uint8_t> bytes, const std::vector<SLineCheckEnd>& ends,
                  std::ostream& out, std::ostream& err);

// The whole of --line-check for the port in `options` (with a second --com, the blocks go out on
// the first port and come back on the second): the exit status, as TellLineCheck's.
int LineCheckCommand(const CliOptions& options, std::ostream& out, std::ostream& err);

}  // namespace morvane
