#include "cli/line_check.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <ostream>
#include <thread>

#include "cli/cli_args.h"
#include "cli/exit_status.h"
#include "platform/pacing.h"
#include "platform/text.h"
#include "platform/wake_event.h"
#include "res/firmware_image.h"
#include "serial/com_port_path.h"
#include "serial/comm_dev2.h"
#include "serial/open_error_facts.h"
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

    // When each byte came back: the time of the read that brought it.
    std::vector<double> at;
    at.reserve(received.size());
    for (const SLineArrival& arrival : arrivals) at.insert(at.end(), arrival.count, arrival.ms);
    at.resize(received.size(), at.empty() ? 0.0 : at.back());

    // The first byte of a block is timed when it has arrived whole, one character after the
    // line fell silent: that character is no part of the pause.
    const double characterMs = 10.0 * 1000.0 / plan.baudRate;
    std::vector<double> gaps;
    const auto size = static_cast<std::size_t>(plan.blockSize);
    for (std::size_t start = size; start < at.size(); start += size)
        gaps.push_back(std::max(0.0, at[start] - at[start - 1] - characterMs));
    if (gaps.empty()) return result;
    result.pauses = gaps.size();
    result.shortPauses =
        static_cast<std::size_t>(std::count_if(gaps.begin(), gaps.end(), [&](double gap) {
            return gap + kLineTimingResolutionMs < plan.pauseMs;
        }));
    std::sort(gaps.begin(), gaps.end());
    result.minGapMs = gaps.front();
    result.maxGapMs = gaps.back();
    const std::size_t middle = gaps.size() / 2;
    result.medianGapMs =
        gaps.size() % 2 == 1 ? gaps[middle] : (gaps[middle - 1] + gaps[middle]) / 2;
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
        text += Format(
            "Silence between blocks as the line carried it: min %.1f ms, median %.1f ms, "
            "max %.1f ms.\n",
            result.minGapMs, result.medianGapMs, result.maxGapMs);
        if (result.shortPauses == 0) {
            text += Format("Every one of the %zu pauses was at least %u ms of silence.\n",
                           result.pauses, plan.pauseMs);
        } else {
            text += Format(
                "%zu of the %zu pauses were shorter than %u ms of silence: the adapter or\n"
                "  its driver does not keep the blocks apart as a load needs.\n",
                result.shortPauses, result.pauses, plan.pauseMs);
        }
    }
    text += result.Passed() ? "Line check passed: " + where + " carries a load as it is sent.\n"
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
    end.where = end.devicePath.empty() || end.devicePath == end.label
                    ? end.label
                    : end.label + " (" + end.devicePath + ")";
    if (comPort != 0) {
        end.device = std::make_unique<CCommDev2>();
    } else {
        end.device = std::make_unique<CPathCommDev>(path);
    }
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
    // A device bound to a path opens that path whatever number it is given.
    const int first = options.comPort != 0 ? options.comPort : 1;
    const SLineCheckRun run = ends.size() > 1
                                  ? RunLineCheck(*ends[0].device, first, ends[1].device.get(),
                                                 ends[1].port.comPort, plan, bytes)
                                  : RunLineCheck(*ends[0].device, first, nullptr, 0, plan, bytes);
    if (!run.opened) {
        const SLineEnd& failed = ends[static_cast<std::size_t>(run.failedEnd)];
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
        err << Format("morvane-cli: writing to %s failed after %d of %d blocks.\n",
                      ends[0].where.c_str(), run.blocksWritten, plan.blocks);
    }
    const std::span<const std::uint8_t> sent(
        bytes.data(), static_cast<std::size_t>(run.blocksWritten) * plan.blockSize);
    const SLineCheckResult result = AnalyseLineCheck(plan, sent, run.received, run.arrivals);
    out << LineCheckReport(result, plan, where);
    return result.Passed() && run.blocksWritten == plan.blocks ? kExitLoaded : kExitLoadFailed;
}

}  // namespace morvane
