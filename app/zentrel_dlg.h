// CZentrelDlg: the updater's only window. The user picks the COM port the receiver hangs on and
// presses Load; one load runs at a time on a worker thread while the window's controls are
// locked, and a 10 ms timer shows the load's progress from the shared record.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include <QDialog>
#include <QIcon>
#include <QSize>

#include "loader/load_seams.h"
#include "platform/text.h"
#include "serial/enumerate_com_ports.h"
#include "view/open_error_text.h"
#include "view/port_list.h"
#include "view/status_view.h"

class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

namespace morvane {

class CLoader;
class SLoaderState;
class CZentrelDlg;

// What a worker gets to run one load; the worker owns the loader and frees both.
struct SLoadThreadParam {
    SLoaderState* pState;
    CLoader* pLoader;
    CZentrelDlg* pDialog;
};

class CZentrelDlg : public QDialog {
    Q_OBJECT

public:
    // Makes the loader of one load; tests put a scripted one in place of the product's.
    using LoaderFactory = std::function<std::unique_ptr<CLoader>(SLoaderState*, LoaderDeps)>;
    using PortEnumerator = PortDiscovery;
    // Tells the user something the status line has no room for (a message box in the product).
    using NoticeReporter = std::function<void(const SNotice&)>;

    explicit CZentrelDlg(SLoaderState* state, QWidget* parent = nullptr);
    ~CZentrelDlg() override;

    void SetLoaderFactory(LoaderFactory factory) { m_loaderFactory = std::move(factory); }
    void SetPortEnumerator(PortEnumerator enumerator) { m_enumeratePorts = std::move(enumerator); }
    void SetNoticeReporter(NoticeReporter reporter) { m_reportNotice = std::move(reporter); }

    // Fills the port list, starts the status timer and sets the texts that depend on the
    // program; the controls exist from construction on.
    bool OnInitDialog();
    // OnInitDialog, then the window runs modally until it is closed.
    int DoModal();

    void FillComPortList();
    void FillComPortListFor(int port);
    // Discovery again, and the list brought up to date: ports that came appear, ports that went
    // disappear, and the selection stays on its port while that port is there. Nothing while a
    // load runs or while the user has the list open. The port timer runs it every kPortScanMs.
    void RescanPorts();

    // One pass of the status display; the timer runs it every 10 ms, the worker once at the end.
    void RefreshStatus();

    // The control with a layout id, or nullptr.
    [[nodiscard]] QWidget* GetDlgItem(int id) const;
    // True from Load until the worker has given the controls back.
    [[nodiscard]] bool IsLoadActive() const { return m_bLoadActive; }
    [[nodiscard]] QSize GetBaseUnits() const { return m_baseUnits; }
    // Returns once no worker is left; the window's events are served meanwhile. Closing the
    // window already waits, so this matters only when the window's event loop was ended from
    // outside (the application quitting) while a load ran.
    void WaitForLoadToEnd();

    // Members in the order of the window's design; the widgets belong to the dialog.
    QIcon m_hIcon;
    QPushButton* m_btnExit = nullptr;
    QPushButton* m_btnLoad = nullptr;
    SLoaderState* m_pState = nullptr;
    CLoader* m_pLoader = nullptr;   // the latest load's; owned and destroyed by its worker
    QTimer* m_nTimer = nullptr;     // the status timer, single-shot and restarted after each pass
    QTimer* m_portTimer = nullptr;  // brings the port list up to date
    QComboBox* m_cbComPort = nullptr;
    QLabel* m_stStatus = nullptr;
    QLabel* m_stFirmwareOnDevice = nullptr;
    QLabel* m_stWaasPrns = nullptr;      // no place in this layout: kept up to date, never shown
    QLabel* m_stApplications = nullptr;  // likewise
    QLabel* m_stProgress = nullptr;
    QProgressBar* m_progress = nullptr;
    QLabel* m_stFirmwareToLoad = nullptr;
    QLabel* m_stRemainingTime = nullptr;
    QLabel* m_stInstructions = nullptr;
    QLabel* m_stWarning = nullptr;
    QLabel* m_stPercent = nullptr;
    QLabel* m_stComPortLabel = nullptr;

public slots:
    void OnLoad();
    void OnExit();
    void OnComPortSelEndOk();
    void OnComPortSelChange();
    void OnTimer();

public:
    // Closing is refused while a load runs: the worker needs the window and the record until
    // it ends, and a transfer cut off half-way can leave the receiver without firmware.
    void done(int result) override;

private:
    void DoDataExchange();
    // Fills the list for the ports discovery finds and selects its first item.
    void FillPorts(int startPort);
    void SetPortItems(const std::vector<SPortItem>& items);
    // Puts what the view holds on screen.
    void ShowControlStates();
    void ShowStatusArea();
    void OnLoadEnded(std::int32_t finalStatus);
    static void LoadThreadProc(std::unique_ptr<SLoadThreadParam> param);

    QSize m_baseUnits;
    std::map<int, QWidget*> m_controls;
    CStatusView m_view;
    bool m_bLoadActive = false;
    bool m_bRefusingClose = false;  // the box that says why is open
    int m_startPort = -1;           // the port the list was filled for; -1 for none
    std::vector<SPortItem> m_portItems;
    std::thread m_worker;
    std::unique_ptr<IPrompt> m_prompt;
    LoaderFactory m_loaderFactory;
    PortEnumerator m_enumeratePorts;
    NoticeReporter m_reportNotice;
};

}  // namespace morvane
