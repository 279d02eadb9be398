#include "app/win32/zentrel_dlg_win32.h"

#include <exception>
#include <string>
#include <utility>

#include "app/resource.h"
#include "app/win32/banner_win32.h"
#include "loader/loader.h"
#include "loader/loader_w6.h"
#include "platform/debug.h"
#include "record/loader_state.h"
#include "record/loader_status.h"
#include "serial/open_error_facts.h"

// After the product's headers: the system's macros must not rename the product's own names.
#include <windows.h>
// The common controls need the system's types first.
#include <commctrl.h>

namespace morvane {
namespace {

constexpr const char* kBoxCaption = "Morvane";

// The loader's message boxes belong to the window's thread: the worker hands the text over and
// waits until the user has closed the box.
class CWin32Prompt final : public IPrompt {
public:
    explicit CWin32Prompt(CZentrelDlg& dialog) : m_dialog(dialog) {}
    void ShowMessage(const CString& text) override {
        ::SendMessageA(m_dialog.GetSafeHwnd(), CZentrelDlg::kMsgPrompt, 0,
                       reinterpret_cast<LPARAM>(&text));
    }

private:
    CZentrelDlg& m_dialog;
};

std::string GetText(HWND control) {
    std::string text(static_cast<std::size_t>(::GetWindowTextLengthA(control)) + 1, '\0');
    text.resize(static_cast<std::size_t>(
        ::GetWindowTextA(control, text.data(), static_cast<int>(text.size()))));
    return text;
}

// Rewriting a control with the text it already shows makes it flicker at every timer tick.
void SetText(HWND control, const std::string& text) {
    if (GetText(control) != text) ::SetWindowTextA(control, text.c_str());
}

INT_PTR CALLBACK DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) ::SetWindowLongPtrA(hWnd, DWLP_USER, lParam);
    auto* dialog = reinterpret_cast<CZentrelDlg*>(::GetWindowLongPtrA(hWnd, DWLP_USER));
    if (dialog == nullptr) return FALSE;
    std::intptr_t result = 0;
    if (!dialog->OnMessage(hWnd, message, wParam, lParam, result)) return FALSE;
    if (message == WM_INITDIALOG || message == WM_QUERYDRAGICON) return result;
    ::SetWindowLongPtrA(hWnd, DWLP_MSGRESULT, result);
    return TRUE;
}

}  // namespace

CZentrelDlg::CZentrelDlg(SLoaderState* state, Window parent)
    : m_pState(state), m_parent(parent), m_prompt(std::make_unique<CWin32Prompt>(*this)) {
    m_hIcon =
        static_cast<HICON>(::LoadImageA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_APP),
                                        IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
    m_loaderFactory = [](SLoaderState* s, LoaderDeps deps) -> std::unique_ptr<CLoader> {
        return std::make_unique<CLoaderW6>(s, std::move(deps));
    };
    m_enumeratePorts = [](CArray<SSerInfo, SSerInfo&>& ports) { EnumerateComPorts(ports); };
    m_reportNotice = [this](const SNotice& notice) {
        // A system box has no place for details of their own: they go below the headline.
        const std::string text =
            notice.detail.empty() ? notice.text : notice.text + "\n\n" + notice.detail;
        ::MessageBoxA(m_hWnd, text.c_str(), kBoxCaption, MB_OK | MB_ICONWARNING);
    };
    m_messageBox = [this](const CString& text) {
        ::MessageBoxA(m_hWnd, text.c_str(), kBoxCaption, MB_OK);
    };
}

CZentrelDlg::~CZentrelDlg() {
    WaitForLoadToEnd();
    if (m_hWnd != nullptr) ::DestroyWindow(m_hWnd);
}

std::intptr_t CZentrelDlg::DoModal() {
    m_bModal = true;
    const INT_PTR result =
        ::DialogBoxParamA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_MAIN_DIALOG), m_parent,
                          DialogProc, reinterpret_cast<LPARAM>(this));
    m_bModal = false;
    return result;
}

CZentrelDlg::Window CZentrelDlg::Create() {
    ::CreateDialogParamA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_MAIN_DIALOG), m_parent,
                         DialogProc, reinterpret_cast<LPARAM>(this));
    return m_hWnd;
}

