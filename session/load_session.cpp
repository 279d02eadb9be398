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
#include "serial/port_identity.h"
#include "session/load_recorder.h"

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
void SayFailures(const std::string& port, const LoadOutcome& o) {
    const auto say = [&port](const std::string& what) {
        OutputDebugStringA(("morvane: " + port + ": " + what + "\n").c_str());
    };
    switch (o.end) {
        case LoadEnd::Crashed: say("the load failed: " + o.failure); break;
        case LoadEnd::OpenFailed:
        case LoadEnd::NotVerifiedPortRefused:
            say(Format("%s%s would not open: %s (error %d)",
                       o.end == LoadEnd::OpenFailed ? "" : "after the restart, ",
                       o.openError.devicePath.empty() ? "a port of no device"
                                                      : o.openError.devicePath.c_str(),
                       o.openError.osText.c_str(), o.openError.osError));
            break;
        case LoadEnd::ProbeGone:
        case LoadEnd::GoneInDetection:
        case LoadEnd::GoneBeforeImage:
        case LoadEnd::GoneInImage:
            say(Format("the port went away %s, after %u of %u bytes",
                       o.end == LoadEnd::GoneBeforeImage ? "before the image"
                       : o.end == LoadEnd::GoneInImage   ? "during the image"
                                                         : "during detection",
                       o.sentBytes, o.totalBytes));
            break;
        case LoadEnd::ProbeNotDetected:
        case LoadEnd::NotDetected:
        case LoadEnd::TransferFailed:
            say(Format("ended at status %d (%s), %zu bytes heard", o.status,
                       std::string(StatusText(o.status).value_or("")).c_str(),
                       o.detection.bytesHeard));
            break;
        case LoadEnd::NotVerifiedPortGone: say("not verified: its port did not come back"); break;
        case LoadEnd::NotVerifiedSilent: say("not verified: no answer after the restart"); break;
        case LoadEnd::NotVerifiedOther:
            say("not verified: it reports firmware '" + o.verification.firmware + "'");
            break;
        default: break;  // stopped by the user, or the receiver is as it should be
    }
    if (o.recordError) {
        say("the record of the load was not written: " + o.recordError->path + ": " +
            o.recordError->systemText);
    }
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
    return request.comPort != 0 ? ComPortName(request.comPort) : request.portPath;
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

LoadEnd LoadEndOf(const LoadRequest& request, const LoadOutcome& outcome) {
    using enum LoadEnd;
    // Whether the receiver still holds its firmware depends on how far the image went. The
    // transfer sets its total before the first block goes out, so no total means no byte left.
    if (outcome.cancelled) {
        if (outcome.totalBytes == 0) return StoppedBeforeImage;
        return outcome.sentBytes >= outcome.totalBytes ? StoppedAfterImage : StoppedInImage;
    }
    if (!outcome.failure.empty()) return Crashed;
    if (outcome.status == STATUS_INVALID_PORT) return OpenFailed;
    // The port opened, then stopped opening while the receiver was looked for: its device is no
    // longer there (an adapter pulled out, a receiver that left the USB bus).
    const bool goneInDetection = outcome.status == STATUS_DEVICE_NOT_DETECTED &&
                                 (outcome.portLost == PortLost::DuringDetection ||
                                  outcome.openError.kind == OpenErrorKind::NoSuchDevice);
    if (request.probeOnly) {
        if (goneInDetection) return ProbeGone;
        return outcome.detection.answered ? Found : ProbeNotDetected;
    }
    if (goneInDetection) return GoneInDetection;
    if (outcome.status == STATUS_NO_UPDATE_REQUIRED) return Skipped;
    if (outcome.portLost == PortLost::BeforeImage) return GoneBeforeImage;
    if (outcome.portLost == PortLost::DuringImage) return GoneInImage;
    if (outcome.status == STATUS_DEVICE_NOT_DETECTED) return NotDetected;
    if (outcome.status != STATUS_FIRMWARE_COMPLETE) return TransferFailed;
    if (!outcome.verifyRan) return Loaded;
    const DetectionFacts& restarted = outcome.verification;
    if (restarted.port == VerifyPort::Gone) return NotVerifiedPortGone;
    if (restarted.port == VerifyPort::Refused) return NotVerifiedPortRefused;
    if (!restarted.answered) return NotVerifiedSilent;
    return restarted.firmware == kFirmwareVersion ? Verified : NotVerifiedOther;
}

void CLoadSession::TakeLoadEnd(const CLoader* loader) {
    outcome_.status = state_->GetStatus();
    outcome_.detection.answered = state_->GetReplySeen();
    if (loader != nullptr) outcome_.detection.bytesHeard = loader->BytesHeard();
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
        outcome_.verification = Detected(loader, opened ? CLoaderW6::kVerifyAttempts : 0);
        if (!opened) {
            outcome_.verification.port = loader.PortAfterRestart() == CLoaderW6::RestartPort::Gone
                                             ? VerifyPort::Gone
                                             : VerifyPort::Refused;
        }
    }
}

