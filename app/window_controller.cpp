#include "app/window_controller.h"

#include <algorithm>
#include <utility>

#include "platform/debug.h"
#include "platform/text.h"
#include "record/loader_state.h"
#include "record/loader_status.h"
#include "res/firmware_image.h"

namespace morvane {
namespace {

// The status pass's period, counted from the end of one pass to the next tick.
constexpr int kStatusPeriodMs = 10;

}  // namespace

std::string UnrecordedLoadText(const RecordError& error) {
    std::string why;
    switch (error.kind) {
        case RecordErrorKind::NoFolder:
            why = "this PC names no folder for it, so loads on this PC are not recorded";
            break;
        case RecordErrorKind::CannotMakeFolder:
            why = "the folder " + error.path + " could not be made (" + error.systemText + ")";
            break;
        case RecordErrorKind::CannotOpen:
            why = error.path + " could not be opened (" + error.systemText + ")";
            break;
        case RecordErrorKind::CannotWrite:
            why = error.path + " could not be written to (" + error.systemText + ")";
            break;
        case RecordErrorKind::PartlyWritten:
            why = "only part of it reached " + error.path + " (the disk may be full)";
            break;
    }
    return "The record of this load could not be written: " + why +
           ". The load itself is not affected.";
}

void CWindowController::CPrompt::ShowMessage(const CString& text) {
    m_owner.m_face.RunOnUiThread([this, &text] { m_owner.ShowLoaderBox(text); });
}

void CWindowController::ShowLoaderBox(const CString& text) {
    m_face.ShowBox({text, {}}, BoxKind::Message);
    // "Load Completed" closed: the image is out, and the receiver restarts into it.
    if (!m_verifyAfterLoad || m_state.GetStatus() != STATUS_FIRMWARE_COMPLETE) return;
    m_verifying = true;
    // The whole image on the progress lines, even when the last block came between two passes.
    m_view.Show(m_state);
    m_view.VerifyStarted();
    // Nothing is cut off by leaving now: the user's session may end, and so may the window.
    m_face.LoadRunning(false, {});
    ShowControls();
    ShowStatusArea();
}

CWindowController::CWindowController(SLoaderState& state, IWindowFace& face)
    : m_state(state),
      m_face(face),
      m_prompt(*this),
      m_discover([](CArray<SSerInfo, SSerInfo&>& ports) { EnumerateComPorts(ports); }),
      m_power(&SystemPowerService()) {}

CWindowController::~CWindowController() {
    WaitForLoadToEnd();
    // The scan needs only the discovery and its own result, never the window: it ends by itself.
    if (m_scanThread.joinable()) m_scanThread.join();
}

void CWindowController::Init() {
    m_startPort = m_state.GetStartPort();
    FillPorts();
    m_face.SetText(WindowControl::Caption, WindowCaption());
    m_face.SetText(WindowControl::Instructions, kInstructionsText);
    m_face.SetText(WindowControl::Warning, kDamageWarning);
    m_face.SetText(WindowControl::FirmwareToLoad, FirmwareToLoadText());
    ShowStatusArea();
    // Load waits for the user's choice, unless "-com" made it.
    ShowControls();
    m_face.StartTimer(WindowTimer::Status, kStatusPeriodMs);
    m_face.StartTimer(WindowTimer::PortScan, kPortScanMs);
}

int CWindowController::SelectedPort() const {
    if (m_selected < 0 || m_selected >= static_cast<int>(m_items.size())) return 0;
    return m_items[static_cast<std::size_t>(m_selected)].port;
}

void CWindowController::FillPorts() {
    CArray<SSerInfo, SSerInfo&> ports;
    try {
        m_discover(ports);
    } catch (const ComEnumError& error) {
        OutputDebugStringA(
            (std::string("morvane: the ports could not be listed: ") + error.what() + "\n")
                .c_str());
        // Without a list the user can still name a port on the command line; say why it is
        // empty and go on.
        m_face.ShowBox({error.what(), {}}, BoxKind::Warning);
        ports.clear();
    }
    const std::vector<SPortItem> items = PortListItems(ports, m_startPort);
    // The port named with "-com" is the one the user means to load: it is chosen, ready for Load.
    // Loading whichever port came first instead would touch a device the user did not name.
    const int named = m_startPort != -1 ? IndexOfPort(items, m_startPort) : -1;
    ShowPorts(items, std::max(named, 0));
    if (named >= 0) m_view.SelectionChanged(m_startPort);
}

void CWindowController::ShowPorts(const std::vector<SPortItem>& items, int selected) {
    m_items = items;
    m_selected = selected;
    m_face.FillPortList(m_items);
    m_face.SelectPortItem(m_selected);
}

void CWindowController::RescanPorts() {
    // One discovery at a time: the running scan's result comes first, and one more scan after
    // it, however many announcements came meanwhile (Windows sends several for one plug).
    if (m_scanThread.joinable()) {
        m_rescanAfterScan = true;
        return;
    }
    StartPortScan();
}

void CWindowController::StartPortScan() {
    if (m_scanThread.joinable() || m_loadActive || m_face.PortListOpen()) return;
    m_scanDone.store(false, std::memory_order_relaxed);
    // The thread takes copies of what it reads, and writes only its result.
    m_scanThread = std::thread([this, discover = m_discover, start = m_startPort, shown = m_items] {
        const PortDiscovery said = [&discover](CArray<SSerInfo, SSerInfo&>& ports) {
            try {
                discover(ports);
            } catch (const ComEnumError& error) {
                OutputDebugStringA(
                    (std::string("morvane: rescan: the ports could not be listed: ") +
                     error.what() + "\n")
                        .c_str());
                throw;
            }
        };
        m_scanned = RescanPortItems(said, start, shown);
        m_scanDone.store(true, std::memory_order_release);
    });
}

void CWindowController::TakePortScan() {
    if (!m_scanThread.joinable() || !m_scanDone.load(std::memory_order_acquire)) return;
    m_scanThread.join();
    const std::optional<std::vector<SPortItem>> items = std::move(m_scanned);
    m_scanned.reset();
    // A load started or the list opened meanwhile: the next scan catches up.
    if (!m_loadActive && !m_face.PortListOpen()) ShowRescan(items);
    if (m_rescanAfterScan) {
        m_rescanAfterScan = false;
        RescanPorts();
    }
}

void CWindowController::ShowRescan(const std::optional<std::vector<SPortItem>>& items) {
    if (!items) return;
    const int index = IndexOfPort(*items, SelectedPort());
    ShowPorts(*items, index >= 0 ? index : 0);
    if (index < 0) {
        // The chosen port went away: Load waits for a new choice, as at the start, rather than
        // load whatever port now comes first.
        m_view.SelectionChanged(0);
        ShowControls();
    }
}

void CWindowController::OnSelectionChanged(int index) {
    if (index < 0 || index >= static_cast<int>(m_items.size())) return;
    m_selected = index;
    m_view.SelectionChanged(SelectedPort());
    ShowControls();
}

void CWindowController::OnSelectionConfirmed() {
    m_view.SelectionConfirmed();
    ShowControls();
}

void CWindowController::OnPortFieldLeft() {
    if (!m_items.empty()) m_face.SelectPortItem(m_selected);
}

void CWindowController::OnTimer(WindowTimer timer) {
    if (timer == WindowTimer::PortScan) {
        StartPortScan();
        return;
    }
    m_face.StopTimer(WindowTimer::Status);
    TakePortScan();
    RefreshStatus();
    m_face.StartTimer(WindowTimer::Status, kStatusPeriodMs);
}

void CWindowController::RefreshStatus() {
    if (m_view.Refresh(m_state)) ShowStatusArea();
}

bool CWindowController::MayClose() {
    if (m_verifying) {
        // The receiver holds its new image: only the look at what it reports is given up.
        StopLoad();
        return true;
    }
    if (m_loadActive) {
        // The worker needs the window and the record until it ends, and a transfer cut off
        // half-way can leave the receiver without firmware. Say so once per attempt, however
        // many ways of closing the attempt went through.
        if (!m_refusingClose) {
            m_refusingClose = true;
            m_face.ShowBox({kCloseRefusedText, {}}, BoxKind::Warning);
            m_refusingClose = false;
        }
        return false;
    }
    WaitForLoadToEnd();
    return true;
}

void CWindowController::OnLoad() {
    const int port = SelectedPort();
    if (m_loadActive || port == 0) return;
    // A PC about to run flat does not start a load it may not finish.
    const SBatteryReading battery = m_power->ReadBattery();
    if (BatteryTooLowToLoad(battery)) {
        m_face.ShowBox({kLowBatteryText, Format("The battery is at %d %%.", battery.percent)},
                       BoxKind::Warning);
        return;
    }
    // The last worker may still be on its way out; the record is about to be reset.
    WaitForLoadToEnd();
    // The field names the port loaded, whatever was typed into it.
    m_face.SelectPortItem(m_selected);
    m_loadActive = true;
    m_view.LoadStarted();
    ShowControls();
    ShowStatusArea();

    LoadRequest request;
    request.comPort = port;
    request.verify = m_verifyAfterLoad;
    request.log = m_log;
    request.program = "morvane";
    SessionDeps deps;
    deps.state = &m_state;
    deps.makeLoader = m_makeLoader;
    deps.prompt = &m_prompt;
    // Every load of this window talks to the receivers of one PC: the one-time sweep is the
    // program's, not each load's.
    deps.rates = &CLoader::ProgramWideRates();
    deps.power = m_power;
    deps.awakeReason = kDamageWarning;
    deps.onEnded = [this](const LoadOutcome& outcome) {
        m_face.RunOnUiThread([this, &outcome] { OnLoadEnded(outcome); });
    };
    m_face.LoadRunning(true, kDamageWarning);
    m_session = std::make_unique<CLoadSession>(std::move(request), std::move(deps));
    m_session->Start();
}

void CWindowController::OnLoadEnded(const LoadOutcome& outcome) {
    if (outcome.verifyRan) {
        m_view.VerifyEnded(outcome.end == LoadEnd::Verified, m_state.GetStatus(),
                           outcome.verification.firmware);
    } else {
        // What the load wrote last, even when it ended between two passes.
        m_view.Show(m_state);
    }
    m_view.LoadEnded(outcome.status);
    m_loadActive = false;
    m_verifying = false;
    m_face.LoadRunning(false, {});
    ShowControls();
    ShowStatusArea();
    if (const std::optional<SNotice> notice = NoticeAfterLoad(outcome))
        m_face.ShowBox(*notice, BoxKind::Warning);
}

std::optional<SNotice> CWindowController::NoticeAfterLoad(const LoadOutcome& outcome) const {
    const std::string advice = AdviceAfterLoad(outcome, m_session->PortLabel(),
                                               m_session->DevicePath(), PortChoice::PortList);
    std::optional<SNotice> notice;
    if (outcome.cancelled) {
        // Stopped because the user's session ended: nobody is left to read a box.
        return notice;
    }
    if (outcome.status == STATUS_INVALID_PORT) {
        // One box: why the port would not open, after what was heard before, if anything was.
        notice =
            OpenFailureNotice(outcome.openError, m_session->Request().comPort, outcome.openFacts);
        if (!advice.empty()) notice->detail = BoxText(advice) + notice->detail;
    } else if (!advice.empty()) {
        notice = SNotice{"The load did not complete: " + StatusWords(m_view.Area().status) + ".",
                         BoxText(advice)};
    } else if (outcome.verifyRan && outcome.end != LoadEnd::Verified) {
        notice = NotVerifiedNotice(outcome);
    }
    if (outcome.recordError) {
        // Said, but the load's own outcome comes first.
        const std::string unrecorded = UnrecordedLoadText(*outcome.recordError);
        if (notice) {
            notice->detail += unrecorded + "\n";
        } else {
            notice = SNotice{unrecorded, {}};
        }
    }
    return notice;
}

SNotice CWindowController::NotVerifiedNotice(const LoadOutcome& outcome) const {
    const std::string verdict =
        VerifyVerdict(outcome.verification, m_session->PortLabel(), kFirmwareVersion);
    // The verdict's first line says what was found, the lines below it what to do.
    const std::size_t headlineEnd = verdict.find('\n');
    SNotice notice{verdict.substr(0, headlineEnd), headlineEnd == std::string::npos
                                                       ? std::string()
                                                       : BoxText(verdict.substr(headlineEnd + 1))};
    if (outcome.end == LoadEnd::NotVerifiedPortRefused) {
        notice.detail += BoxText(ExplainOpenError(outcome.openError, m_session->PortLabel(),
                                                  m_session->Request().comPort, outcome.openFacts,
                                                  PortChoice::PortList));
    }
    return notice;
}

void CWindowController::WaitForLoadToEnd() {
    // The worker's last calls run on the window's thread: serve them until its end is in.
    while (m_loadActive && m_session && !m_session->Done()) m_face.ServeEvents();
    if (!m_session) return;
    const LoadOutcome& outcome = m_session->Join();
    if (m_loadActive) {
        // The window is gone and could not take the end: nothing left to show it on.
        m_view.LoadEnded(outcome.status);
        m_loadActive = false;
        m_verifying = false;
        m_face.LoadRunning(false, {});
    }
    m_session.reset();
}

void CWindowController::StopLoad() {
    if (m_session) m_session->Cancel();
    WaitForLoadToEnd();
}

void CWindowController::ShowControls() {
    const SControlStates& controls = m_view.Controls();
    m_face.Enable(WindowControl::Exit, controls.exit);
    m_face.Enable(WindowControl::Load, controls.load);
    m_face.Enable(WindowControl::PortList, controls.portList);
}

void CWindowController::ShowStatusArea() {
    const SStatusArea& area = m_view.Area();
    m_face.SetText(WindowControl::Status, area.status);
    m_face.SetText(WindowControl::FirmwareOnDevice, area.firmwareOnDevice);
    m_face.SetText(WindowControl::Applications, area.applications);
    m_face.SetText(WindowControl::WaasPrns, area.waasPrns);
    m_face.SetText(WindowControl::Progress, area.progress);
    m_face.SetText(WindowControl::Percent, area.percent);
    m_face.SetProgressBar(area.bar);
    m_face.SetText(WindowControl::RemainingTime, area.remainingTime);
}

}  // namespace morvane
