#include "app/win32/zentrel_dlg_win32.h"

#include <string>
#include <utility>

#include "app/resource.h"
#include "app/win32/banner_win32.h"
#include "platform/wide_text_win32.h"

// After the product's headers: the system's macros must not rename the product's own names.
#include <windows.h>
// Holding off the end of the session needs the system's types.
#include "platform/session_end_win32.h"
#include "serial/comm_calls_win32.h"
// The common controls and the device-change records need the system's types first.
#include <commctrl.h>
#include <dbt.h>

namespace morvane {
namespace {

constexpr const wchar_t* kBoxCaption = L"Morvane";

// WM_DEVICECHANGE's events (dbt.h): a device arrived, was removed, or the device tree changed.
constexpr std::uintptr_t kDeviceArrival = 0x8000;
constexpr std::uintptr_t kDeviceRemoveComplete = 0x8004;
constexpr std::uintptr_t kDevNodesChanged = 0x0007;

// The window is a Unicode one: its texts go in and out as UTF-16, whatever the code page.
std::wstring GetText(HWND control) {
    std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(control)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        ::GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
    return text;
}

// Windows tells every window of a port whose device went away: a load on that port learns it
// from its device at once, even where the port's driver says nothing itself.
void NoteRemovedPort(LPARAM lParam) {
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
    if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_PORT) return;
    NotePortRemoved(Utf8FromWide(reinterpret_cast<const DEV_BROADCAST_PORT_W*>(header)->dbcp_name));
}

INT_PTR CALLBACK DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) ::SetWindowLongPtrW(hWnd, DWLP_USER, lParam);
    auto* dialog = reinterpret_cast<CZentrelDlg*>(::GetWindowLongPtrW(hWnd, DWLP_USER));
    if (dialog == nullptr) return FALSE;
    std::intptr_t result = 0;
    if (!dialog->OnMessage(hWnd, message, wParam, lParam, result)) return FALSE;
    if (message == WM_INITDIALOG || message == WM_QUERYDRAGICON) return result;
    ::SetWindowLongPtrW(hWnd, DWLP_MSGRESULT, result);
    return TRUE;
}

}  // namespace

CZentrelDlg::CZentrelDlg(SLoaderState* state, Window parent)
    : m_parent(parent), m_controller(*state, *this) {
    m_hIcon =
        static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_APP),
                                        IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
    m_showBox = [this](const SNotice& notice, BoxKind kind) {
        // A system box has no place for details of their own: they go below the headline.
        const std::string text =
            notice.detail.empty() ? notice.text : notice.text + "\n\n" + notice.detail;
        ::MessageBoxW(m_hWnd, WideFromUtf8(text).c_str(), kBoxCaption,
                      kind == BoxKind::Warning ? MB_OK | MB_ICONWARNING : MB_OK);
    };
}

CZentrelDlg::~CZentrelDlg() {
    m_controller.WaitForLoadToEnd();
    if (m_hWnd != nullptr) ::DestroyWindow(m_hWnd);
}

std::intptr_t CZentrelDlg::DoModal() {
    m_bModal = true;
    const INT_PTR result =
        ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MAIN_DIALOG), m_parent,
                          DialogProc, reinterpret_cast<LPARAM>(this));
    m_bModal = false;
    return result;
}

CZentrelDlg::Window CZentrelDlg::Create() {
    ::CreateDialogParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MAIN_DIALOG), m_parent,
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
            m_controller.OnTimer(wParam == IDT_PORT_SCAN ? WindowTimer::PortScan
                                                         : WindowTimer::Status);
            return true;
        case WM_COMMAND: {
            const unsigned id = LOWORD(wParam);
            const unsigned code = HIWORD(wParam);
            if (id == IDC_LOAD && code == BN_CLICKED) {
                m_controller.OnLoad();
            } else if (id == IDC_EXIT && code == BN_CLICKED) {
                Close(0);
            } else if (id == IDC_COMPORT && code == CBN_SELENDOK) {
                m_controller.OnSelectionConfirmed();
            } else if (id == IDC_COMPORT && code == CBN_SELCHANGE) {
                m_controller.OnSelectionChanged(
                    static_cast<int>(::SendMessageW(m_cbComPort, CB_GETCURSEL, 0, 0)));
            } else if (id == IDC_COMPORT && code == CBN_KILLFOCUS) {
                m_controller.OnPortFieldLeft();
            } else if (id == IDCANCEL) {
                Close(IDCANCEL);
            } else if (id != IDOK) {
                // Enter while Load is disabled arrives as IDOK: like a click on the disabled
                // button, it does nothing.
                return false;
            }
            return true;
        }
        case kMsgRun: (*reinterpret_cast<const std::function<void()>*>(lParam))(); return true;
        case WM_DEVICECHANGE:
            // An adapter came or went: the list follows at once, from a scan off this thread
            // (Windows asks that these messages be handled quickly). The port timer stays as the
            // fallback for ports no such message announces (Wine's, a driver that sends none).
            if (wParam == kDeviceRemoveComplete) NoteRemovedPort(lParam);
            if (wParam == kDeviceArrival || wParam == kDeviceRemoveComplete ||
                wParam == kDevNodesChanged)
                m_controller.RescanPorts();
            result = TRUE;
            return true;
        case WM_QUERYENDSESSION:
            // Log-off, shutdown and "Update and restart" wait while the image goes out; Windows
            // shows the reason given when the load started.
            result = m_controller.ImageGoingOut() ? FALSE : TRUE;
            return true;
        case WM_ENDSESSION:
            // "Shut down anyway": the port is closed before Windows ends the program.
            if (wParam != FALSE) m_controller.StopLoad();
            return true;
        case WM_DESTROY:
            m_hWndForWorker.store(nullptr);
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
    ::SendMessageW(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
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
    m_uiThread = ::GetCurrentThreadId();
    m_hWndForWorker.store(m_hWnd);
    ::SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    ::SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
    ::SendMessageW(m_progress, PBM_SETRANGE32, 0, 100);
    m_controller.Init();
    return true;
}