bool CZentrelDlg::OnMessage(Window hWnd, unsigned message, std::uintptr_t wParam,
                            std::intptr_t lParam, std::intptr_t& result) {
    switch (message) {
        case WM_INITDIALOG:
            m_hWnd = hWnd;
            result = OnInitDialog() ? TRUE : FALSE;
            return true;
        case WM_PAINT:
            if (::IsIconic(hWnd) == FALSE) return false;
            OnPaint();
            return true;
        case WM_QUERYDRAGICON: result = reinterpret_cast<std::intptr_t>(m_hIcon); return true;
        case WM_TIMER:
            if (wParam == IDT_PORT_SCAN) {
                RescanPorts();
            } else {
                OnTimer();
            }
            return true;
        case WM_COMMAND: {
            const unsigned id = LOWORD(wParam);
            const unsigned code = HIWORD(wParam);
            if (id == IDC_LOAD && code == BN_CLICKED) {
                OnLoad();
            } else if (id == IDC_EXIT && code == BN_CLICKED) {
                OnExit();
            } else if (id == IDC_COMPORT && code == CBN_SELENDOK) {
                OnComPortSelEndOk();
            } else if (id == IDC_COMPORT && code == CBN_SELCHANGE) {
                OnComPortSelChange();
            } else if (id == IDC_COMPORT && code == CBN_KILLFOCUS) {
                ShowSelectedPort();
            } else if (id == IDCANCEL) {
                OnCancel();
            } else if (id != IDOK) {
                // Enter while Load is disabled arrives as IDOK: like a click on the disabled
                // button, it does nothing.
                return false;
            }
            return true;
        }
        case kMsgRefresh: RefreshStatus(); return true;
        case kMsgLoadEnded:
            OnLoadEnded(*reinterpret_cast<const std::optional<SNotice>*>(lParam));
            return true;
        case kMsgPrompt: m_messageBox(*reinterpret_cast<const CString*>(lParam)); return true;
        case kMsgNotice: OnNotice(); return true;
        case WM_DESTROY:
            if (m_nTimer != 0) ::KillTimer(m_hWnd, m_nTimer);
            if (m_nPortTimer != 0) ::KillTimer(m_hWnd, m_nPortTimer);
            m_nTimer = 0;
            m_nPortTimer = 0;
            m_hWnd = nullptr;
            return false;
        default: return false;
    }
}

