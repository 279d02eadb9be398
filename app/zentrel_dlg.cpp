#include "app/zentrel_dlg.h"

#include <cstdint>
#include <exception>
#include <utility>

#include <QComboBox>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QMetaObject>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>

#include "app/qt_seams.h"
#include "app/resource.h"
#include "loader/firmware_image.h"
#include "loader/loader.h"
#include "loader/loader_state.h"
#include "loader/loader_status.h"
#include "loader/loader_w6.h"
#include "platform/debug.h"

// Resources must be registered from the global namespace; the library holding them is static,
// so nothing would pull them in otherwise.
static void InitArtwork() { Q_INIT_RESOURCE(morvane); }

namespace morvane {
namespace {

QString ToQString(const CString& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

void SetText(QLabel* label, const CString& text) { label->setText(ToQString(text)); }

// Windows rounds a value scaled by a fraction to the nearest integer.
int MulDiv(int value, int numerator, int denominator) {
    const long long product = static_cast<long long>(value) * numerator;
    const long long half = denominator / 2;
    return static_cast<int>(product >= 0 ? (product + half) / denominator
                                         : (product - half) / denominator);
}

const char* const kInstructions =
    "1. Connect the Tundro W6 to the PC with a serial cable\n2. Select the PC Comport\n3. Click Load\n"
    "4. Wait for load to Complete.";
const char* const kWarning =
    "WARNING: If the device is disconnected from the PC, powered off, or this program is shutdown it could "
    "damage the device!";

}  // namespace

QSize DialogBaseUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {(letters / 26 + 1) / 2, metrics.height()};
}

QRect MapDialogRect(const QRect& dialogUnits, const QSize& baseUnits) {
    return {MulDiv(dialogUnits.x(), baseUnits.width(), 4),
            MulDiv(dialogUnits.y(), baseUnits.height(), 8),
            MulDiv(dialogUnits.width(), baseUnits.width(), 4),
            MulDiv(dialogUnits.height(), baseUnits.height(), 8)};
}

CZentrelDlg::CZentrelDlg(SLoaderState* state, QWidget* parent)
    : QDialog(parent), m_pState(state), m_prompt(std::make_unique<CQtPrompt>(this)) {
    InitArtwork();
    m_hIcon = QIcon(QString::fromLatin1(kAppIconPath));
    m_loaderFactory = [](SLoaderState* s, LoaderDeps deps) -> std::unique_ptr<CLoader> {
        return std::make_unique<CLoaderW6>(s, std::move(deps));
    };
    m_enumeratePorts = [](CArray<SSerInfo, SSerInfo&>& ports) { EnumerateComPorts(ports); };
    m_reportError = [this](const CString& text) {
        QMessageBox::warning(this, QStringLiteral("Morvane"), ToQString(text));
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
    CreateControls();
    DoDataExchange();

    m_nTimer = new QTimer(this);
    m_nTimer->setSingleShot(true);
    m_nTimer->setInterval(10);
    connect(m_nTimer, &QTimer::timeout, this, &CZentrelDlg::OnTimer);
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

void CZentrelDlg::CreateControls() {
    QWidget* previousTabStop = nullptr;
    for (const SControlLayout& item : kMainDialogLayout) {
        const QRect rect = MapDialogRect(QRect(item.x, item.y, item.cx, item.cy), m_baseUnits);
        const QString text = item.text != nullptr ? QString::fromLatin1(item.text) : QString();
        QWidget* control = nullptr;
        switch (item.kind) {
            case ControlKind::DefaultButton:
            case ControlKind::Button: {
                auto* button = new QPushButton(text, this);
                if (item.kind == ControlKind::DefaultButton) button->setDefault(true);
                control = button;
                break;
            }
            case ControlKind::Text:
            case ControlKind::CentredText: {
                auto* label = new QLabel(text, this);
                label->setTextFormat(Qt::PlainText);
                label->setAlignment(
                    (item.kind == ControlKind::CentredText ? Qt::AlignHCenter : Qt::AlignLeft) |
                    Qt::AlignTop);
                // Texts taller than one line wrap at blanks, like the layout's statics.
                label->setWordWrap(item.cy > 8);
                control = label;
                break;
            }
            case ControlKind::Picture:
            case ControlKind::Icon: {
                auto* picture = new QLabel(this);
                const bool banner = item.kind == ControlKind::Picture;
                const QPixmap pixmap(QString::fromLatin1(banner ? kBannerPath : kWarningIconPath));
                picture->setPixmap(pixmap);
                if (banner) {
                    picture->setFrameShape(QFrame::Box);
                    picture->setLineWidth(1);
                }
                control = picture;
                break;
            }
            case ControlKind::ComboBox: {
                auto* combo = new QComboBox(this);
                combo->setEditable(true);
                combo->setInsertPolicy(QComboBox::NoInsert);
                combo->setMaxVisibleItems(10);
                control = combo;
                break;
            }
            case ControlKind::ProgressBar: {
                auto* bar = new QProgressBar(this);
                bar->setTextVisible(false);
                bar->setRange(0, 100);
                bar->setValue(0);
                control = bar;
                break;
            }
            case ControlKind::GroupBox: control = new QGroupBox(text, this); break;
        }
        control->setObjectName(QString::fromLatin1(item.name));
        if (item.kind == ControlKind::Picture || item.kind == ControlKind::Icon) {
            // A picture control takes the size of its picture, as on Windows.
            auto* picture = static_cast<QLabel*>(control);
            const int frame = 2 * picture->frameWidth();
            control->setGeometry(rect.x(), rect.y(), picture->pixmap().width() + frame,
                                 picture->pixmap().height() + frame);
        } else if (item.kind == ControlKind::ComboBox) {
            // The layout's height is that of the open list; the closed box is one line high.
            control->setGeometry(rect.x(), rect.y(), rect.width(), control->sizeHint().height());
        } else {
            control->setGeometry(rect);
        }
        if (item.kind == ControlKind::GroupBox) {
            // A group box is only a frame: it must not sit over the controls it surrounds.
            control->lower();
        }
        if (control->focusPolicy() != Qt::NoFocus) {
            if (previousTabStop != nullptr) setTabOrder(previousTabStop, control);
            previousTabStop = control;
        }
        m_controls[item.id] = control;
    }
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
    m_stWaasPrns = new QLabel(QStringLiteral("WAAS PRNS: N/A"), this);
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
    // Load waits for the user's choice even when the list already shows a port.
    m_btnLoad->setEnabled(false);
    m_stInstructions->setText(QString::fromLatin1(kInstructions));
    m_stWarning->setText(QString::fromLatin1(kWarning));
    setWindowTitle(ToQString(Format("%s Firmware v%s", kModelName, kFirmwareVersion)));
    SetText(m_stFirmwareToLoad, CString("Firmware to be Loaded: ") + kFirmwareVersion);
    return true;
}

int CZentrelDlg::DoModal() {
    OnInitDialog();
    return exec();
}

bool CZentrelDlg::AddPorts(int port) {
    CArray<SSerInfo, SSerInfo&> ports;
    try {
        m_enumeratePorts(ports);
    } catch (const ComEnumError& error) {
        // Without a list the user can still name a port on the command line; say why it is
        // empty and go on.
        m_reportError(error.what());
        ports.clear();
    }
    bool found = false;
    for (const SSerInfo& info : ports) {
        const int number =
            info.portName.size() > 3 ? AtoI(std::string_view(info.portName).substr(3)) : 0;
        m_cbComPort->addItem(ToQString(info.friendlyName), number);
        found = found || number == port;
    }
    return found;
}

void CZentrelDlg::FillComPortList() {
    // Filling the list is not the user's choice: the selection handlers stay out of it.
    const QSignalBlocker quiet(m_cbComPort);
    m_cbComPort->addItem(QStringLiteral("Select Comport"), 0);
    m_cbComPort->setCurrentIndex(0);
    AddPorts(0);
}

void CZentrelDlg::FillComPortListFor(int port) {
    const QSignalBlocker quiet(m_cbComPort);
    if (!AddPorts(port)) m_cbComPort->addItem(ToQString(Format("COM %i", port)), port);
    m_cbComPort->setCurrentIndex(0);
}

void CZentrelDlg::OnComPortSelEndOk() { m_btnLoad->setEnabled(true); }

void CZentrelDlg::OnComPortSelChange() {
    m_btnLoad->setEnabled(m_cbComPort->currentData().toInt() != 0);
}

void CZentrelDlg::OnExit() { done(0); }

void CZentrelDlg::done(int result) {
    if (m_bLoadActive) return;
    // The last worker may still be closing its port and freeing its loader.
    WaitForLoadToEnd();
    QDialog::done(result);
}

void CZentrelDlg::EnableControls(bool enable) {
    m_btnExit->setEnabled(enable);
    m_btnLoad->setEnabled(enable);
    m_cbComPort->setEnabled(enable);
}

void CZentrelDlg::OnLoad() {
    if (m_bLoadActive || m_cbComPort->currentData().toInt() == 0) return;
    // The previous worker's last steps reset the record: they must be over before it is reused.
    WaitForLoadToEnd();
    m_pState->Reset();
    m_bLoadActive = true;
    EnableControls(false);
    m_pState->SetComPort(m_cbComPort->currentData().toInt());
    LoaderDeps deps;
    deps.prompt = m_prompt.get();
    std::unique_ptr<CLoader> loader = m_loaderFactory(m_pState, std::move(deps));
    m_pLoader = loader.get();
    m_pState->SetLoadRunning(true);
    auto param =
        std::make_unique<SLoadThreadParam>(SLoadThreadParam{m_pState, loader.release(), this});
    m_progress->setRange(0, 100);
    m_progress->setValue(0);
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
    // Shows what the load wrote last even if it ended between two timer ticks.
    QMetaObject::invokeMethod(
        dialog, [dialog] { dialog->RefreshStatus(); }, Qt::BlockingQueuedConnection);
    param->pState->SetLoadRunning(false);
    QMetaObject::invokeMethod(
        dialog, [dialog] { dialog->OnLoadEnded(); }, Qt::BlockingQueuedConnection);
    param->pState->Reset();
    loader.reset();
}

void CZentrelDlg::OnLoadEnded() {
    EnableControls(true);
    m_bLoadActive = false;
}

void CZentrelDlg::OnTimer() {
    RefreshStatus();
    m_nTimer->start();
}

void CZentrelDlg::RefreshStatus() {
    if (!m_pState->GetLoadRunning() || !m_pState->TakeChanged()) return;

    const std::uint32_t sent = m_pState->GetSentBytes();
    if (sent != 0) {
        const std::uint32_t total = m_pState->GetTotalBytes();
        SetText(m_stProgress, ByteCounterText(sent, total));
        // 32-bit arithmetic on purpose; a count without a total shows 0 rather than failing.
        const std::uint32_t percent = total != 0 ? (sent * 100u) / total : 0u;
        SetText(m_stPercent, Format("%u%%", percent));
        m_progress->setValue(static_cast<int>(percent));
        SetText(m_stRemainingTime, RemainingTimeText(m_pState->GetRemainingSeconds()));
    }

    const std::optional<StatusLines> lines = LinesForStatus(m_pState->GetStatus());
    if (!lines) return;
    SetText(m_stStatus, CString(lines->text));
    if (lines->firmwareLine != FirmwareLineForm::None) {
        if (m_pState->GetFirmwareDetected()) {
            SetText(m_stFirmwareOnDevice, "Firmware on Device: " + m_pState->GetFirmwareText());
        } else if (lines->firmwareLine == FirmwareLineForm::B) {
            SetText(m_stFirmwareOnDevice, "Firmware on Device: N/A");
        }
    }
    if (lines->applicationsLine && m_pState->GetAppsSeen()) {
        SetText(m_stApplications,
                "Applications: " + m_pState->GetAppName1() + "," + m_pState->GetAppName2());
    }
    if (lines->waasLine) {
        SetText(m_stWaasPrns,
                m_pState->GetWaasPrnsSeen()
                    ? Format("WAAS PRNS: %i,%i", m_pState->GetWaasPrn1(), m_pState->GetWaasPrn2())
                    : CString("WAAS PRNS: N/A"));
    }
}

}  // namespace morvane
