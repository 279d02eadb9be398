#include "app/zentrel_dlg.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <utility>

#include <QAbstractItemView>
#include <QComboBox>
#include <QCoreApplication>
#include <QEventLoop>
#include <QLabel>
#include <QMessageBox>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>

#include "app/dialog_layout.h"
#include "app/qt_seams.h"
#include "app/resource.h"
#include "loader/loader.h"
#include "loader/loader_w6.h"
#include "platform/debug.h"
#include "record/loader_state.h"
#include "record/loader_status.h"
#include "serial/com_port_map.h"
#include "serial/open_error_facts.h"

// Resources must be registered from the global namespace; the library holding them is static,
// so nothing would pull them in otherwise.
static void InitArtwork() { Q_INIT_RESOURCE(morvane); }

namespace morvane {
namespace {

QString ToQString(const CString& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

void SetText(QLabel* label, const std::string& text) { label->setText(ToQString(text)); }

}  // namespace

CZentrelDlg::CZentrelDlg(SLoaderState* state, QWidget* parent)
    : QDialog(parent), m_pState(state), m_prompt(std::make_unique<CQtPrompt>(this)) {
    InitArtwork();
    m_hIcon = QIcon(QString::fromLatin1(kAppIconPath));
    m_loaderFactory = [](SLoaderState* s, LoaderDeps deps) -> std::unique_ptr<CLoader> {
        return std::make_unique<CLoaderW6>(s, std::move(deps));
    };
    m_enumeratePorts = [](CArray<SSerInfo, SSerInfo&>& ports) { EnumerateComPorts(ports); };
    m_reportNotice = [this](const SNotice& notice) {
        QMessageBox box(QMessageBox::Warning, QStringLiteral("Morvane"), ToQString(notice.text),
                        QMessageBox::Ok, this);
        box.setInformativeText(ToQString(notice.detail));
        box.exec();
    };

    // The layout's font. Where it is missing the desktop's sans-serif face stands in, and the
    // dialog units keep the proportions.
    QFont dialogFont(QStringLiteral("Microsoft Sans Serif"));
    dialogFont.setStyleHint(QFont::SansSerif);
    dialogFont.setPointSize(8);
    setFont(dialogFont);
    m_baseUnits = DialogBaseUnits(dialogFont);

    setWindowTitle(QStringLiteral("Morvane"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(MapDialogRect(QRect(0, 0, kDialogWidthDlu, kDialogHeightDlu), m_baseUnits).size());
    m_controls = CreateDialogControls(this, m_baseUnits);
    DoDataExchange();
    ShowStatusArea();

    m_nTimer = new QTimer(this);
    m_nTimer->setSingleShot(true);
    m_nTimer->setInterval(10);
    connect(m_nTimer, &QTimer::timeout, this, &CZentrelDlg::OnTimer);
    m_portTimer = new QTimer(this);
    m_portTimer->setInterval(kPortScanMs);
    connect(m_portTimer, &QTimer::timeout, this, &CZentrelDlg::RescanPorts);
    connect(m_btnLoad, &QPushButton::clicked, this, &CZentrelDlg::OnLoad);
    connect(m_btnExit, &QPushButton::clicked, this, &CZentrelDlg::OnExit);
    connect(m_cbComPort, &QComboBox::activated, this, &CZentrelDlg::OnComPortSelEndOk);
    connect(m_cbComPort, &QComboBox::currentIndexChanged, this, &CZentrelDlg::OnComPortSelChange);
}

CZentrelDlg::~CZentrelDlg() { WaitForLoadToEnd(); }

void CZentrelDlg::WaitForLoadToEnd() {
    // The worker's last calls run on this thread: serve them until it has given the controls
    // back, then let it finish.
    while (m_bLoadActive) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (m_worker.joinable()) m_worker.join();
}

void CZentrelDlg::DoDataExchange() {
    m_btnExit = static_cast<QPushButton*>(GetDlgItem(IDC_EXIT));
    m_btnLoad = static_cast<QPushButton*>(GetDlgItem(IDC_LOAD));
    m_cbComPort = static_cast<QComboBox*>(GetDlgItem(IDC_COMPORT));
    m_stStatus = static_cast<QLabel*>(GetDlgItem(IDC_STATUS));
    m_stFirmwareOnDevice = static_cast<QLabel*>(GetDlgItem(IDC_FIRMWARE_ON_DEVICE));
    m_stProgress = static_cast<QLabel*>(GetDlgItem(IDC_PROGRESS_TEXT));
    m_progress = static_cast<QProgressBar*>(GetDlgItem(IDC_PROGRESS));
    m_stFirmwareToLoad = static_cast<QLabel*>(GetDlgItem(IDC_FIRMWARE_TO_LOAD));
    m_stRemainingTime = static_cast<QLabel*>(GetDlgItem(IDC_REMAINING_TIME));
    m_stInstructions = static_cast<QLabel*>(GetDlgItem(IDC_INSTRUCTIONS));
    m_stWarning = static_cast<QLabel*>(GetDlgItem(IDC_WARNING));
    m_stPercent = static_cast<QLabel*>(GetDlgItem(IDC_PERCENT));
    m_stComPortLabel = static_cast<QLabel*>(GetDlgItem(IDC_COMPORT_LABEL));

    // The applications and WAAS lines have no place in this layout. They are kept, hidden, so
    // the status codes that write them work the same with or without a place to show them.
    m_stWaasPrns = new QLabel(this);
    m_stWaasPrns->setObjectName(QStringLiteral("WaasPrns"));
    m_stWaasPrns->hide();
    m_stApplications = new QLabel(this);
    m_stApplications->setObjectName(QStringLiteral("Applications"));
    m_stApplications->hide();
}

QWidget* CZentrelDlg::GetDlgItem(int id) const {
    const auto found = m_controls.find(id);
    return found != m_controls.end() ? found->second : nullptr;
}

bool CZentrelDlg::OnInitDialog() {
    setWindowIcon(m_hIcon);
    const int startPort = m_pState->GetStartPort();
    if (startPort == -1) {
        FillComPortList();
    } else {
        FillComPortListFor(startPort);
    }
    m_nTimer->start();
    m_portTimer->start();
    // Load waits for the user's choice even when the list already shows a port.
    ShowControlStates();
    SetText(m_stInstructions, kInstructionsText);
    SetText(m_stWarning, kDamageWarning);
    setWindowTitle(ToQString(WindowCaption()));
    SetText(m_stFirmwareToLoad, FirmwareToLoadText());
    return true;
}

int CZentrelDlg::DoModal() {
    OnInitDialog();
    return exec();
}

void CZentrelDlg::FillPorts(int startPort) {
    m_startPort = startPort;
    CArray<SSerInfo, SSerInfo&> ports;
    try {
        m_enumeratePorts(ports);
    } catch (const ComEnumError& error) {
        // Without a list the user can still name a port on the command line; say why it is
        // empty and go on.
        m_reportNotice({error.what(), {}});
        ports.clear();
    }
    // Filling the list is not the user's choice: the selection handlers stay out of it.
    const QSignalBlocker quiet(m_cbComPort);
    SetPortItems(PortListItems(ports, startPort));
    m_cbComPort->setCurrentIndex(0);
}

void CZentrelDlg::SetPortItems(const std::vector<SPortItem>& items) {
    m_cbComPort->clear();
    for (const SPortItem& item : items) m_cbComPort->addItem(ToQString(item.text), item.port);
    m_portItems = items;
}

void CZentrelDlg::FillComPortList() { FillPorts(-1); }

void CZentrelDlg::FillComPortListFor(int port) { FillPorts(port); }

void CZentrelDlg::RescanPorts() {
    if (m_bLoadActive || m_cbComPort->view()->isVisible()) return;
    const std::optional<std::vector<SPortItem>> items =
        RescanPortItems(m_enumeratePorts, m_startPort, m_portItems);
    if (!items) return;

    const int selected = m_cbComPort->currentData().toInt();
    const QSignalBlocker quiet(m_cbComPort);
    SetPortItems(*items);
    const int index = IndexOfPort(*items, selected);
    m_cbComPort->setCurrentIndex(index >= 0 ? index : 0);
    if (index < 0) {
        // The chosen port went away: Load waits for a new choice, as at the start, rather than
        // load whatever port now comes first.
        m_view.SelectionChanged(0);
        ShowControlStates();
    }
}

void CZentrelDlg::OnComPortSelEndOk() {
    m_view.SelectionConfirmed();
    ShowControlStates();
}

void CZentrelDlg::OnComPortSelChange() {
    m_view.SelectionChanged(m_cbComPort->currentData().toInt());
    ShowControlStates();
}

void CZentrelDlg::OnExit() { done(0); }

void CZentrelDlg::done(int result) {
    if (m_bLoadActive) {
        // The worker needs the window and the record until it ends, and a transfer cut off
        // half-way can leave the receiver without firmware. Say so once per attempt, however
        // many ways of closing the attempt went through.
        if (!m_bRefusingClose) {
            m_bRefusingClose = true;
            m_reportNotice({kCloseRefusedText, {}});
            m_bRefusingClose = false;
        }
        return;
    }
    // The last worker may still be closing its port and freeing its loader.
    WaitForLoadToEnd();
    QDialog::done(result);
}

void CZentrelDlg::ShowControlStates() {
    const SControlStates& controls = m_view.Controls();
    m_btnExit->setEnabled(controls.exit);
    m_btnLoad->setEnabled(controls.load);
    m_cbComPort->setEnabled(controls.portList);
}

void CZentrelDlg::ShowStatusArea() {
    const SStatusArea& area = m_view.Area();
    SetText(m_stStatus, area.status);
    SetText(m_stFirmwareOnDevice, area.firmwareOnDevice);
    SetText(m_stApplications, area.applications);
    SetText(m_stWaasPrns, area.waasPrns);
    SetText(m_stProgress, area.progress);
    SetText(m_stPercent, area.percent);
    m_progress->setValue(area.bar);
    SetText(m_stRemainingTime, area.remainingTime);
}

void CZentrelDlg::OnLoad() {
    if (m_bLoadActive || m_cbComPort->currentData().toInt() == 0) return;
    // The previous worker's last steps reset the record: they must be over before it is reused.
    WaitForLoadToEnd();
    m_pState->Reset();
    m_bLoadActive = true;
    m_view.LoadStarted();
    ShowControlStates();
    ShowStatusArea();
    m_pState->SetComPort(m_cbComPort->currentData().toInt());
    LoaderDeps deps;
    deps.prompt = m_prompt.get();
    std::unique_ptr<CLoader> loader = m_loaderFactory(m_pState, std::move(deps));
    m_pLoader = loader.get();
    m_pState->SetLoadRunning(true);
    auto param =
        std::make_unique<SLoadThreadParam>(SLoadThreadParam{m_pState, loader.release(), this});
    m_worker = std::thread(&CZentrelDlg::LoadThreadProc, std::move(param));
}

void CZentrelDlg::LoadThreadProc(std::unique_ptr<SLoadThreadParam> param) {
    std::unique_ptr<CLoader> loader(param->pLoader);
    CZentrelDlg* dialog = param->pDialog;
    try {
        loader->Run();
    } catch (const std::exception& error) {
        // The window must come back whatever happened to the load.
        OutputDebugStringA(Format("Load ended by an error: %s\n", error.what()).c_str());
    } catch (...) {
        OutputDebugStringA("Load ended by an error\n");
    }
    const std::int32_t finalStatus = param->pState->GetStatus();
    // Why the port would not open is known only to the loader's device: ask before it goes,
    // here rather than on the window's thread, since the facts come from the system.
    std::optional<SNotice> notice;
    if (finalStatus == STATUS_INVALID_PORT) {
        const int port = param->pState->GetComPort();
        OpenError error = loader->LastOpenError();
        if (error.devicePath.empty())
            error.devicePath = DevicePathForComPort(port).value_or(std::string());
        notice = OpenFailureNotice(error, port, GatherOpenErrorFacts(error));
    }
    // Shows what the load wrote last even if it ended between two timer ticks.
    QMetaObject::invokeMethod(
        dialog, [dialog] { dialog->RefreshStatus(); }, Qt::BlockingQueuedConnection);
    param->pState->SetLoadRunning(false);
    QMetaObject::invokeMethod(
        dialog, [dialog, finalStatus] { dialog->OnLoadEnded(finalStatus); },
        Qt::BlockingQueuedConnection);
    // Shown once the window is back, while this worker finishes.
    if (notice) {
        QMetaObject::invokeMethod(
            dialog, [dialog, notice = *notice] { dialog->m_reportNotice(notice); },
            Qt::QueuedConnection);
    }
    param->pState->Reset();
    loader.reset();
}

void CZentrelDlg::OnLoadEnded(std::int32_t finalStatus) {
    m_view.LoadEnded(finalStatus);
    ShowControlStates();
    ShowStatusArea();
    m_bLoadActive = false;
}

void CZentrelDlg::OnTimer() {
    RefreshStatus();
    m_nTimer->start();
}

void CZentrelDlg::RefreshStatus() {
    if (m_view.Refresh(*m_pState)) ShowStatusArea();
}

}  // namespace morvane
