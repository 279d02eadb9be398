#include "loader/loader_w6.h"

#include "record/loader_status.h"

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
    // Only what the restarted receiver says counts.
    state_->SetReplySeen(false);
    state_->SetFirmwareDetected(false);
    state_->SetFirmwareText("");
    state_->SetLoaderVersion("");
    state_->SetLoaderVersionSeen(false);
    if (!link_.Open(state_->GetComPort(), state_->GetBaudRate())) {
        state_->SetStatus(STATUS_INVALID_PORT);
        return false;
    }
    state_->SetStatus(STATUS_VERIFYING);
    const bool found = DetectWithinAttempts([this] { waits_.WaitPumping(300); }, kVerifyAttempts);
    state_->SetStatus(found ? STATUS_CONNECTED : STATUS_DEVICE_NOT_DETECTED);
    link_.Close();
    return found;
}

void CLoaderW6::Run() {
    // When detection fails, the port stays open at the last probe rate until the loader goes.
    if (!OpenAndDetect()) return;
    // Everything from here on goes out at the working rate; if the port will not open again,
    // nothing of it would reach the receiver.
    if (!ReopenAtWorkingRate()) {
        state_->SetStatus(STATUS_INVALID_PORT);
        return;
    }
    state_->SetStatus(STATUS_CONNECTED);
    state_->SetStatus(STATUS_DETECTING_FIRMWARE);
    waits_.WaitPumping(500);
    link_.WriteLine("$JOFF");
    waits_.WaitPumping(500);
    link_.WriteLine("$W6,CONNECT_TO_GPS");
    waits_.WaitPumping(2000);
    link_.WriteLine("$JCONN,A,C");
    waits_.WaitPumping(1000);

    state_->SetStatus(STATUS_CONNECTED);
    link_.WriteLine("\r\n$JCLEARAPPINT\r\n");
    waits_.WaitPumping(2000);
    state_->SetStatus(STATUS_CONNECTED);
    waits_.WaitPumping(500);
    link_.WriteLine("\r\n$JAPPTRANSFER\r\n");

    // The receiver gets ready for the image in this time; it says nothing when it is.
    state_->SetStatus(STATUS_WAITING);
    waits_.WaitPumping(15000);
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
