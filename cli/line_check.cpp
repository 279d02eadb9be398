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
constexpr double kQuietEndMs = 1000;
// Reads closer than this took what the ring held in more than one go: one read of the line.
constexpr double kSameReadMs = 0.1;

// The value below which `share` of the sorted `values` lie.
double Percentile(const std::vector<double>& sorted, double share) {
    const auto last = static_cast<double>(sorted.size() - 1);
    return sorted[static_cast<std::size_t>(std::lround(share * last))];
}

double CharacterMs(const SLineCheckPlan& plan) { return 10.0 * 1000.0 / plan.baudRate; }

// The reads of the line, each when it came and how many bytes it brought, and which read brought
// each byte.
struct SReads {
    std::vector<SLineArrival> reads;
    std::vector<std::size_t> readOf;
};

SReads ReadsOf(const std::vector<SLineArrival>& arrivals, std::size_t bytes) {
    SReads r;
    for (const SLineArrival& a : arrivals) {
        if (!r.reads.empty() && a.ms - r.reads.back().ms < kSameReadMs) {
            r.reads.back().ms = a.ms;
            r.reads.back().count += a.count;
        } else {
            r.reads.push_back(a);
        }
        r.readOf.insert(r.readOf.end(), a.count, r.reads.size() - 1);
    }
    if (r.reads.empty()) r.reads.push_back({0, 0});
    r.readOf.resize(bytes, r.reads.size() - 1);
    return r;
}

// How the silence before the block that starts at byte `first` shows in the reads, and how long
// it was as they allow.
void TimeSilence(SLineCheckResult& result, const SReads& r, const std::vector<double>& done,
                 std::size_t first, double characterMs, double pauseMs,
                 std::vector<double>& silences) {
    const std::size_t read = r.readOf[first];
    if (read != r.readOf[first - 1]) {
        // The next block's first byte began a character before it was whole.
        silences.push_back(std::max(0.0, done[first] - characterMs - done[first - 1]));
        return;
    }
    // Both sides of the silence came in one read: the line carried that read's bytes and the
    // silence since the read before it, and no longer.
    const double gathered =
        r.reads[read].ms - (read > 0 ? r.reads[read - 1].ms : 0.0) + kLineTimingResolutionMs;
    const double most = gathered - characterMs * static_cast<double>(r.reads[read].count);
    if (most < pauseMs) {
        ++result.merged;
        result.mergedMaxMs = std::max(result.mergedMaxMs, std::max(0.0, most));
        silences.push_back(std::max(0.0, most));
    } else {
        ++result.untimed;
        result.untimedReadMs = std::max(result.untimedReadMs, gathered);
    }
}

}  // namespace

bool SLineCheckResult::PausesKept(const SLineCheckPlan& plan) const {
    return pauses > 0 && BlocksTimed() && merged == 0 &&
           silenceMs + kLineTimingResolutionMs >= plan.pauseMs;
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
    const double characterMs = CharacterMs(plan);
    // A changed byte stays where it was sent; after one lost or added, no block is: only the
    // blocks before it are timed.
    const std::size_t timed =
        received.size() == sent.size() ? received.size() : result.firstDifference;
    const std::size_t blocks = timed / size;
    const std::size_t receivedBlocks = received.size() / size;
    result.scheduleMs = static_cast<double>(receivedBlocks) *
                            (characterMs * static_cast<double>(size) + plan.pauseMs) -
                        plan.pauseMs;
    if (blocks < 2) return result;

    // When each byte came back: the time of the read that brought it; and the latest it can
    // have become whole on the line, since the bytes after it in the same read, or in later
    // ones, took a character each.
    const SReads r = ReadsOf(arrivals, timed);
    std::vector<double> at(timed);
    std::vector<double> done(timed);
    for (std::size_t i = timed; i-- > 0;) {
        at[i] = r.reads[r.readOf[i]].ms;
        done[i] = i + 1 < timed ? std::min(at[i], done[i + 1] - characterMs) : at[i];
    }

    std::vector<double> silences;
    double carried = 0;
    for (std::size_t block = 0; block < blocks; ++block) {
        const std::size_t first = block * size;
        carried += at[first + size - 1] - at[first] + characterMs;
        if (block > 0) TimeSilence(result, r, done, first, characterMs, plan.pauseMs, silences);
    }
    result.pauses = blocks - 1;
    const double count = static_cast<double>(blocks);
    result.blockMs = carried / count;
    result.periodMs = (at[(blocks - 1) * size] - at[0]) / (count - 1);
    result.runMs = at[blocks * size - 1] - at[0] + characterMs;
    // The period is timed across the whole run, so a read's delay counts once, not once a
    // block. A block takes its bytes' time on the line whatever the reads saw of it: read back
    // in packets it looks longer, and from a line with no rate of its own (a pseudo-terminal)
    // it looks shorter, while the sender's write still lasted that time.
    result.silenceMs = std::max(0.0, result.periodMs - characterMs * static_cast<double>(size));
    if (!silences.empty()) {
        std::sort(silences.begin(), silences.end());
        result.minSilenceMs = silences.front();
        result.medianSilenceMs = Percentile(silences, 0.5);
        result.p95SilenceMs = Percentile(silences, 0.95);
    }
    return result;
}

