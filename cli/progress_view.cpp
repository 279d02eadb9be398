#include "cli/progress_view.h"

#include <cstdlib>

#include "platform/text.h"
#include "record/loader_status.h"

namespace morvane {
namespace {

constexpr unsigned kBarWidth = 30;
constexpr const char* kEraseToEnd = "\x1b[K";
constexpr const char* kGreen = "\x1b[32m";
constexpr const char* kPlain = "\x1b[0m";

}  // namespace

std::string ProgressBar(unsigned percent, unsigned width) {
    const unsigned full = (percent > 100 ? 100 : percent) * width / 100;
    return "[" + std::string(full, '#') + std::string(width - full, '-') + "]";
}

CLoadReporter::CLoadReporter(std::ostream& out, std::ostream& err, ReporterStyle style)
    : out_(out), err_(err), style_(style) {}

void CLoadReporter::Pass(const SLoaderState& state) {
    view_.Show(state);
    const std::uint32_t sent = state.GetSentBytes();
    const std::int32_t status = state.GetStatus();

    // The bytes a transfer sent come before the status that ends it ("... 100%", then
    // "Status: Firmware Update Complete"); the status that starts it comes first.
    const bool progressFirst = sent != 0 && status != STATUS_UPDATING_FIRMWARE;
    if (progressFirst) ShowProgress();

    if (status != shownStatus_) {
        shownStatus_ = status;
        if (StatusText(status)) ShowLine(view_.Area().status);
    }
    // A terminal has no line to keep: the firmware found is printed as soon as it is known.
    if (state.GetFirmwareDetected()) {
        const CString firmware = state.GetFirmwareText();
        if (firmware != shownFirmware_) {
            shownFirmware_ = firmware;
            ShowLine(FirmwareOnDeviceText(firmware));
        }
    }

    if (!progressFirst && sent != 0) ShowProgress();
}

void CLoadReporter::ShowProgress() {
    const SStatusArea& area = view_.Area();
    const auto p = static_cast<unsigned>(area.bar);
    if (!style_.terminal) {
        const int tenth = static_cast<int>(p / 10);
        if (tenth <= shownTenth_) return;
        shownTenth_ = tenth;
        out_ << area.progress << " (" << area.percent << "), " << area.remainingTime << '\n';
        out_.flush();
        return;
    }
    std::string bar = ProgressBar(p, kBarWidth);
    if (style_.colour) bar = kGreen + bar + kPlain;
    const std::string line =
        bar + Format(" %3u%%  ", p) + area.progress + "  " + area.remainingTime;
    // Only a change is drawn: a pass after the line was ended (by a status, a warning) shows
    // nothing new until the counters move.
    if (line == drawnLine_) return;
    out_ << '\r' << line << kEraseToEnd;
    out_.flush();
    drawnLine_ = line;
    lineOpen_ = true;
}

void CLoadReporter::ShowLine(const std::string& text) {
    EndProgressLine();
    out_ << text << '\n';
    out_.flush();
}

void CLoadReporter::Prompt(const std::string& text) { ShowLine(text); }

void CLoadReporter::Warn(const std::string& text) {
    EndProgressLine();
    err_ << text << '\n';
    err_.flush();
}

void CLoadReporter::Finish() { EndProgressLine(); }

void CLoadReporter::EndProgressLine() {
    if (!lineOpen_) return;
    out_ << '\n';
    out_.flush();
    lineOpen_ = false;
}

}  // namespace morvane
