// CZentrelDlg on Windows: the updater's only window, the dialog IDD_MAIN_DIALOG of the program's
// resources. The user picks the COM port the receiver hangs on and presses Load; one load runs at
// a time on a worker thread while the window's controls are locked, and a 10 ms timer shows the
// load's progress from the shared record through the status view every program shares.
//
// No system header here: windows.h defines many common names as macros, so only the dialog's own
// source includes it, after everything else.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "loader/load_seams.h"
#include "platform/text.h"
#include "serial/enumerate_com_ports.h"
#include "view/open_error_text.h"
#include "view/port_list.h"
#include "view/status_view.h"

struct HWND__;
struct HICON__;

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

class CZentrelDlg {
public:
    using Window = HWND__*;
    // Makes the loader of one load; tests put a scripted one in place of the product's.
    using LoaderFactory = std::function<std::unique_ptr<CLoader>(SLoaderState*, LoaderDeps)>;
    using PortEnumerator = PortDiscovery;
    // The loader's message boxes: a box in the product, a record in tests.
    using Notifier = std::function<void(const CString&)>;
    // Tells the user something the status line has no room for (a warning box in the product).
    using NoticeReporter = std::function<void(const SNotice&)>;

    // Messages the worker sends the window; each completes on the window's thread before the
    // worker goes on.
    static constexpr unsigned kMsgRefresh = 0x8000 + 1;    // WM_APP + 1: one status pass
    static constexpr unsigned kMsgLoadEnded = 0x8000 + 2;  // the controls come back
    static constexpr unsigned kMsgPrompt = 0x8000 + 3;     // the loader's box; lParam the text
    static constexpr unsigned kMsgNotice = 0x8000 + 4;     // why the port would not open

    explicit CZentrelDlg(SLoaderState* state, Window parent = nullptr);
    ~CZentrelDlg();
    CZentrelDlg(const CZentrelDlg&) = delete;
    CZentrelDlg& operator=(const CZentrelDlg&) = delete;

    void SetLoaderFactory(LoaderFactory factory) { m_loaderFactory = std::move(factory); }
    void SetPortEnumerator(PortEnumerator enumerator) { m_enumeratePorts = std::move(enumerator); }
    // Warnings (discovery failed, closing refused, why a port would not open) and the loader's
    // message boxes: boxes on the window in the product, records in tests.
    void SetNoticeReporter(NoticeReporter reporter) { m_reportNotice = std::move(reporter); }
    void SetMessageBox(Notifier box) { m_messageBox = std::move(box); }

    // Runs the window modally until it is closed; the result it was ended with.
    std::intptr_t DoModal();
    // The same window, modeless: returns once it is initialised (tests and pictures drive it
    // with messages). Destroyed with the object.
    Window Create();
    [[nodiscard]] Window GetSafeHwnd() const { return m_hWnd; }

    // One pass of the status display; the timer runs it every 10 ms, the worker once at the end.
    void RefreshStatus();
    // Discovery again, and the list brought up to date: ports that came appear, ports that went
    // disappear, and the selection stays on its port while that port is there. Nothing while a
    // load runs or while the user has the list open. The port timer runs it every kPortScanMs.
    void RescanPorts();
    // True from Load until the worker has given the controls back.
    [[nodiscard]] bool IsLoadActive() const { return m_bLoadActive; }
    // Returns once no worker is left; the window's messages are served meanwhile, so the
    // worker's last calls on it go through.
    void WaitForLoadToEnd();

    // The dialog's message map, for the window `hWnd` it runs in; true when the message was
    // handled, with the answer in `result`.
    bool OnMessage(Window hWnd, unsigned message, std::uintptr_t wParam, std::intptr_t lParam,
                   std::intptr_t& result);

    // Members in the order of the window's design; the controls belong to the window.
    HICON__* m_hIcon = nullptr;
    Window m_btnExit = nullptr;
    Window m_btnLoad = nullptr;
    SLoaderState* m_pState = nullptr;
    CLoader* m_pLoader = nullptr;  // the latest load's; owned and destroyed by its worker
    std::uintptr_t m_nTimer = 0;
    Window m_cbComPort = nullptr;
    Window m_stStatus = nullptr;
    Window m_stFirmwareOnDevice = nullptr;
    Window m_stProgress = nullptr;
    Window m_progress = nullptr;
    Window m_stFirmwareToLoad = nullptr;
    Window m_stRemainingTime = nullptr;
    Window m_stInstructions = nullptr;
    Window m_stWarning = nullptr;
    Window m_stPercent = nullptr;
    Window m_stComPortLabel = nullptr;

private:
    bool OnInitDialog();
    void OnPaint();
    void DoDataExchange();
    void FillComPortList();
    void FillComPortListFor(int port);
    void FillPorts(int startPort);
    void SetPortItems(const std::vector<SPortItem>& items);
    [[nodiscard]] int SelectedPort() const;
    // Puts the selected item's text back into the list's field.
    void ShowSelectedPort();
    void OnLoad();
    void OnExit();
    // Escape, the close box and Alt+F4; refused while a load runs.
    void OnCancel();
    void OnComPortSelEndOk();
    void OnComPortSelChange();
    void OnTimer();
    void OnLoadEnded(std::optional<SNotice> notice);
    void OnNotice();
    void EndDialog(std::intptr_t result);
    void ShowControlStates();
    void ShowStatusArea();
    static void LoadThreadProc(std::unique_ptr<SLoadThreadParam> param);

    Window m_hWnd = nullptr;
    Window m_parent = nullptr;
    bool m_bModal = false;
    bool m_bLoadActive = false;
    CStatusView m_view;
    int m_startPort = -1;  // the port of "-com", or -1
    std::vector<SPortItem> m_portItems;
    std::uintptr_t m_nPortTimer = 0;
    std::optional<SNotice> m_pendingNotice;
    std::thread m_worker;
    std::unique_ptr<IPrompt> m_prompt;
    LoaderFactory m_loaderFactory;
    PortEnumerator m_enumeratePorts;
    NoticeReporter m_reportNotice;
    Notifier m_messageBox;
};

}  // namespace morvane