void CZentrelDlg::Close(std::intptr_t result) {
    if (!m_controller.MayClose()) return;
    if (m_bModal) {
        ::EndDialog(m_hWnd, result);
    } else {
        ::DestroyWindow(m_hWnd);
    }
}

CZentrelDlg::Window CZentrelDlg::Control(WindowControl control) const {
    switch (control) {
        case WindowControl::Caption: return m_hWnd;
        case WindowControl::Instructions: return m_stInstructions;
        case WindowControl::Warning: return m_stWarning;
        case WindowControl::FirmwareToLoad: return m_stFirmwareToLoad;
        case WindowControl::Load: return m_btnLoad;
        case WindowControl::Exit: return m_btnExit;
        case WindowControl::PortList: return m_cbComPort;
        case WindowControl::Status: return m_stStatus;
        case WindowControl::FirmwareOnDevice: return m_stFirmwareOnDevice;
        case WindowControl::Progress: return m_stProgress;
        case WindowControl::Percent: return m_stPercent;
        case WindowControl::RemainingTime: return m_stRemainingTime;
        case WindowControl::Applications:
        case WindowControl::WaasPrns: return nullptr;
    }
    return nullptr;
}

void CZentrelDlg::SetText(WindowControl control, const std::string& text) {
    // Rewriting a control with the text it already shows makes it flicker at every timer tick.
    HWND window = Control(control);
    const std::wstring wide = WideFromUtf8(text);
    if (window != nullptr && GetText(window) != wide) ::SetWindowTextW(window, wide.c_str());
}

void CZentrelDlg::SetProgressBar(int percent) {
    ::SendMessageW(m_progress, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
}

void CZentrelDlg::Enable(WindowControl control, bool enabled) {
    ::EnableWindow(Control(control), enabled ? TRUE : FALSE);
    // Disabling Load during a load took the keyboard focus away with it; give it back, so Enter
    // starts the next load and Escape closes the window.
    if (control == WindowControl::Load && enabled && ::GetFocus() == nullptr)
        ::SendMessageW(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(m_btnLoad), TRUE);
}

void CZentrelDlg::FillPortList(const std::vector<SPortItem>& items) {
    // Messages sent to the list are not the user's choice: no selection handler runs here.
    ::SendMessageW(m_cbComPort, CB_RESETCONTENT, 0, 0);
    for (const SPortItem& item : items) {
        const std::wstring text = WideFromUtf8(item.text);
        const LRESULT index =
            ::SendMessageW(m_cbComPort, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
        ::SendMessageW(m_cbComPort, CB_SETITEMDATA, static_cast<WPARAM>(index), item.port);
    }
}

void CZentrelDlg::SelectPortItem(int index) {
    // Also puts the item's text back into the list's field, over whatever was typed there.
    ::SendMessageW(m_cbComPort, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

bool CZentrelDlg::PortListOpen() const {
    return ::SendMessageW(m_cbComPort, CB_GETDROPPEDSTATE, 0, 0) != FALSE;
}

void CZentrelDlg::ShowBox(const SNotice& notice, BoxKind kind) { m_showBox(notice, kind); }

void CZentrelDlg::StartTimer(WindowTimer timer, int periodMs) {
    const UINT_PTR id = timer == WindowTimer::Status ? IDT_STATUS : IDT_PORT_SCAN;
    const UINT_PTR started = ::SetTimer(m_hWnd, id, static_cast<UINT>(periodMs), nullptr);
    (timer == WindowTimer::Status ? m_nTimer : m_nPortTimer) = started;
}

void CZentrelDlg::StopTimer(WindowTimer timer) {
    std::uintptr_t& running = timer == WindowTimer::Status ? m_nTimer : m_nPortTimer;
    if (running != 0) ::KillTimer(m_hWnd, running);
    running = 0;
}

void CZentrelDlg::RunOnUiThread(const std::function<void()>& task) {
    if (::GetCurrentThreadId() == m_uiThread) {
        task();
        return;
    }
    // A window that is gone answers at once, without running the task.
    ::SendMessageW(m_hWndForWorker.load(), kMsgRun, 0, reinterpret_cast<LPARAM>(&task));
}

void CZentrelDlg::LoadRunning(bool running, const std::string& why) {
    if (running) {
        HoldOffSessionEnd(m_hWnd, why);
    } else {
        AllowSessionEnd(m_hWnd);
    }
}

void CZentrelDlg::ServeEvents() {
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (m_hWnd == nullptr || !::IsDialogMessageW(m_hWnd, &message)) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }
}

}  // namespace morvane
