#include "app/zentrel_dlg.h"

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
#include <QThread>
#include <QTimer>

#include "app/dialog_layout.h"
#include "app/resource.h"

// Resources must be registered from the global namespace; the library holding them is static,
// so nothing would pull them in otherwise.
static void InitArtwork() { Q_INIT_RESOURCE(morvane); }

namespace morvane {
namespace {

QString ToQString(const std::string& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

CZentrelDlg::CZentrelDlg(SLoaderState* state, QWidget* parent)
    : QDialog(parent), m_controller(*state, *this) {
    InitArtwork();
    m_hIcon = QIcon(QString::fromLatin1(kAppIconPath));
    m_showBox = [this](const SNotice& notice, BoxKind kind) {
        QMessageBox box(kind == BoxKind::Warning ? QMessageBox::Warning : QMessageBox::NoIcon,
                        QStringLiteral("Morvane"), ToQString(notice.text), QMessageBox::Ok, this);
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

    m_nTimer = new QTimer(this);
    m_nTimer->setSingleShot(true);
    connect(m_nTimer, &QTimer::timeout, this, &CZentrelDlg::OnTimer);
    m_portTimer = new QTimer(this);
    connect(m_portTimer, &QTimer::timeout, this,
            [this] { m_controller.OnTimer(WindowTimer::PortScan); });
    connect(m_btnLoad, &QPushButton::clicked, this, &CZentrelDlg::OnLoad);
    connect(m_btnExit, &QPushButton::clicked, this, &CZentrelDlg::OnExit);
    connect(m_cbComPort, &QComboBox::activated, this, &CZentrelDlg::OnComPortSelEndOk);
    connect(m_cbComPort, &QComboBox::currentIndexChanged, this, &CZentrelDlg::OnComPortSelChange);

    m_destroyedWatch =
        std::make_unique<CWindowDestroyedWatch>(this, [this] { OnWindowDestroyed(); });
    QCoreApplication::instance()->installNativeEventFilter(m_destroyedWatch.get());
}

CZentrelDlg::~CZentrelDlg() { m_controller.WaitForLoadToEnd(); }

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
    m_controller.Init();
    return true;
}

int CZentrelDlg::DoModal() {
    OnInitDialog();
    return exec();
}

void CZentrelDlg::OnLoad() { m_controller.OnLoad(); }

void CZentrelDlg::OnExit() { done(0); }

void CZentrelDlg::OnComPortSelEndOk() { m_controller.OnSelectionConfirmed(); }

void CZentrelDlg::OnComPortSelChange(int index) { m_controller.OnSelectionChanged(index); }

void CZentrelDlg::OnTimer() { m_controller.OnTimer(WindowTimer::Status); }

void CZentrelDlg::done(int result) {
    if (m_controller.MayClose()) QDialog::done(result);
}

void CZentrelDlg::OnWindowDestroyed() {
    // Out of the event filter first: the wait serves events itself.
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_controller.WaitForLoadToEnd();
            QDialog::done(QDialog::Rejected);
        },
        Qt::QueuedConnection);
}

QLabel* CZentrelDlg::Label(WindowControl control) const {
    switch (control) {
        case WindowControl::Instructions: return m_stInstructions;
        case WindowControl::Warning: return m_stWarning;
        case WindowControl::FirmwareToLoad: return m_stFirmwareToLoad;
        case WindowControl::Status: return m_stStatus;
        case WindowControl::FirmwareOnDevice: return m_stFirmwareOnDevice;
        case WindowControl::Applications: return m_stApplications;
        case WindowControl::WaasPrns: return m_stWaasPrns;
        case WindowControl::Progress: return m_stProgress;
        case WindowControl::Percent: return m_stPercent;
        case WindowControl::RemainingTime: return m_stRemainingTime;
        default: return nullptr;
    }
}

QWidget* CZentrelDlg::Control(WindowControl control) const {
    switch (control) {
        case WindowControl::Load: return m_btnLoad;
        case WindowControl::Exit: return m_btnExit;
        case WindowControl::PortList: return m_cbComPort;
        default: return Label(control);
    }
}

QTimer* CZentrelDlg::Timer(WindowTimer timer) const {
    return timer == WindowTimer::Status ? m_nTimer : m_portTimer;
}

void CZentrelDlg::SetText(WindowControl control, const std::string& text) {
    if (control == WindowControl::Caption) {
        setWindowTitle(ToQString(text));
    } else if (QLabel* label = Label(control)) {
        label->setText(ToQString(text));
    }
}

void CZentrelDlg::SetProgressBar(int percent) { m_progress->setValue(percent); }

void CZentrelDlg::Enable(WindowControl control, bool enabled) {
    if (QWidget* widget = Control(control)) widget->setEnabled(enabled);
}

void CZentrelDlg::FillPortList(const std::vector<SPortItem>& items) {
    // Filling the list is not the user's choice: the selection handlers stay out of it.
    const QSignalBlocker quiet(m_cbComPort);
    m_cbComPort->clear();
    for (const SPortItem& item : items) m_cbComPort->addItem(ToQString(item.text), item.port);
}

void CZentrelDlg::SelectPortItem(int index) {
    const QSignalBlocker quiet(m_cbComPort);
    m_cbComPort->setCurrentIndex(index);
}

bool CZentrelDlg::PortListOpen() const { return m_cbComPort->view()->isVisible(); }

void CZentrelDlg::ShowBox(const SNotice& notice, BoxKind kind) { m_showBox(notice, kind); }

void CZentrelDlg::StartTimer(WindowTimer timer, int periodMs) { Timer(timer)->start(periodMs); }

void CZentrelDlg::StopTimer(WindowTimer timer) { Timer(timer)->stop(); }

void CZentrelDlg::RunOnUiThread(const std::function<void()>& task) {
    // A blocking call into the window's own thread would wait for itself.
    if (QThread::currentThread() == thread()) {
        task();
    } else {
        QMetaObject::invokeMethod(this, task, Qt::BlockingQueuedConnection);
    }
}

void CZentrelDlg::ServeEvents() {
    // A wake-up of its own, so the wait ends even when nothing else comes.
    QTimer::singleShot(50, this, [] {});
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

}  // namespace morvane