void CZentrelDlg::OnPaint() {
    // Minimised, where a system still draws the window itself, the window is its icon.
    PAINTSTRUCT paint;
    HDC dc = ::BeginPaint(m_hWnd, &paint);
    ::SendMessageA(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    ::GetClientRect(m_hWnd, &client);
    const int x = (client.right - client.left - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (client.bottom - client.top - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
    ::DrawIcon(dc, x, y, m_hIcon);
    ::EndPaint(m_hWnd, &paint);
}

void CZentrelDlg::DoDataExchange() {
    m_btnExit = ::GetDlgItem(m_hWnd, IDC_EXIT);
    m_btnLoad = ::GetDlgItem(m_hWnd, IDC_LOAD);
    m_cbComPort = ::GetDlgItem(m_hWnd, IDC_COMPORT);
    m_stStatus = ::GetDlgItem(m_hWnd, IDC_STATUS);
    m_stFirmwareOnDevice = ::GetDlgItem(m_hWnd, IDC_FIRMWARE_ON_DEVICE);
    m_stProgress = ::GetDlgItem(m_hWnd, IDC_PROGRESS_TEXT);
    m_progress = ::GetDlgItem(m_hWnd, IDC_PROGRESS);
    m_stFirmwareToLoad = ::GetDlgItem(m_hWnd, IDC_FIRMWARE_TO_LOAD);
    m_stRemainingTime = ::GetDlgItem(m_hWnd, IDC_REMAINING_TIME);
    m_stInstructions = ::GetDlgItem(m_hWnd, IDC_INSTRUCTIONS);
    m_stWarning = ::GetDlgItem(m_hWnd, IDC_WARNING);
    m_stPercent = ::GetDlgItem(m_hWnd, IDC_PERCENT);
    m_stComPortLabel = ::GetDlgItem(m_hWnd, IDC_COMPORT_LABEL);
    // The applications and WAAS lines have no control in this layout: the status view keeps
    // them, so the codes that write them work with or without a place to show them.
}

bool CZentrelDlg::OnInitDialog() {
    DoDataExchange();
    ShowBannerAtScreenScale(m_hWnd);
    ::SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    ::SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
    const int startPort = m_pState->GetStartPort();
    if (startPort == -1) {
        FillComPortList();
    } else {
        FillComPortListFor(startPort);
    }
    m_nTimer = ::SetTimer(m_hWnd, IDT_STATUS, 10, nullptr);
    m_nPortTimer = ::SetTimer(m_hWnd, IDT_PORT_SCAN, kPortScanMs, nullptr);
    // Load waits for the user's choice even when the list already shows a port.
    ShowControlStates();
    SetText(m_stInstructions, kInstructionsText);
    SetText(m_stWarning, kDamageWarning);
    ::SetWindowTextA(m_hWnd, WindowCaption().c_str());
    SetText(m_stFirmwareToLoad, FirmwareToLoadText());
    ::SendMessageA(m_progress, PBM_SETRANGE32, 0, 100);
    ShowStatusArea();
    return true;
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
    SetPortItems(PortListItems(ports, startPort));
    ::SendMessageA(m_cbComPort, CB_SETCURSEL, 0, 0);
}

void CZentrelDlg::SetPortItems(const std::vector<SPortItem>& items) {
    // Messages sent to the list are not the user's choice: no selection handler runs here.
    ::SendMessageA(m_cbComPort, CB_RESETCONTENT, 0, 0);
    for (const SPortItem& item : items) {
        const LRESULT index = ::SendMessageA(m_cbComPort, CB_ADDSTRING, 0,
                                             reinterpret_cast<LPARAM>(item.text.c_str()));
        ::SendMessageA(m_cbComPort, CB_SETITEMDATA, static_cast<WPARAM>(index), item.port);
    }
    m_portItems = items;
}

void CZentrelDlg::FillComPortList() { FillPorts(-1); }

void CZentrelDlg::FillComPortListFor(int port) { FillPorts(port); }

void CZentrelDlg::RescanPorts() {
    if (m_bLoadActive || ::SendMessageA(m_cbComPort, CB_GETDROPPEDSTATE, 0, 0) != FALSE) return;
    const std::optional<std::vector<SPortItem>> items =
        RescanPortItems(m_enumeratePorts, m_startPort, m_portItems);
    if (!items) return;

    const int selected = SelectedPort();
    SetPortItems(*items);
    const int index = IndexOfPort(*items, selected);
    ::SendMessageA(m_cbComPort, CB_SETCURSEL, static_cast<WPARAM>(index >= 0 ? index : 0), 0);
    if (index < 0) {
        // The chosen port went away: Load waits for a new choice, as at the start, rather than
        // load whatever port now comes first.
        m_view.SelectionChanged(0);
        ShowControlStates();
    }
}

int CZentrelDlg::SelectedPort() const {
    const LRESULT index = ::SendMessageA(m_cbComPort, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR) return 0;
    return static_cast<int>(
        ::SendMessageA(m_cbComPort, CB_GETITEMDATA, static_cast<WPARAM>(index), 0));
}

void CZentrelDlg::ShowSelectedPort() {
    // Text typed into the list's field is never read: once editing ends, the field shows the
    // item whose port Load will use again, so the screen never names another port.
    const LRESULT index = ::SendMessageA(m_cbComPort, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR) return;
    std::string text(static_cast<std::size_t>(::SendMessageA(m_cbComPort, CB_GETLBTEXTLEN,
                                                             static_cast<WPARAM>(index), 0)) +
                         1,
                     '\0');
    const LRESULT length = ::SendMessageA(m_cbComPort, CB_GETLBTEXT, static_cast<WPARAM>(index),
                                          reinterpret_cast<LPARAM>(text.data()));
    text.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    SetText(m_cbComPort, text);
}

void CZentrelDlg::OnComPortSelEndOk() {
    m_view.SelectionConfirmed();
    ShowControlStates();
}

void CZentrelDlg::OnComPortSelChange() {
    m_view.SelectionChanged(SelectedPort());
    ShowControlStates();
}

void CZentrelDlg::OnExit() {
    if (m_bLoadActive) return;
    EndDialog(0);
}

void CZentrelDlg::OnCancel() {
    if (m_bLoadActive) {
        m_reportNotice({kCloseRefusedText, {}});
        return;
    }
    EndDialog(IDCANCEL);
}

void CZentrelDlg::EndDialog(std::intptr_t result) {
    // The last worker may still be closing its port and freeing its loader.
    WaitForLoadToEnd();
    if (m_bModal) {
        ::EndDialog(m_hWnd, result);
    } else {
        ::DestroyWindow(m_hWnd);
    }
}

void CZentrelDlg::WaitForLoadToEnd() {
    // The worker's last calls run on this thread: serve them until it has given the controls
    // back. A window that is already gone answers the worker at once.
    while (m_bLoadActive && m_hWnd != nullptr && ::IsWindow(m_hWnd)) {
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG message;
        while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (!::IsDialogMessageA(m_hWnd, &message)) {
                ::TranslateMessage(&message);
                ::DispatchMessageA(&message);
            }
        }
    }
    if (m_worker.joinable()) m_worker.join();
    m_bLoadActive = false;
}

void CZentrelDlg::ShowControlStates() {
    const SControlStates& controls = m_view.Controls();
    ::EnableWindow(m_btnExit, controls.exit ? TRUE : FALSE);
    ::EnableWindow(m_btnLoad, controls.load ? TRUE : FALSE);
    ::EnableWindow(m_cbComPort, controls.portList ? TRUE : FALSE);
}

void CZentrelDlg::ShowStatusArea() {
    const SStatusArea& area = m_view.Area();
    SetText(m_stStatus, area.status);
    SetText(m_stFirmwareOnDevice, area.firmwareOnDevice);
    SetText(m_stProgress, area.progress);
    SetText(m_stPercent, area.percent);
    ::SendMessageA(m_progress, PBM_SETPOS, static_cast<WPARAM>(area.bar), 0);
    SetText(m_stRemainingTime, area.remainingTime);
}

void CZentrelDlg::OnLoad() {
    if (m_bLoadActive || SelectedPort() == 0) return;
    // The previous worker's last steps reset the record: they must be over before it is reused.
    WaitForLoadToEnd();
    ShowSelectedPort();
    m_pState->Reset();
    m_bLoadActive = true;
    m_view.LoadStarted();
    ShowControlStates();
    ShowStatusArea();
    m_pState->SetComPort(SelectedPort());
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
    const HWND window = param->pDialog->GetSafeHwnd();
    try {
        loader->Run();
    } catch (const std::exception& error) {
        // The window must come back whatever happened to the load.
        morvane::OutputDebugStringA(Format("Load ended by an error: %s\n", error.what()).c_str());
    } catch (...) {
        morvane::OutputDebugStringA("Load ended by an error\n");
    }
    // Why the port would not open is known only to the loader's device: ask before it goes,
    // here rather than on the window's thread, since the facts come from the system.
    std::optional<SNotice> notice;
    if (param->pState->GetStatus() == STATUS_INVALID_PORT) {
        const OpenError& error = loader->LastOpenError();
        notice = OpenFailureNotice(error, param->pState->GetComPort(), GatherOpenErrorFacts(error));
    }
    // Shows what the load wrote last even if it ended between two timer ticks.
    ::SendMessageA(window, CZentrelDlg::kMsgRefresh, 0, 0);
    param->pState->SetLoadRunning(false);
    ::SendMessageA(window, CZentrelDlg::kMsgLoadEnded, 0, reinterpret_cast<LPARAM>(&notice));
    param->pState->Reset();
    loader.reset();
}

void CZentrelDlg::OnLoadEnded(std::optional<SNotice> notice) {
    // The record keeps the last status through its reset, which comes after this.
    m_view.LoadEnded(m_pState->GetStatus());
    ShowControlStates();
    ShowStatusArea();
    m_bLoadActive = false;
    // Disabling Load took the keyboard focus away with it; give it back, so Enter starts the
    // next load and Escape closes the window.
    if (::GetFocus() == nullptr) {
        ::SendMessageA(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(m_btnLoad), TRUE);
    }
    // Shown once the window is back, while the worker finishes.
    if (notice) {
        m_pendingNotice = std::move(notice);
        ::PostMessageA(m_hWnd, kMsgNotice, 0, 0);
    }
}

void CZentrelDlg::OnNotice() {
    if (!m_pendingNotice) return;
    const SNotice notice = *m_pendingNotice;
    m_pendingNotice.reset();
    m_reportNotice(notice);
}

void CZentrelDlg::OnTimer() {
    // The period counts from the end of one pass to the next tick.
    ::KillTimer(m_hWnd, m_nTimer);
    RefreshStatus();
    m_nTimer = ::SetTimer(m_hWnd, IDT_STATUS, 10, nullptr);
}

void CZentrelDlg::RefreshStatus() {
    if (m_view.Refresh(*m_pState)) ShowStatusArea();
}

}  // namespace morvane
