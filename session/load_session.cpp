#include "session/load_session.h"

#include <utility>

#include "loader/loader_w6.h"
#include "platform/debug.h"
#include "platform/pacing.h"
#include "platform/text.h"
#include "record/loader_status.h"
#include "res/firmware_image.h"
#include "serial/com_port_path.h"
#include "serial/comm_dev2.h"

namespace morvane {
namespace {

// The loader's boxes as the load's record sees them: the load stands still while one waits for
// the user (the window's "Load Completed" may stand open for minutes), and that time is none of
// the load's.
class CUserWaitPrompt final : public IPrompt {
public:
    CUserWaitPrompt(IPrompt& prompt, CLoadRecorder& recorder)
        : prompt_(prompt), recorder_(recorder) {}
    void ShowMessage(const CString& text) override {
        const auto shown = std::chrono::steady_clock::now();
        prompt_.ShowMessage(text);
        recorder_.WaitedOnUser(std::chrono::steady_clock::now() - shown);
    }

private:
    IPrompt& prompt_;
    CLoadRecorder& recorder_;
};

// Each way a run fails, one line on the debug channel with what the system said: the user is
// told what to do, and this is what is left behind to tell what happened.
void SayFailures(const std::string& port, bool probeOnly, const LoadOutcome& o) {
    const auto say = [&port](const std::string& what) {
        OutputDebugStringA(("morvane: " + port + ": " + what + "\n").c_str());
    };
    const bool openFailed = o.status == STATUS_INVALID_PORT;
    if (!o.failure.empty()) {
        say("the load failed: " + o.failure);
    } else if (openFailed || o.detection.port == VerifyPort::Refused) {
        say(Format(
            "%s%s would not open: %s (error %d)", openFailed ? "" : "after the restart, ",
            o.openError.devicePath.empty() ? "a port of no device" : o.openError.devicePath.c_str(),
            o.openError.osText.c_str(), o.openError.osError));
    } else if (o.portLost != PortLost::No) {
        say(Format("the port went away %s, after %u of %u bytes",
                   o.portLost == PortLost::DuringDetection ? "during detection"
                   : o.portLost == PortLost::BeforeImage   ? "before the image"
                                                           : "during the image",
                   o.sentBytes, o.totalBytes));
    } else if (!o.cancelled && (probeOnly ? !o.detection.answered
                                          : o.status != STATUS_FIRMWARE_COMPLETE &&
                                                o.status != STATUS_NO_UPDATE_REQUIRED)) {
        say(Format("ended at status %d (%s), %zu bytes heard", o.status,
                   std::string(StatusText(o.status).value_or("")).c_str(), o.bytesHeard));
    } else if (o.detection.port == VerifyPort::Gone) {
        say("not verified: its port did not come back");
    } else if (o.verifyRan && !VerifyVerdict(o.detection, port, kFirmwareVersion).good) {
        say(o.detection.answered
                ? "not verified: it reports firmware '" + o.detection.firmware + "'"
                : "not verified: no answer after the restart");
    }
    if (!o.recordError.empty()) say("the record of the load was not written: " + o.recordError);
}

}  // namespace

void CCancellableWaits::Cancel() { cancelled_.Raise(); }

bool CCancellableWaits::Cancelled() const { return cancelled_.Raised(); }

void CCancellableWaits::WaitFor(unsigned ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    if (cancelled_.WaitUntil(deadline)) throw LoadCancelled();
}

void CQueuedPrompt::ShowMessage(const CString& text) {
    const CMutexLock guard(lock_);
    texts_.push_back(text);
}

std::vector<CString> CQueuedPrompt::Take() {
    const CMutexLock guard(lock_);
    std::vector<CString> out;
    out.swap(texts_);
    return out;
}

CLoadSession::CLoadSession(LoadRequest request, SessionDeps deps)
    : request_(std::move(request)),
      deps_(std::move(deps)),
      state_(deps_.state != nullptr ? deps_.state : &ownState_) {}

CLoadSession::~CLoadSession() {
    if (worker_.joinable()) {
        waits_.Cancel();
        worker_.join();
    }
}

std::string PortLabelOf(const LoadRequest& request) {
    return request.comPort != 0 ? Format("COM%d", request.comPort) : request.portPath;
}

std::string CLoadSession::PortLabel() const { return PortLabelOf(request_); }

void CLoadSession::Start() {
    devicePath_ = request_.comPort != 0 ? ComPortDevicePath(request_.comPort) : request_.portPath;
    state_->Reset();
    // A device bound to a path opens that path whatever number it is given.
    state_->SetComPort(request_.comPort != 0 ? request_.comPort : 1);
    state_->SetLoadRunning(true);
    worker_ = std::thread([this] { Work(); });
}

const LoadOutcome& CLoadSession::Join() {
    if (worker_.joinable()) worker_.join();
    return outcome_;
}

DetectionFacts CLoadSession::Detected(const CLoader& loader, int attempts) const {
    DetectionFacts facts;
    facts.answered = state_->GetStatus() == STATUS_CONNECTED;
    facts.attempt = loader.AttemptsTaken();
    facts.attempts = attempts;
    facts.bytesHeard = loader.BytesHeard();
    if (state_->GetFirmwareDetected()) facts.firmware = TrimVersion(state_->GetFirmwareText());
    if (state_->GetLoaderVersionSeen()) facts.bootLoader = state_->GetLoaderVersion();
    return facts;
}

// The text, not the flag: the load lowers the flag before the transfer (the window then stops
// showing the version), and the text stays until a verification clears it.
std::string CLoadSession::FirmwareNamed() const { return TrimVersion(state_->GetFirmwareText()); }

SRunEnd RunEndOf(const LoadRequest& request, const LoadOutcome& outcome) {
    SRunEnd end;
    end.probeOnly = request.probeOnly;
    end.cancelled = outcome.cancelled;
    // A load whose port went away failed, whenever it went: nothing says the receiver is as it was.
    end.failed =
        !outcome.failure.empty() || (!request.probeOnly && outcome.portLost != PortLost::No);
    end.status = outcome.status;
    end.answered = outcome.detection.answered;
    end.verifyRan = outcome.verifyRan;
    end.verified = outcome.verifyRan &&
                   VerifyVerdict(outcome.detection, PortLabelOf(request), kFirmwareVersion).good;
    return end;
}

void CLoadSession::TakeLoadEnd(const CLoader* loader) {
    outcome_.status = state_->GetStatus();
    outcome_.answered = state_->GetReplySeen();
    if (loader != nullptr) outcome_.bytesHeard = loader->BytesHeard();
    outcome_.sentBytes = state_->GetSentBytes();
    outcome_.totalBytes = state_->GetTotalBytes();
    if (loader != nullptr && loader->PortWentAway()) {
        outcome_.portLost = outcome_.status == STATUS_DEVICE_NOT_DETECTED
                                ? PortLost::DuringDetection
                            : outcome_.totalBytes == 0 ? PortLost::BeforeImage
                                                       : PortLost::DuringImage;
    }
    loadEndTaken_ = true;
}

void CLoadSession::Run(CLoaderW6& loader) {
    if (request_.probeOnly) {
        loader.Probe();
        TakeLoadEnd(&loader);
        outcome_.detection = Detected(loader, CLoader::kDetectAttempts);
        return;
    }
    loader.SkipCurrent(request_.skipCurrent);
    loader.Run();
    // The load's outcome; a verification after it is reported on its own.
    TakeLoadEnd(&loader);
    if (request_.verify && outcome_.status == STATUS_FIRMWARE_COMPLETE) {
        // The record is about to hear the new firmware's name.
        outcome_.firmwareBefore = FirmwareNamed();
        outcome_.verifyRan = true;
        loader.DetectAfterRestart();
        const bool opened = state_->GetStatus() != STATUS_INVALID_PORT;
        outcome_.detection = Detected(loader, opened ? CLoaderW6::kVerifyAttempts : 0);
        if (!opened) {
            outcome_.detection.port = loader.PortAfterRestart() == CLoaderW6::RestartPort::Gone
                                          ? VerifyPort::Gone
                                          : VerifyPort::Refused;
        }
    }
}

void CLoadSession::Work() {
    const CPacingScope pacing;
    // A PC that sleeps or shuts down mid-load leaves the receiver without firmware. The lock is
    // taken and let go on this thread: Windows ties it to the thread that asked.
    IPowerService& power = deps_.power != nullptr ? *deps_.power : SystemPowerService();
    CAwakeLock awake = request_.probeOnly ? CAwakeLock() : power.HoldAwake(deps_.awakeReason);
    // Every run leaves its record, whatever ends it; the port's identity is read before the
    // load can change it (an adapter that re-enumerates when the receiver restarts).
    CLoadRecorder recorder(request_.log, request_.program);
    recorder.Started(PortLabel(), devicePath_, request_.comPort);
    std::unique_ptr<ISerialDevice> device = std::move(deps_.device);
    if (!device) {
        if (request_.comPort != 0) {
            device = std::make_unique<CCommDev2>();
        } else {
            device = std::make_unique<CPathCommDev>(request_.portPath);
        }
    }
    if (deps_.decorate) device = deps_.decorate(std::move(device));

    LoaderDeps loaderDeps;
    loaderDeps.device = std::move(device);
    loaderDeps.waits = deps_.waits != nullptr ? deps_.waits : &waits_;
    CUserWaitPrompt prompt(deps_.prompt != nullptr ? *deps_.prompt : prompt_, recorder);
    loaderDeps.prompt = &prompt;
    loaderDeps.rates = deps_.rates != nullptr   ? deps_.rates
                       : deps_.programWideRates ? &CLoader::ProgramWideRates()
                                                : &ownRates_;
    try {
        std::unique_ptr<CLoaderW6> loader =
            deps_.makeLoader ? deps_.makeLoader(state_, std::move(loaderDeps))
                             : std::make_unique<CLoaderW6>(state_, std::move(loaderDeps));
        try {
            Run(*loader);
        } catch (const LoadCancelled&) {
            outcome_.cancelled = true;
        } catch (const std::exception& e) {
            outcome_.failure = e.what();
        }
        // A load cut short ended where it stood then.
        if (!loadEndTaken_) TakeLoadEnd(loader.get());
        outcome_.openError = loader->LastOpenError();
    } catch (const LoadCancelled&) {
        outcome_.cancelled = true;
    } catch (const std::exception& e) {
        outcome_.failure = e.what();
    } catch (...) {
        // The program must get its port and its window back whatever the load threw.
        outcome_.failure = "an unknown error";
    }
    if (!loadEndTaken_) TakeLoadEnd(nullptr);
    if (outcome_.status == STATUS_INVALID_PORT || outcome_.detection.port == VerifyPort::Refused) {
        if (outcome_.openError.devicePath.empty()) outcome_.openError.devicePath = devicePath_;
        // The system's facts (owning group, holders) may take a look through /proc: here, on the
        // worker, rather than on a window's thread.
        outcome_.openFacts = GatherOpenErrorFacts(outcome_.openError);
    }
    awake.Release();
    if (!outcome_.verifyRan) outcome_.firmwareBefore = FirmwareNamed();
    outcome_.recordError = recorder.Finished(
        RunEndOf(request_, outcome_), outcome_.firmwareBefore,
        outcome_.verifyRan ? outcome_.detection.firmware : std::string(), *state_);
    SayFailures(PortLabel(), request_.probeOnly, outcome_);
    state_->SetLoadRunning(false);
    if (deps_.onEnded) deps_.onEnded(outcome_);
    done_.store(true);
}

}  // namespace morvane
