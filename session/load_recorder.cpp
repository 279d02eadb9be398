#include "session/load_recorder.h"

#include <algorithm>

#include "platform/debug.h"
#include "platform/sha256.h"
#include "platform/text.h"
#include "record/loader_status.h"
#include "res/firmware_image.h"
#include "serial/port_identity.h"
#include "session/system_log.h"

namespace morvane {

const std::string& CarriedImageSha256() {
    static const std::string digest = Sha256Hex(EmbeddedFirmwareImage());
    return digest;
}

std::optional<SUsbIdentity> UsbIdentityInPortList(const CArray<SSerInfo, SSerInfo&>& ports,
                                                  int comPort, const std::string& device) {
    for (const SSerInfo& p : ports) {
        const bool same =
            comPort != 0 ? ComNumberOf(p) == comPort
                         : !device.empty() && (p.devicePath == device || p.stableName == device);
        if (same) return p.isUsb ? std::optional<SUsbIdentity>(p.usb) : std::nullopt;
    }
    return std::nullopt;
}

CLoadRecorder::CLoadRecorder(SLoadLogTarget target, std::string program, SRecorderDeps deps)
    : target_(std::move(target)), deps_(std::move(deps)) {
    record_.program = std::move(program);
    if (!deps_.ports) {
        deps_.ports = [] {
            CArray<SSerInfo, SSerInfo&> ports;
            EnumerateComPorts(ports);
            return ports;
        };
    }
    if (!deps_.wallClock) deps_.wallClock = [] { return std::chrono::system_clock::now(); };
    if (!deps_.steadyClock) deps_.steadyClock = [] { return std::chrono::steady_clock::now(); };
}

void CLoadRecorder::Started(const std::string& port, const std::string& device, int comPort) {
    started_ = deps_.wallClock();
    startedSteady_ = deps_.steadyClock();
    record_.port = port;
    record_.device = device;
    if (!target_.enabled) return;
    CArray<SSerInfo, SSerInfo&> ports;
    try {
        ports = deps_.ports();
    } catch (const ComEnumError& e) {
        // The record then tells no adapter; the load goes on.
        OutputDebugStringA(("load record: " + port +
                            ": no USB identity, the ports could not be listed: " + e.what() + "\n")
                               .c_str());
        return;
    }
    record_.usb = UsbIdentityInPortList(ports, comPort, device);
    if (!record_.usb) {
        OutputDebugStringA(
            Format(
                "load record: %s: no USB identity, not listed as a USB port (%zu ports listed)\n",
                port.c_str(), ports.size())
                .c_str());
    }
}

std::optional<RecordError> CLoadRecorder::Finished(std::string_view result, std::int32_t status,
                                                   const std::string& firmwareBefore,
                                                   const std::string& firmwareAfter,
                                                   const SLoaderState& state) {
    if (!target_.enabled) return std::nullopt;
    // Measured on the steady clock: a clock set during the load does not make it last longer.
    // The end is the start plus that time, so a box left open does not move it either.
    const std::chrono::duration<double> took =
        std::max(deps_.steadyClock() - startedSteady_ - userWait_,
                 std::chrono::steady_clock::duration::zero());
    SLoadRecord r = record_;
    r.started = IsoUtc(started_);
    r.ended =
        IsoUtc(started_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(took));
    r.version = MORVANE_VERSION;
    r.host = HostName();
    r.firmwareBefore = firmwareBefore;
    r.firmwareAfter = firmwareAfter;
    r.result = result;
    const auto statusText = StatusText(status);
    r.status = statusText ? std::string(*statusText) : std::string();
    r.bytesSent = state.GetSentBytes();
    r.bytesTotal = state.GetTotalBytes();
    r.imageSha256 = CarriedImageSha256();
    r.durationSeconds = took.count();
    if (target_.systemLog) {
        const std::string unsent = SendToSystemLog(r);
        if (!unsent.empty()) OutputDebugStringA(("load record: " + unsent + "\n").c_str());
    }
    return AppendLoadRecord(target_, r);
}

}  // namespace morvane