namespace {

std::string BytesLine(const SLineCheckResult& result) {
    if (result.BytesIntact())
        return Format("Sent %zu bytes; all %zu came back unchanged.\n", result.sent,
                      result.received);
    if (result.received == result.sent)
        return Format(
            "Sent %zu bytes; %zu came back, %zu of them changed (the first at byte %zu).\n",
            result.sent, result.received, result.changed, result.firstDifference);
    if (result.received > result.sent)
        return Format("Sent %zu bytes; %zu came back: %zu more than were sent.\n", result.sent,
                      result.received, result.received - result.sent);
    // Bytes held back until the check stopped listening are not known to be lost.
    if (!result.BlocksTimed())
        return Format(
            "Sent %zu bytes; %zu came back before the line went quiet (the first "
            "difference at byte %zu).\n",
            result.sent, result.received, result.firstDifference);
    return Format("Sent %zu bytes; %zu came back: %zu lost (the first difference at byte %zu).\n",
                  result.sent, result.received, result.sent - result.received,
                  result.firstDifference);
}

std::string PausesText(const SLineCheckResult& result, const SLineCheckPlan& plan) {
    // Reads that each brought several blocks time none of them: no figure would mean anything.
    if (!result.BlocksTimed()) {
        return Format(
            "Blocks not timed: %zu of the %zu silences fell inside reads that brought several\n"
            "  blocks at once (one gathered for %.0f ms), so the reads cannot show whether the\n"
            "  line kept them. Read the bytes back on an adapter that hands them over sooner (a\n"
            "  second adapter crossed to this one) and check again.\n",
            result.untimed, result.pauses, result.untimedReadMs);
    }
    const double lineMs = CharacterMs(plan) * plan.blockSize;
    std::string text = Format(
        "Block period as read back: %.1f ms (a block is %.1f ms on the line at %u Bd, "
        "%.1f ms as read back, then %u ms of pause).\n"
        "The whole run: %.2f s from the first byte back to the last; paced to %.2f s.\n"
        "Silence after each block: %.1f ms on average (the period less the block's line time).\n"
        "Single silences, as the reads allow: min %.1f ms, median %.1f ms, 95th percentile\n"
        "  %.1f ms (each read is timed to %.0f ms; a driver that hands bytes over in packets\n"
        "  moves it by up to a packet's interval).\n",
        result.periodMs, lineMs, plan.baudRate, result.blockMs, plan.pauseMs, result.runMs / 1000.0,
        result.scheduleMs / 1000.0, result.silenceMs, result.minSilenceMs, result.medianSilenceMs,
        result.p95SilenceMs, kLineTimingResolutionMs);
    if (result.untimed != 0) {
        text += Format(
            "%zu of the %zu silences fell inside reads that came late (one gathered for %.0f ms)\n"
            "  and are not among the single silences.\n",
            result.untimed, result.pauses, result.untimedReadMs);
    }
    if (result.merged != 0) {
        text += Format(
            "%zu of the %zu blocks came back run into the next one, at most %.1f ms apart: the\n"
            "  adapter or its driver runs blocks together, which a load cannot afford.\n",
            result.merged, result.pauses, result.mergedMaxMs);
    } else if (!result.PausesKept(plan)) {
        text += Format(
            "The line carried less than %u ms of silence after each block: the adapter or\n"
            "  its driver runs the blocks together, which a load cannot afford.\n",
            plan.pauseMs);
    }
    return text;
}

}  // namespace