std::unique_ptr<ISerialDevice> MakePortDevice(const LoadRequest& request) {
    if (request.comPort != 0) return std::make_unique<CCommDev2>();
    return std::make_unique<CPathCommDev>(request.portPath);
}

CAwakeLock CLoadSession::HoldAwake() const {
    // A probe sends nothing that sleep could cut off.
    if (request_.probeOnly) return {};
    IPowerService& power = deps_.power != nullptr ? *deps_.power : SystemPowerService();
    return power.HoldAwake(deps_.awakeReason);
}

LoaderDeps CLoadSession::LoaderDepsFor(IPrompt& prompt) {
    LoaderDeps loaderDeps;
    loaderDeps.device = deps_.device ? std::move(deps_.device) : MakePortDevice(request_);
    if (deps_.decorate) loaderDeps.device = deps_.decorate(std::move(loaderDeps.device));
    loaderDeps.waits = deps_.waits != nullptr ? deps_.waits : &waits_;
    loaderDeps.prompt = &prompt;
    loaderDeps.rates = deps_.rates != nullptr ? deps_.rates : &ownRates_;
    return loaderDeps;
}

void CLoadSession::TakeThrown() {
    try {
        throw;
    } catch (const LoadCancelled&) {
        outcome_.cancelled = true;
    } catch (const std::exception& e) {
        outcome_.failure = e.what();
    } catch (...) {
        // The program must get its port and its window back whatever the load threw.
        outcome_.failure = "an unknown error";
    }
}

void CLoadSession::GatherOpenFacts() {
    if (outcome_.status != STATUS_INVALID_PORT && outcome_.verification.port != VerifyPort::Refused)
        return;
    if (outcome_.openError.devicePath.empty()) outcome_.openError.devicePath = devicePath_;
    // The system's facts (owning group, holders) may take a look through /proc: here, on the
    // worker, rather than on a window's thread.
    outcome_.openFacts = GatherOpenErrorFacts(outcome_.openError);
}

void CLoadSession::Work() {
    const CPacingScope pacing;
    // A PC that sleeps or shuts down mid-load leaves the receiver without firmware. The lock is
    // taken and let go on this thread: Windows ties it to the thread that asked.
    CAwakeLock awake = HoldAwake();
    // Every run leaves its record, whatever ends it; the port's identity is read before the
    // load can change it (an adapter that re-enumerates when the receiver restarts).
    CLoadRecorder recorder(request_.log, request_.program);
    recorder.Started(PortLabel(), devicePath_, request_.comPort);
    CUserWaitPrompt prompt(deps_.prompt != nullptr ? *deps_.prompt : prompt_, recorder);
    std::unique_ptr<CLoaderW6> loader;
    try {
        LoaderDeps loaderDeps = LoaderDepsFor(prompt);
        loader = deps_.makeLoader ? deps_.makeLoader(state_, std::move(loaderDeps))
                                  : std::make_unique<CLoaderW6>(state_, std::move(loaderDeps));
        Run(*loader);
    } catch (...) {
        TakeThrown();
    }
    // A load cut short ended where it stood then.
    if (!loadEndTaken_) TakeLoadEnd(loader.get());
    if (loader) outcome_.openError = loader->LastOpenError();
    loader.reset();  // the port closes
    GatherOpenFacts();
    awake.Release();
    if (!outcome_.verifyRan) outcome_.firmwareBefore = FirmwareNamed();
    outcome_.end = LoadEndOf(request_, outcome_);
    outcome_.recordError = recorder.Finished(
        LoadEndRowOf(outcome_.end).record, outcome_.status, outcome_.firmwareBefore,
        outcome_.verifyRan ? outcome_.verification.firmware : std::string(), *state_);
    SayFailures(PortLabel(), outcome_);
    state_->SetLoadRunning(false);
    if (deps_.onEnded) deps_.onEnded(outcome_);
    done_.store(true);
}

}  // namespace morvane
