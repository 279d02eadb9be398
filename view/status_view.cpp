#include "view/status_view.h"

#include <optional>

#include "platform/text.h"
#include "record/loader_status.h"
#include "res/firmware_image.h"

namespace morvane {

std::string WindowCaption() { return Format("%s Firmware v%s", kModelName, kFirmwareVersion); }

std::string FirmwareToLoadText() {
    return std::string("Firmware to be Loaded: ") + kFirmwareVersion;
}

std::string FirmwareOnDeviceText(const std::string& firmwareText) {
    return "Firmware on Device: " + firmwareText;
}

std::optional<std::string> StatusLineFor(std::int32_t code) {
    if (const std::optional<std::string_view> text = StatusText(code)) return std::string(*text);
    return std::nullopt;
}

std::string StatusWords(std::string_view statusLine) {
    constexpr std::string_view kLead = "Status: ";
    if (statusLine.substr(0, kLead.size()) == kLead) statusLine.remove_prefix(kLead.size());
    return std::string(statusLine);
}

unsigned ProgressPercent(std::uint32_t sentBytes, std::uint32_t totalBytes) {
    if (totalBytes == 0) return 0;
    const std::uint64_t p = std::uint64_t{sentBytes} * 100 / totalBytes;
    return p > 100 ? 100U : static_cast<unsigned>(p);
}

bool CStatusView::Refresh(SLoaderState& state) {
    if (!state.GetLoadRunning() || verifying_ || !state.TakeChanged()) return false;
    return Show(state);
}

bool CStatusView::Show(const SLoaderState& state) {
    const SStatusArea before = area_;

    const std::uint32_t sent = state.GetSentBytes();
    if (sent != 0) {
        const std::uint32_t total = state.GetTotalBytes();
        const unsigned percent = ProgressPercent(sent, total);
        area_.progress = ByteCounterText(sent, total);
        area_.percent = Format("%u%%", percent);
        area_.bar = static_cast<int>(percent);
        area_.remainingTime = RemainingTimeText(state.GetRemainingSeconds());
    }

    if (const std::optional<StatusLines> lines = LinesForStatus(state.GetStatus())) {
        area_.status = std::string(lines->text);
        if (lines->firmwareLine != FirmwareLineForm::None) {
            if (state.GetFirmwareDetected()) {
                area_.firmwareOnDevice = FirmwareOnDeviceText(state.GetFirmwareText());
            } else if (lines->firmwareLine == FirmwareLineForm::B) {
                area_.firmwareOnDevice = kFirmwareOnDeviceStartText;
            }
        }
        if (lines->applicationsLine && state.GetAppsSeen()) {
            area_.applications = "Applications: " + state.GetAppName1() + "," + state.GetAppName2();
        }
        if (lines->waasLine) {
            area_.waasPrns =
                state.GetWaasPrnsSeen()
                    ? Format("WAAS PRNS: %i,%i", state.GetWaasPrn1(), state.GetWaasPrn2())
                    : std::string(kWaasPrnsStartText);
        }
    }
    return !(area_ == before);
}

void CStatusView::SelectionConfirmed() { controls_.load = true; }

void CStatusView::SelectionChanged(int port) { controls_.load = port != 0; }

void CStatusView::LoadStarted() {
    controls_ = {false, false, false};
    area_.firmwareOnDevice = kFirmwareOnDeviceStartText;
    ClearProgress();
}

void CStatusView::VerifyStarted() {
    verifying_ = true;
    controls_ = {false, true, false};
    area_.status = StatusLineFor(STATUS_VERIFYING).value_or(area_.status);
    area_.firmwareOnDevice = kFirmwareOnDeviceStartText;
}

void CStatusView::VerifyEnded(bool verified, std::int32_t detectionStatus,
                              const std::string& firmware) {
    verifying_ = false;
    const std::int32_t shown = verified ? STATUS_FIRMWARE_COMPLETE : detectionStatus;
    area_.status = StatusLineFor(shown).value_or(area_.status);
    area_.firmwareOnDevice =
        firmware.empty() ? kFirmwareOnDeviceStartText : FirmwareOnDeviceText(firmware);
}

void CStatusView::LoadEnded(std::int32_t finalStatus) {
    verifying_ = false;
    controls_ = {true, true, true};
    if (finalStatus != STATUS_FIRMWARE_COMPLETE) ClearProgress();
}

void CStatusView::ClearProgress() {
    area_.progress = kProgressStartText;
    area_.percent = kPercentStartText;
    area_.bar = 0;
    area_.remainingTime = kRemainingTimeStartText;
}

}  // namespace morvane