std::string LineCheckReport(const SLineCheckResult& result, const SLineCheckPlan& plan,
                            const std::string& where) {
    if (result.received == 0) {
        return Format("Sent %zu bytes on %s; nothing came back.\n", result.sent, where.c_str()) +
               "  Join the port's TX and RX (a loopback plug, or a second adapter crossed to it)\n"
               "  and check again. Line check failed.\n";
    }
    std::string text = BytesLine(result);
    if (result.pauses > 0) text += PausesText(result, plan);
    if (result.writeFailed) text += "Not every block could be sent.\n";
    if (result.Passed(plan))
        return text + "Line check passed: " + where + " carries a load as it is sent.\n";
    if (!result.writeFailed && !result.BlocksTimed())
        return text + "Line check failed: the blocks could not be timed.\n";
    return text + "Line check failed.\n";
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

// The steady clock and the system's waits; each side of the line holds what its short waits need.
class CSystemLineCheckTime final : public ILineCheckTime {
public:
    double NowMs() override {
        return std::chrono::duration<double, std::milli>(Clock::now() - start_).count();
    }
    void WaitUntilMs(double ms) override {
        SleepUntil(start_ + std::chrono::duration_cast<Clock::duration>(
                                std::chrono::duration<double, std::milli>(ms)));
    }
    void SideBySide(const std::function<void()>& writer,
                    const std::function<void()>& reader) override {
        std::thread side([&writer] {
            const CPacingScope pacing;
            writer();
        });
        {
            const CPacingScope pacing;
            reader();
        }
        side.join();
    }

private:
    const Clock::time_point start_ = Clock::now();
};

}  // namespace

ILineCheckTime& SystemLineCheckTime() {
    static CSystemLineCheckTime time;
    return time;
}

SLineCheckRun RunLineCheck(ISerialDevice& sender, int senderPort, ISerialDevice* receiver,
                           int receiverPort, const SLineCheckPlan& plan,
                           std::span<const std::uint8_t> bytes, ILineCheckTime& time) {
    SLineCheckRun run;
    if (!OpenEnd(sender, senderPort, plan.baudRate, run.openError)) return run;
    if (receiver != nullptr && !OpenEnd(*receiver, receiverPort, plan.baudRate, run.openError)) {
        run.failedEnd = 1;
        sender.Close();
        return run;
    }
    run.opened = true;
    ISerialDevice& device = receiver != nullptr ? *receiver : sender;
    char buffer[ISerialDevice::kBufferSize];
    while (device.Read(buffer, sizeof buffer) > 0) {
        // Whatever the line held before the check is no part of it.
    }

    std::atomic<int> written{0};
    std::atomic<bool> writing{true};
    const double start = time.NowMs();
    auto writer = [&] {
        // The pauses wait as a load's do: from the end of the block's write.
        const auto size = static_cast<std::size_t>(plan.blockSize);
        for (std::size_t from = 0; from + size <= bytes.size(); from += size) {
            if (!sender.Write(bytes.data() + from, plan.blockSize)) break;
            written.fetch_add(1);
            time.WaitUntilMs(time.NowMs() + plan.pauseMs);
        }
        writing.store(false);
    };
    auto reader = [&] {
        double heard = time.NowMs();
        for (;;) {
            const int n = device.Read(buffer, sizeof buffer);
            const double now = time.NowMs();
            if (n > 0) {
                run.arrivals.push_back({now - start, static_cast<std::size_t>(n)});
                run.received.insert(run.received.end(), buffer, buffer + n);
            }
            const bool stillWriting = writing.load();
            const auto due = static_cast<std::size_t>(written.load()) * plan.blockSize;
            if (!stillWriting && run.received.size() >= due) break;
            if (n > 0 || stillWriting) {
                heard = now;
            } else if (now - heard >= kQuietEndMs) {
                break;
            }
            if (n <= 0) time.WaitUntilMs(now + kLineTimingResolutionMs);
        }
    };
    time.SideBySide(writer, reader);
    run.blocksWritten = written.load();
    sender.Close();
    if (receiver != nullptr) receiver->Close();
    return run;
}

