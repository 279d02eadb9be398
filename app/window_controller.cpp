#include "app/window_controller.h"

#include <string_view>
#include <utility>

#include "loader/loader.h"
#include "platform/text.h"
#include "record/loader_state.h"
#include "record/loader_status.h"

namespace morvane {
namespace {

// The status pass's period, counted from the end of one pass to the next tick.
constexpr int kStatusPeriodMs = 10;

// The status line as a headline: "Device Not Detected" rather than "Status: Device Not Detected".
std::string_view WithoutStatusPrefix(std::string_view status) {
    constexpr std::string_view prefix = "Status: ";
    if (status.starts_with(prefix)) status.remove_prefix(prefix.size());
    return status;
}

}  // namespace

void CWindowController::CPrompt::ShowMessage(const CString& text) {
    face_.RunOnUiThread([this, &text] { face_.ShowBox({text, {}}, BoxKind::Message); });
}

CWindowController::CWindowController(SLoaderState& state, IWindowFace& face)
    : state_(state),
      face_(face),
      prompt_(face),
      discover_([](CArray<SSerInfo, SSerInfo&>& ports) { EnumerateComPorts(ports); }),
      power_(&SystemPowerService()) {}

CWindowController::~CWindowController() { WaitForLoadToEnd(); }

void CWindowController::Init() {
    startPort_ = state_.GetStartPort();
    FillPorts();
    face_.SetText(WindowControl::Caption, WindowCaption());
    face_.SetText(WindowControl::Instructions, kInstructionsText);
    face_.SetText(WindowControl::Warning, kDamageWarning);
    face_.SetText(WindowControl::FirmwareToLoad, FirmwareToLoadText());
    ShowStatusArea();
    // Load waits for the user's choice even when the list already shows a port.
    ShowControls();
    face_.StartTimer(WindowTimer::Status, kStatusPeriodMs);
    face_.StartTimer(WindowTimer::PortScan, kPortScanMs);
}

int CWindowController::SelectedPort() const {
    if (selected_ < 0 || selected_ >= static_cast<int>(items_.size())) return 0;
    return items_[static_cast<std::size_t>(selected_)].port;
}

void CWindowController::FillPorts() {
    CArray<SSerInfo, SSerInfo&> ports;
    try {
        discover_(ports);
    } catch (const ComEnumError& error) {
        // Without a list the user can still name a port on the command line; say why it is
        // empty and go on.
        face_.ShowBox({error.what(), {}}, BoxKind::Warning);
        ports.clear();
    }
    ShowPorts(PortListItems(ports, startPort_), 0);
}

void CWindowController::ShowPorts(const std::vector<SPortItem>& items, int selected) {
    items_ = items;
    selected_ = selected;
    face_.FillPortList(items_);
    face_.SelectPortItem(selected_);
}

void CWindowController::RescanPorts() {
    // During a load the list is locked on the port being loaded; the user may have it open.
    if (loadActive_ || face_.PortListOpen()) return;
    const std::optional<std::vector<SPortItem>> items =
        RescanPortItems(discover_, startPort_, items_);
    if (!items) return;
    const int index = IndexOfPort(*items, SelectedPort());
    ShowPorts(*items, index >= 0 ? index : 0);
    if (index < 0) {
        // The chosen port went away: Load waits for a new choice, as at the start, rather than
        // load whatever port now comes first.
        view_.SelectionChanged(0);
        ShowControls();
    }
}

void CWindowController::OnSelectionChanged(int index) {
    if (index < 0 || index >= static_cast<int>(items_.size())) return;
    selected_ = index;
    view_.SelectionChanged(SelectedPort());
    ShowControls();
}

void CWindowController::OnSelectionConfirmed() {
    view_.SelectionConfirmed();
    ShowControls();
}

void CWindowController::OnPortFieldLeft() {
    if (!items_.empty()) face_.SelectPortItem(selected_);
}

void CWindowController::OnTimer(WindowTimer timer) {
    if (timer == WindowTimer::PortScan) {
        RescanPorts();
        return;
    }
    face_.StopTimer(WindowTimer::Status);
    RefreshStatus();
    face_.StartTimer(WindowTimer::Status, kStatusPeriodMs);
}

void CWindowController::RefreshStatus() {
    if (view_.Refresh(state_)) ShowStatusArea();
}

bool CWindowController::MayClose() {
    if (loadActive_) {
        // The worker needs the window and the record until it ends, and a transfer cut off
        // half-way can leave the receiver without firmware. Say so once per attempt, however
        // many ways of closing the attempt went through.
        if (!refusingClose_) {
            refusingClose_ = true;
            face_.ShowBox({kCloseRefusedText, {}}, BoxKind::Warning);
            refusingClose_ = false;
        }
        return false;
    }
    WaitForLoadToEnd();
    return true;
}

void CWindowController::OnLoad() {
    const int port = SelectedPort();
    if (loadActive_ || port == 0) return;
    // A PC about to run flat does not start a load it may not finish.
    const SBatteryReading battery = power_->ReadBattery();
    if (BatteryTooLowToLoad(battery)) {
        face_.ShowBox({kLowBatteryText, Format("The battery is at %d %%.", battery.percent)},
                      BoxKind::Warning);
        return;
    }
    // The last worker may still be on its way out; the record is about to be reset.
    WaitForLoadToEnd();
    // The field names the port loaded, whatever was typed into it.
    face_.SelectPortItem(selected_);
    loadActive_ = true;
    view_.LoadStarted();
    ShowControls();
    ShowStatusArea();

    LoadRequest request;
    request.comPort = port;
    request.log = log_;
    request.program = "morvane";
    SessionDeps deps;
    deps.state = &state_;
    deps.makeLoader = makeLoader_;
    deps.prompt = &prompt_;
    // Every load of this window talks to the receivers of one PC: the one-time sweep is the
    // program's, not each load's.
    deps.rates = &CLoader::ProgramWideRates();
    deps.power = power_;
    deps.awakeReason = kDamageWarning;
    deps.onEnded = [this](const LoadOutcome& outcome) {
        face_.RunOnUiThread([this, &outcome] { OnLoadEnded(outcome); });
    };
    face_.LoadRunning(true, kDamageWarning);
    session_ = std::make_unique<CLoadSession>(std::move(request), std::move(deps));
    session_->Start();
}

void CWindowController::OnLoadEnded(const LoadOutcome& outcome) {
    // What the load wrote last, even when it ended between two passes.
    view_.Show(state_);
    view_.LoadEnded(outcome.status);
    loadActive_ = false;
    face_.LoadRunning(false, {});
    ShowControls();
    ShowStatusArea();
    if (const std::optional<SNotice> notice = NoticeAfterLoad(outcome))
        face_.ShowBox(*notice, BoxKind::Warning);
}

std::optional<SNotice> CWindowController::NoticeAfterLoad(const LoadOutcome& outcome) const {
    const std::string advice = AdviceAfterLoad(outcome, session_->PortLabel(),
                                               session_->DevicePath(), PortChoice::PortList);
    std::optional<SNotice> notice;
    if (outcome.cancelled) {
        // Stopped because the user's session ended: nobody is left to read a box.
        return notice;
    }
    if (outcome.status == STATUS_INVALID_PORT) {
        // One box: why the port would not open, after what was heard before, if anything was.
        notice =
            OpenFailureNotice(outcome.openError, session_->Request().comPort, outcome.openFacts);
        if (!advice.empty()) notice->detail = BoxText(advice) + notice->detail;
    } else if (!advice.empty()) {
        notice = SNotice{"The load did not complete: " +
                             std::string(WithoutStatusPrefix(view_.Area().status)) + ".",
                         BoxText(advice)};
    }
    if (!outcome.recordError.empty()) {
        // Said, but the load's own outcome comes first.
        const std::string unrecorded =
            "The record of this load could not be written: " + outcome.recordError;
        if (notice) {
            notice->detail += unrecorded + "\n";
        } else {
            notice = SNotice{unrecorded, {}};
        }
    }
    return notice;
}

void CWindowController::WaitForLoadToEnd() {
    // The worker's last calls run on the window's thread: serve them until its end is in.
    while (loadActive_ && session_ && !session_->Done()) face_.ServeEvents();
    if (!session_) return;
    const LoadOutcome& outcome = session_->Join();
    if (loadActive_) {
        // The window is gone and could not take the end: nothing left to show it on.
        view_.LoadEnded(outcome.status);
        loadActive_ = false;
        face_.LoadRunning(false, {});
    }
    session_.reset();
}

void CWindowController::StopLoad() {
    if (session_) session_->Cancel();
    WaitForLoadToEnd();
}

void CWindowController::ShowControls() {
    const SControlStates& controls = view_.Controls();
    face_.Enable(WindowControl::Exit, controls.exit);
    face_.Enable(WindowControl::Load, controls.load);
    face_.Enable(WindowControl::PortList, controls.portList);
}

void CWindowController::ShowStatusArea() {
    const SStatusArea& area = view_.Area();
    face_.SetText(WindowControl::Status, area.status);
    face_.SetText(WindowControl::FirmwareOnDevice, area.firmwareOnDevice);
    face_.SetText(WindowControl::Applications, area.applications);
    face_.SetText(WindowControl::WaasPrns, area.waasPrns);
    face_.SetText(WindowControl::Progress, area.progress);
    face_.SetText(WindowControl::Percent, area.percent);
    face_.SetProgressBar(area.bar);
    face_.SetText(WindowControl::RemainingTime, area.remainingTime);
}

}  // namespace morvane
