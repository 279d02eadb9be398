#include "cli/load_session.h"

#include "cli/cli_platform.h"
#include "cli/trace_comm_dev.h"
#include "loader/loader_w6.h"
#include "platform/text.h"
#include "record/loader_status.h"
#include "serial/comm_dev2.h"

namespace morvane {

void CCancellableWaits::Cancel() { cancelled_.Raise(); }

bool CCancellableWaits::Cancelled() const { return cancelled_.Raised(); }

void CCancellableWaits::WaitFor(unsigned ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    if (cancelled_.WaitUntil(deadline)) throw LoadCancelled();
}

void CQueuedPrompt::ShowMessage(const CString& text) {
    const std::lock_guard<std::mutex> guard(lock_);
    texts_.push_back(text);
}

std::vector<CString> CQueuedPrompt::Take() {
    const std::lock_guard<std::mutex> guard(lock_);
    std::vector<CString> out;
    out.swap(texts_);
    return out;
}

CInterruptPolicy::Action CInterruptPolicy::OnInterrupt(std::chrono::steady_clock::time_point now) {
    if (stopping_) return Action::ForceExit;
    if (warnedAt_ && now - *warnedAt_ <= kGrace) {
        stopping_ = true;
        return Action::Stop;
    }
    warnedAt_ = now;
    return Action::Warn;
}

CLoadSession::CLoadSession(const LoadRequest& request, std::ostream& traceOut,
                           std::unique_ptr<ISerialDevice> device)
    : request_(request), traceOut_(traceOut), device_(std::move(device)) {}

CLoadSession::~CLoadSession() {
    if (worker_.joinable()) {
        waits_.Cancel();
        worker_.join();
    }
}

std::string CLoadSession::PortLabel() const {
    return request_.comPort != 0 ? Format("COM%d", request_.comPort) : request_.portPath;
}

void CLoadSession::Start() {
    devicePath_ = request_.comPort != 0 ? ComPortDevicePath(request_.comPort) : request_.portPath;
    state_.Reset();
    // A device bound to a path opens that path whatever number it is given.
    state_.SetComPort(request_.comPort != 0 ? request_.comPort : 1);
    state_.SetLoadRunning(true);
    worker_ = std::thread([this] { Work(); });
}

DetectionFacts CLoadSession::Detected(const CLoader& loader, int attempts) const {
    DetectionFacts facts;
    facts.answered = state_.GetStatus() == STATUS_CONNECTED;
    facts.attempt = loader.AttemptsTaken();
    facts.attempts = attempts;
    facts.bytesHeard = loader.BytesHeard();
    if (state_.GetFirmwareDetected()) facts.firmware = TrimVersion(state_.GetFirmwareText());
    if (state_.GetLoaderVersionSeen()) facts.bootLoader = state_.GetLoaderVersion();
    return facts;
}

const LoadOutcome& CLoadSession::Join() {
    if (worker_.joinable()) worker_.join();
    return outcome_;
}

void CLoadSession::Work() {
    PreparePacingThread();
    std::unique_ptr<ISerialDevice> device = std::move(device_);
    if (!device) {
        if (request_.comPort != 0) {
            device = std::make_unique<CCommDev2>();
        } else {
            device = std::make_unique<CPathCommDev>(request_.portPath);
        }
    }
    if (request_.trace)
        device = std::make_unique<CTraceCommDev>(std::move(device), PortLabel(), traceOut_);

    LoaderDeps deps;
    deps.device = std::move(device);
    deps.waits = &waits_;
    deps.prompt = &prompt_;
    deps.rates = &rates_;
    bool statusTaken = false;
    try {
        CLoaderW6 loader(&state_, std::move(deps));
        try {
            if (request_.probeOnly) {
                loader.Probe();
                outcome_.detection = Detected(loader, CLoader::kDetectAttempts);
            } else {
                loader.Run();
                // The load's outcome; a verification after it is reported on its own.
                outcome_.status = state_.GetStatus();
                outcome_.answered = state_.GetReplySeen();
                outcome_.bytesHeard = loader.BytesHeard();
                statusTaken = true;
                if (request_.verify && outcome_.status == STATUS_FIRMWARE_COMPLETE) {
                    outcome_.verifyRan = true;
                    loader.DetectAfterRestart();
                    outcome_.detection = Detected(loader, CLoaderW6::kVerifyAttempts);
                }
            }
        } catch (const LoadCancelled&) {
            outcome_.cancelled = true;
        }
        outcome_.openError = loader.LastOpenError();
        if (!statusTaken) outcome_.bytesHeard = loader.BytesHeard();
    } catch (const LoadCancelled&) {
        outcome_.cancelled = true;
    } catch (const std::exception& e) {
        outcome_.failure = e.what();
    }
    if (!statusTaken) {
        outcome_.status = state_.GetStatus();
        outcome_.answered = state_.GetReplySeen();
    }
    state_.SetLoadRunning(false);
    done_.store(true);
}

std::string AdviceAfterLoad(const LoadOutcome& outcome, const std::string& portLabel,
                            const std::string& devicePath, std::uint32_t sentBytes,
                            std::uint32_t totalBytes) {
    const std::string where = devicePath.empty() || devicePath == portLabel
                                  ? portLabel
                                  : portLabel + " (" + devicePath + ")";
    if (outcome.status == STATUS_FIRMWARE_COMPLETE) return {};
    if (!outcome.answered) {
        if (outcome.status == STATUS_INVALID_PORT) return {};
        if (outcome.bytesHeard == 0) {
            return "Nothing at all came back on " + where +
                   ", at any rate.\n"
                   "  Check the cable, that the receiver is powered, and that this is the port its\n"
                   "  cable is on (morvane-cli --list); then run the load again.\n";
        }
        return Format("Bytes came back on %s (%zu of them), but never a valid answer from a W6.\n",
                      where.c_str(), outcome.bytesHeard) +
               "  The device on this port may not be the receiver, or it runs at a rate other than\n"
               "  the six tried, or it answers, but not as a Tundro W6 does. Check that this is the\n"
               "  receiver's port (morvane-cli --list) and that the receiver is a Tundro W6.\n";
    }
    switch (outcome.status) {
        case STATUS_INVALID_PORT:
            return "The receiver answered on " + where +
                   ", but the port could not be opened again for the\n"
                   "  transfer; nothing of the image was sent.\n";
        case STATUS_BLOCK_FAILED:
            return Format(
                       "The receiver answered, but the transfer broke off after %u of %u bytes: the receiver does not hold a whole image.\n",
                       sentBytes, totalBytes) +
                   "  Keep it powered, check the cable on " + where + " and run the load again.\n";
        case STATUS_IMAGE_NOT_FOUND:
            return "The firmware image this program carries could not be read; nothing was sent.\n";
        default:
            return Format(
                "The receiver answered, but the load ended without sending the whole image (%u of %u bytes).\n",
                sentBytes, totalBytes);
    }
}

}  // namespace morvane