int TellLineCheck(const SLineCheckRun& run, const SLineCheckPlan& plan,
                  std::span<const std::uint8_t> bytes, const std::vector<SLineCheckEnd>& ends,
                  std::ostream& out, std::ostream& err) {
    if (!run.opened) {
        const SLineCheckEnd& failed = ends.at(static_cast<std::size_t>(run.failedEnd));
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
        err << ExplainOpenError(error, failed.label, failed.comPort, GatherOpenErrorFacts(error));
        return kExitPortFailed;
    }
    const SLineCheckEnd& sending = ends.front();
    if (run.blocksWritten < plan.blocks) {
        OutputDebugStringA(Format("morvane-cli: line check: writing to %s failed after %d of %d "
                                  "blocks\n",
                                  sending.where.c_str(), run.blocksWritten, plan.blocks)
                               .c_str());
        err << Format("morvane-cli: writing to %s failed after %d of %d blocks.\n",
                      sending.where.c_str(), run.blocksWritten, plan.blocks);
    }
    const std::span<const std::uint8_t> sent =
        bytes.first(static_cast<std::size_t>(run.blocksWritten) * plan.blockSize);
    SLineCheckResult result = AnalyseLineCheck(plan, sent, run.received, run.arrivals);
    result.writeFailed = run.blocksWritten < plan.blocks;
    const std::string where =
        ends.size() > 1 ? sending.where + " to " + ends.back().where : sending.where;
    out << LineCheckReport(result, plan, where);
    return result.Passed(plan) ? kExitLoaded : kExitLoadFailed;
}

namespace {

// One end of the line: the port named, its device, and how the report names it.
struct SLineEnd {
    LoadRequest port;
    SLineCheckEnd name;
    std::unique_ptr<ISerialDevice> device;
};

SLineEnd EndAt(int comPort, const std::string& path) {
    SLineEnd end;
    end.port.comPort = comPort;
    end.port.portPath = path;
    end.name.label = PortLabelOf(end.port);
    end.name.comPort = comPort;
    end.name.devicePath = comPort != 0 ? ComPortDevicePath(comPort) : path;
    end.name.where = PortWhere(end.name.label, end.name.devicePath);
    end.device = MakePortDevice(end.port);
    return end;
}

}  // namespace

int LineCheckCommand(const CliOptions& options, std::ostream& out, std::ostream& err) {
    std::vector<SLineEnd> ends;
    ends.push_back(EndAt(options.comPort, options.portPath));
    if (options.comPorts.size() > 1) ends.push_back(EndAt(options.comPorts[1], ""));
    std::vector<SLineCheckEnd> names;
    names.reserve(ends.size());
    for (const SLineEnd& end : ends) names.push_back(end.name);
    const std::string where =
        names.size() > 1 ? names[0].where + " to " + names[1].where : names[0].where;

    const SLineCheckPlan plan;
    const std::vector<std::uint8_t> bytes = LineCheckBytes(plan);
    out << Format("Line check on %s: %d blocks of %d bytes at %u Bd, %u ms after each block.\n",
                  where.c_str(), plan.blocks, plan.blockSize, plan.baudRate, plan.pauseMs)
        << std::flush;
    // The reading end's driver is what times the bytes coming back.
    const CLowLatencyRequest lowLatency(names.back().devicePath);
    if (!lowLatency.Said().empty()) out << lowLatency.Said() << "\n" << std::flush;
    // A device bound to a path opens that path whatever number it is given.
    const int first = options.comPort != 0 ? options.comPort : 1;
    const SLineCheckRun run = ends.size() > 1
                                  ? RunLineCheck(*ends[0].device, first, ends[1].device.get(),
                                                 ends[1].port.comPort, plan, bytes)
                                  : RunLineCheck(*ends[0].device, first, nullptr, 0, plan, bytes);
    return TellLineCheck(run, plan, bytes, names, out, err);
}

}  // namespace morvane
