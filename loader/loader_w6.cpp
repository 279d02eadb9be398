#include "loader/loader_w6.h"

#include "platform/text.h"
#include "record/loader_status.h"
#include "res/firmware_image.h"

namespace morvane {

CLoaderW6::CLoaderW6(SLoaderState* state, LoaderDeps deps) : CLoader(state, std::move(deps)) {
    state_->SetBaudRate(kWorkingRate);
    state_->SetBlockDelayMs(20);
}

CLoaderW6::~CLoaderW6() = default;

void CLoaderW6::SweepConnX() {
    for (std::int32_t rate = rates_.sweepRate.load(); rate != 0; rate = rates_.sweepRate.load()) {
        link_.Close();
        // A step whose port did not open keeps its time and sends nothing.
        const bool opened = link_.Open(state_->GetComPort(), static_cast<unsigned>(rate));
        // A port that went away is left to detection, which ends on it; the sweep goes on from
        // this rate next time.
        if (!opened && DeviceGone()) return;
        waits_.WaitPumping(500);
        if (rate == 9600 || rate == 19200) waits_.WaitPumping(500);
        if (opened) link_.WriteLine("$JCONN,X");
        waits_.WaitPumping(500);
        rates_.sweepRate.store(rate == kRates.back() ? 0 : NextRate(rate));
    }
}

bool CLoaderW6::OpenAndDetect() {
    if (!link_.Open(state_->GetComPort(), state_->GetBaudRate())) {
        state_->SetStatus(STATUS_INVALID_PORT);
        return false;
    }
    state_->SetStatus(STATUS_DETECTING_BAUD);
    state_->SetReplySeen(false);
    SweepConnX();

    if (!DetectWithinAttempts([this] { waits_.WaitPumping(300); })) {
        state_->SetStatus(STATUS_DEVICE_NOT_DETECTED);
        return false;
    }
    return true;
}

bool CLoaderW6::Probe() {
    const bool found = OpenAndDetect();
    if (found) state_->SetStatus(STATUS_CONNECTED);
    link_.Close();
    return found;
}

bool CLoaderW6::DetectAfterRestart() {
    state_->SetStatus(STATUS_REBOOTING);
    waits_.WaitPumping(kRestartWaitMs);
    // Only what the restarted receiver says counts, and only what this detection heard.
    state_->SetReplySeen(false);
    state_->SetFirmwareDetected(false);
    state_->SetFirmwareText("");
    state_->SetLoaderVersion("");
    state_->SetLoaderVersionSeen(false);
    attemptsTaken_ = 0;
    bytesHeard_ = 0;
    if (!OpenAfterRestart()) {
        state_->SetStatus(STATUS_INVALID_PORT);
        return false;
    }
    state_->SetStatus(STATUS_VERIFYING);
    const bool found = DetectWithinAttempts([this] { waits_.WaitPumping(300); }, kVerifyAttempts);
    state_->SetStatus(found ? STATUS_CONNECTED : STATUS_DEVICE_NOT_DETECTED);
    link_.Close();
    return found;
}

bool CLoaderW6::OpenAfterRestart() {
    bool wentAway = false;
    for (unsigned waited = 0;; waited += kPortPollMs) {
        // Gone is what the follower says, or what opening says where the follower cannot tell.
        const std::optional<int> port = follower_->Find();
        bool gone = !port;
        if (port) {
            state_->SetComPort(*port);
            if (link_.Open(*port, state_->GetBaudRate())) {
                restartPort_ = wentAway ? RestartPort::CameBack : RestartPort::Stayed;
                return true;
            }
            gone = link_.LastOpenError().kind == OpenErrorKind::NoSuchDevice;
        }
        wentAway = wentAway || gone;
        if (waited >= kPortReturnMs) {
            // A port that is there but refuses to open (a program that grabbed it as it came
            // back) is no port gone: the open error says why.
            restartPort_ =
                gone ? RestartPort::Gone : (wentAway ? RestartPort::CameBack : RestartPort::Stayed);
            return false;
        }
        waits_.WaitPumping(kPortPollMs);
    }
}

bool CLoaderW6::RunsCarriedFirmware() const {
    return state_->GetFirmwareDetected() &&
           TrimSpace(state_->GetFirmwareText()) == std::string_view(kFirmwareVersion);
}

void CLoaderW6::Run() {
    // When detection fails, the port stays open at the last probe rate until the loader goes.
    if (!OpenAndDetect()) return;
    if (skipCurrent_ && RunsCarriedFirmware()) {
        state_->SetStatus(STATUS_NO_UPDATE_REQUIRED);
        link_.Close();
        return;
    }
    // The port is surely there now; after the transfer the receiver restarts and may drop it.
    follower_->Remember(state_->GetComPort());
    // Everything from here on goes out at the working rate; if the port will not open again,
    // nothing of it would reach the receiver.
    if (!ReopenAtWorkingRate()) {
        state_->SetStatus(STATUS_INVALID_PORT);
        return;
    }
    state_->SetStatus(STATUS_CONNECTED);
    state_->SetStatus(STATUS_DETECTING_FIRMWARE);
    // A port that goes away before the image ends the load when it goes (PortWentAway), not
    // after the waits that are left: its writes fail at once, and the waits watch the line.
    const auto wait = [this](unsigned ms) {
        if (WaitWatchingLine(ms)) return true;
        link_.Close();
        return false;
    };
    if (!wait(500)) return;
    link_.WriteLine("$JOFF");
    if (!wait(500)) return;
    link_.WriteLine("$W6,CONNECT_TO_GPS");
    if (!wait(2000)) return;
    link_.WriteLine("$JCONN,A,C");
    if (!wait(1000)) return;

    state_->SetStatus(STATUS_CONNECTED);
    link_.WriteLine("\r\n$JCLEARAPPINT\r\n");
    if (!wait(2000)) return;
    state_->SetStatus(STATUS_CONNECTED);
    if (!wait(500)) return;
    link_.WriteLine("\r\n$JAPPTRANSFER\r\n");

    // The receiver gets ready for the image in this time; it says nothing when it is.
    state_->SetStatus(STATUS_WAITING);
    if (!wait(15000)) return;
    state_->SetFirmwareDetected(false);

    TransferImage();
    if (!transferComplete_) {
        link_.Close();
        return;
    }
    link_.WriteLine("$JCONN,X");
    waits_.WaitPumping(1000);
    link_.Close();
}

}  // namespace morvane
