#include "cli/line_check.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <ostream>
#include <thread>

#include "cli/cli_args.h"
#include "cli/cli_platform.h"
#include "cli/exit_status.h"
#include "platform/debug.h"
#include "platform/pacing.h"
#include "platform/text.h"
#include "platform/wake_event.h"
#include "res/firmware_image.h"
#include "serial/com_port_path.h"
#include "serial/open_error_facts.h"
#include "serial/port_identity.h"
#include "session/load_session.h"
#include "view/open_error_text.h"

namespace morvane {
namespace {

using Clock = std::chrono::steady_clock;

// After the last block, the bytes still on their way get this long to come back.
constexpr auto kQuietEnd = std::chrono::seconds(1);

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

namespace {

// The value below which `share` of the sorted `values` lie.
double Percentile(const std::vector<double>& sorted, double share) {
    const auto last = static_cast<double>(sorted.size() - 1);
    return sorted[static_cast<std::size_t>(std::lround(share * last))];
}

double CharacterMs(const SLineCheckPlan& plan) { return 10.0 * 1000.0 / plan.baudRate; }

}  // namespace

bool SLineCheckResult::PausesKept(const SLineCheckPlan& plan) const {
    return pauses > 0 && silenceMs + kLineTimingResolutionMs >= plan.pauseMs;
}

SLineCheckResult AnalyseLineCheck(const SLineCheckPlan& plan, std::span<const std::uint8_t> sent,
                                  std::span<const std::uint8_t> received,
                                  const std::vector<SLineArrival>& arrivals) {
    SLineCheckResult result;
    result.sent = sent.size();
    result.received = received.size();
    const std::size_t common = std::min(sent.size(), received.size());
    result.firstDifference = common;
    for (std::size_t i = 0; i < common; ++i) {
        if (sent[i] != received[i]) {
            ++result.changed;
            result.firstDifference = std::min(result.firstDifference, i);
        }
    }
    const auto size = static_cast<std::size_t>(plan.blockSize);
    const std::size_t blocks = received.size() / size;
    const double characterMs = CharacterMs(plan);
    result.scheduleMs =
        static_cast<double>(blocks) * (characterMs * static_cast<double>(size) + plan.pauseMs) -
        plan.pauseMs;
    // Bytes lost or added leave no block where it was sent: nothing to time.
    if (result.received != result.sent || blocks < 2) return result;

    // When each byte came back: the time of the read that brought it. A byte is read once it
    // has arrived whole, one character after it began on the line.
    std::vector<double> at;
    at.reserve(received.size());
    for (const SLineArrival& arrival : arrivals) at.insert(at.end(), arrival.count, arrival.ms);
    at.resize(received.size(), at.empty() ? 0.0 : at.back());

    std::vector<double> gaps;
    double carried = 0;
    for (std::size_t block = 0; block < blocks; ++block) {
        const std::size_t first = block * size;
        carried += at[first + size - 1] - at[first] + characterMs;
        if (block > 0) gaps.push_back(std::max(0.0, at[first] - at[first - 1] - characterMs));
    }
    result.pauses = gaps.size();
    const double count = static_cast<double>(blocks);
    result.blockMs = carried / count;
    result.periodMs = (at[(blocks - 1) * size] - at[0]) / (count - 1);
    result.runMs = at[blocks * size - 1] - at[0] + characterMs;
    // The period is timed across the whole run, so a read's delay counts once, not once a
    // block. A block takes its bytes' time on the line whatever the reads saw of it: read back
    // in packets it looks longer, and from a line with no rate of its own (a pseudo-terminal)
    // it looks shorter, while the sender's write still lasted that time.
    result.silenceMs = std::max(0.0, result.periodMs - characterMs * static_cast<double>(size));
    std::sort(gaps.begin(), gaps.end());
    result.minGapMs = gaps.front();
    result.medianGapMs = Percentile(gaps, 0.5);
    result.p95GapMs = Percentile(gaps, 0.95);
    return result;
}

std::string LineCheckReport(const SLineCheckResult& result, const SLineCheckPlan& plan,
                            const std::string& where) {
    std::string text;
    if (result.received == 0) {
        return Format("Sent %zu bytes on %s; nothing came back.\n", result.sent, where.c_str()) +
               "  Join the port's TX and RX (a loopback plug, or a second adapter crossed to it)\n"
               "  and check again. Line check failed.\n";
    }
    if (result.BytesIntact()) {
        text +=
            Format("Sent %zu bytes; all %zu came back unchanged.\n", result.sent, result.received);
    } else if (result.received == result.sent) {
        text +=
            Format("Sent %zu bytes; %zu came back, %zu of them changed (the first at byte %zu).\n",
                   result.sent, result.received, result.changed, result.firstDifference);
    } else if (result.received < result.sent) {
        text += Format(
            "Sent %zu bytes; %zu came back: %zu lost (the first difference at byte %zu).\n",
            result.sent, result.received, result.sent - result.received, result.firstDifference);
    } else {
        text += Format("Sent %zu bytes; %zu came back: %zu more than were sent.\n", result.sent,
                       result.received, result.received - result.sent);
    }
    if (result.pauses > 0) {
        const double lineMs = CharacterMs(plan) * plan.blockSize;
        text += Format(
            "Block period as read back: %.1f ms (a block is %.1f ms on the line at %u Bd, "
            "%.1f ms as read back, then %u ms of pause).\n"
            "The whole run: %.2f s from the first byte back to the last; paced to %.2f s.\n"
            "Silence after each block: %.1f ms on average. Single gaps: min %.1f ms, median "
            "%.1f ms,\n  95th percentile %.1f ms, as the reads saw them (each read is timed to "
            "%.0f ms; a driver\n  that hands bytes over in packets moves it by up to a "
            "packet's interval).\n",
            result.periodMs, lineMs, plan.baudRate, result.blockMs, plan.pauseMs,
            result.runMs / 1000.0, result.scheduleMs / 1000.0, result.silenceMs, result.minGapMs,
            result.medianGapMs, result.p95GapMs, kLineTimingResolutionMs);
        if (!result.PausesKept(plan)) {
            text += Format(
                "The line carried less than %u ms of silence after each block: the adapter or\n"
                "  its driver runs the blocks together, which a load cannot afford.\n",
                plan.pauseMs);
        }
    }
    if (result.writeFailed) text += "Not every block could be sent.\n";
    text += result.Passed(plan) ? "Line check passed: " + where + " carries a load as it is sent.\n"
                                : std::string("Line check failed.\n");
    return text;
}

std::vector<std::uint8_t> LineCheckBytes(const SLineCheckPlan& plan) {
    const std::span<const std::uint8_t> image = EmbeddedFirmwareImage();
    const std::size_t wanted = static_cast<std::size_t>(plan.blocks) * plan.blockSize;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(wanted);
    // The image is far longer than a check; should it not be, it is sent again from its start.
    while (!image.empty() && bytes.size() < wanted) {
        const std::size_t take = std::min(image.size(), wanted - bytes.size());
        bytes.insert(bytes.end(), image.begin(), image.begin() + static_cast<std::ptrdiff_t>(take));
    }
    return bytes;
}

namespace {

// Opens one end of the line at the check's rate without handshake; false with the reason kept.
bool OpenEnd(ISerialDevice& device, int comPort, std::uint32_t baudRate, OpenError& error) {
    if (!device.Open(comPort)) {
        error = device.LastOpenError();
        return false;
    }
    device.SetHandshake(false);
    device.LineSettings().BaudRate = baudRate;
    if (device.ApplyCommState()) return true;
    error = device.LastOpenError();
    error.kind = OpenErrorKind::SettingsRefused;
    device.Close();
    return false;
}

}  // namespace

SLineCheckRun RunLineCheck(ISerialDevice& sender, int senderPort, ISerialDevice* receiver,
                           int receiverPort, const SLineCheckPlan& plan,
                           std::span<const std::uint8_t> bytes) {
    SLineCheckRun run;
    if (!OpenEnd(sender, senderPort, plan.baudRate, run.openError)) return run;
    if (receiver != nullptr && !OpenEnd(*receiver, receiverPort, plan.baudRate, run.openError)) {
        run.failedEnd = 1;
        sender.Close();
        return run;
    }
    run.opened = true;
    ISerialDevice& device = receiver != nullptr ? *receiver : sender;
    const CPacingScope pacing;  // the reads' own short waits
    CWakeEvent tick;            // never raised: the reader's and the writer's pauses wait on it
    char buffer[ISerialDevice::kBufferSize];
    while (device.Read(buffer, sizeof buffer) > 0) {
        // Whatever the line held before the check is no part of it.
    }

    std::atomic<int> written{0};
    std::atomic<bool> writing{true};
    const Clock::time_point start = Clock::now();
    std::thread writer([&] {
        const CPacingScope writerPacing;
        CWakeEvent pause;  // never raised: the pauses wait as a load's do
        const auto size = static_cast<std::size_t>(plan.blockSize);
        for (std::size_t from = 0; from + size <= bytes.size(); from += size) {
            if (!sender.Write(bytes.data() + from, plan.blockSize)) break;
            written.fetch_add(1);
            (void)pause.WaitUntil(Clock::now() + std::chrono::milliseconds(plan.pauseMs));
        }
        writing.store(false);
    });

    Clock::time_point heard = Clock::now();
    for (;;) {
        const int n = device.Read(buffer, sizeof buffer);
        if (n > 0) {
            run.arrivals.push_back({MsSince(start), static_cast<std::size_t>(n)});
            run.received.insert(run.received.end(), buffer, buffer + n);
        }
        const bool stillWriting = writing.load();
        const auto due = static_cast<std::size_t>(written.load()) * plan.blockSize;
        if (!stillWriting && run.received.size() >= due) break;
        if (n > 0 || stillWriting) {
            heard = Clock::now();
        } else if (Clock::now() - heard >= kQuietEnd) {
            break;
        }
        if (n <= 0) (void)tick.WaitUntil(Clock::now() + std::chrono::milliseconds(1));
    }
    writer.join();
    run.blocksWritten = written.load();
    sender.Close();
    if (receiver != nullptr) receiver->Close();
    return run;
}

namespace {

// One end of the line: the port named, its device, and how the report names it.
struct SLineEnd {
    LoadRequest port;
    std::string label;
    std::string devicePath;
    std::string where;  // "COM5 (/dev/ttyUSB0)"
    std::unique_ptr<ISerialDevice> device;
};

SLineEnd EndAt(int comPort, const std::string& path) {
    SLineEnd end;
    end.port.comPort = comPort;
    end.port.portPath = path;
    end.label = PortLabelOf(end.port);
    end.devicePath = comPort != 0 ? ComPortDevicePath(comPort) : path;
    end.where = PortWhere(end.label, end.devicePath);
    end.device = MakePortDevice(end.port);
    return end;
}

}  // namespace

int LineCheckCommand(const CliOptions& options, std::ostream& out, std::ostream& err) {
    std::vector<SLineEnd> ends;
    ends.push_back(EndAt(options.comPort, options.portPath));
    if (options.comPorts.size() > 1) ends.push_back(EndAt(options.comPorts[1], ""));
    const std::string where =
        ends.size() > 1 ? ends[0].where + " to " + ends[1].where : ends[0].where;

    const SLineCheckPlan plan;
    const std::vector<std::uint8_t> bytes = LineCheckBytes(plan);
    out << Format("Line check on %s: %d blocks of %d bytes at %u Bd, %u ms after each block.\n",
                  where.c_str(), plan.blocks, plan.blockSize, plan.baudRate, plan.pauseMs)
        << std::flush;
    // The reading end's driver is what times the bytes coming back.
    const CLowLatencyRequest lowLatency(ends.back().devicePath);
    if (!lowLatency.Said().empty()) out << lowLatency.Said() << "\n" << std::flush;
    // A device bound to a path opens that path whatever number it is given.
    const int first = options.comPort != 0 ? options.comPort : 1;
    const SLineCheckRun run = ends.size() > 1
                                  ? RunLineCheck(*ends[0].device, first, ends[1].device.get(),
                                                 ends[1].port.comPort, plan, bytes)
                                  : RunLineCheck(*ends[0].device, first, nullptr, 0, plan, bytes);
    if (!run.opened) {
        const SLineEnd& failed = ends[static_cast<std::size_t>(run.failedEnd)];
        OutputDebugStringA(Format("morvane-cli: line check: %s %s: %s (error %d)\n",
                                  failed.where.c_str(),
                                  run.openError.kind == OpenErrorKind::SettingsRefused
                                      ? "refused the line's settings"
                                      : "would not open",
                                  run.openError.osText.c_str(), run.openError.osError)
                               .c_str());
        if (run.openError.kind == OpenErrorKind::SettingsRefused) {
            err << Format("morvane-cli: %s refused %u Bd.\n", failed.where.c_str(), plan.baudRate);
            return kExitPortFailed;
        }
        OpenError error = run.openError;
        if (error.devicePath.empty()) error.devicePath = failed.devicePath;
        err << ExplainOpenError(error, failed.label, failed.port.comPort,
                                GatherOpenErrorFacts(error));
        return kExitPortFailed;
    }
    if (run.blocksWritten < plan.blocks) {
        OutputDebugStringA(Format("morvane-cli: line check: writing to %s failed after %d of %d "
                                  "blocks\n",
                                  ends[0].where.c_str(), run.blocksWritten, plan.blocks)
                               .c_str());
        err << Format("morvane-cli: writing to %s failed after %d of %d blocks.\n",
                      ends[0].where.c_str(), run.blocksWritten, plan.blocks);
    }
    const std::span<const std::uint8_t> sent(
        bytes.data(), static_cast<std::size_t>(run.blocksWritten) * plan.blockSize);
    SLineCheckResult result = AnalyseLineCheck(plan, sent, run.received, run.arrivals);
    result.writeFailed = run.blocksWritten < plan.blocks;
    out << LineCheckReport(result, plan, where);
    return result.Passed(plan) ? kExitLoaded : kExitLoadFailed;
}

}  // namespace morvane
