#include "session/load_session.h"

#include <utility>

#include "loader/loader_w6.h"
#include "platform/pacing.h"
#include "platform/text.h"
#include "record/loader_status.h"
#include "serial/com_port_path.h"
#include "serial/comm_dev2.h"

namespace morvane {

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

void CLoadSession::TakeLoadEnd(const CLoader* loader) {
    outcome_.status = state_->GetStatus();
    outcome_.answered = state_->GetReplySeen();
    if (loader != nullptr) outcome_.bytesHeard = loader->BytesHeard();
    outcome_.sentBytes = state_->GetSentBytes();
    outcome_.totalBytes = state_->GetTotalBytes();
    loadEndTaken_ = true;
}

void CLoadSession::Run(CLoaderW6& loader) {
    if (request_.probeOnly) {
        loader.Probe();
        TakeLoadEnd(&loader);
        outcome_.detection = Detected(loader, CLoader::kDetectAttempts);
        return;
    }
    loader.Run();
    // The load's outcome; a verification after it is reported on its own.
    TakeLoadEnd(&loader);
    if (request_.verify && outcome_.status == STATUS_FIRMWARE_COMPLETE) {
        outcome_.verifyRan = true;
        loader.DetectAfterRestart();
        outcome_.detection = Detected(loader, CLoaderW6::kVerifyAttempts);
    }
}

void CLoadSession::Work() {
    const CPacingScope pacing;
    // A PC that sleeps or shuts down mid-load leaves the receiver without firmware. The lock is
    // taken and let go on this thread: Windows ties it to the thread that asked.
    IPowerService& power = deps_.power != nullptr ? *deps_.power : SystemPowerService();
    CAwakeLock awake = request_.probeOnly ? CAwakeLock() : power.HoldAwake(deps_.awakeReason);
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
    loaderDeps.prompt = deps_.prompt != nullptr ? deps_.prompt : &prompt_;
    loaderDeps.rates = deps_.rates != nullptr ? deps_.rates : &ownRates_;
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
    if (outcome_.status == STATUS_INVALID_PORT) {
        if (outcome_.openError.devicePath.empty()) outcome_.openError.devicePath = devicePath_;
        // The system's facts (owning group, holders) may take a look through /proc: here, on the
        // worker, rather than on a window's thread.
        outcome_.openFacts = GatherOpenErrorFacts(outcome_.openError);
    }
    awake.Release();
    state_->SetLoadRunning(false);
    if (deps_.onEnded) deps_.onEnded(outcome_);
    done_.store(true);
}

}  // namespace morvane
