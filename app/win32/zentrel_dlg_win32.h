// CZentrelDlg on Windows: the updater's only window, the dialog IDD_MAIN_DIALOG of the program's
// resources on the system's dialog manager. The user picks the COM port the receiver hangs on and
// presses Load; what follows (the load, the controls locked meanwhile, the status display, the
// boxes) is the window controller's. The dialog hands the user's actions to the controller and
// puts on screen what it is told.
//
// No system header here: windows.h defines many common names as macros, so only the dialog's own
// source includes it, after everything else.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "app/window_controller.h"

struct HWND__;
struct HICON__;

namespace morvane {

class SLoaderState;

class CZentrelDlg : private IWindowFace {
public:
    using Window = HWND__*;
    // Shows a box on the window; tests record it instead.
    using BoxShower = std::function<void(const SNotice&, BoxKind)>;

    // A task a load's worker hands the window's thread (WM_APP + 1; lParam the task); it
    // completes before the worker goes on.
    static constexpr unsigned kMsgRun = 0x8000 + 1;

    explicit CZentrelDlg(SLoaderState* state, Window parent = nullptr);
    ~CZentrelDlg() override;
    CZentrelDlg(const CZentrelDlg&) = delete;
    CZentrelDlg& operator=(const CZentrelDlg&) = delete;

    // Runs the window modally until it is closed; the result it was ended with.
    std::intptr_t DoModal();
    // The same window, modeless: returns once it is initialised (tests and pictures drive it
    // with messages). Destroyed with the object.
    Window Create();
    [[nodiscard]] Window GetSafeHwnd() const { return m_hWnd; }

    [[nodiscard]] CWindowController& Controller() { return m_controller; }
    void SetBoxShower(BoxShower show) { m_showBox = std::move(show); }

    // The dialog's message map, for the window `hWnd` it runs in; true when the message was
    // handled, with the answer in `result`.
    bool OnMessage(Window hWnd, unsigned message, std::uintptr_t wParam, std::intptr_t lParam,
                   std::intptr_t& result);

private:
    bool OnInitDialog();
    void OnPaint();
    void DoDataExchange();
    // Exit, Escape, the close box and Alt+F4; refused while a load runs.
    void Close(std::intptr_t result);
    [[nodiscard]] Window Control(WindowControl control) const;

    // The face the controller drives.
    void SetText(WindowControl control, const std::string& text) override;
    void SetProgressBar(int percent) override;
    void Enable(WindowControl control, bool enabled) override;
    void FillPortList(const std::vector<SPortItem>& items) override;
    void SelectPortItem(int index) override;
    [[nodiscard]] bool PortListOpen() const override;
    void ShowBox(const SNotice& notice, BoxKind kind) override;
    void StartTimer(WindowTimer timer, int periodMs) override;
    void StopTimer(WindowTimer timer) override;
    void RunOnUiThread(const std::function<void()>& task) override;
    void ServeEvents() override;
    void LoadRunning(bool running, const std::string& why) override;

    // Members in the order of the window's design; the controls belong to the window.
    HICON__* m_hIcon = nullptr;
    Window m_btnExit = nullptr;
    Window m_btnLoad = nullptr;
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

    Window m_hWnd = nullptr;
    Window m_parent = nullptr;
    // The window as a load's worker may reach it: null once it is gone.
    std::atomic<Window> m_hWndForWorker{nullptr};
    unsigned long m_uiThread = 0;
    bool m_bModal = false;
    std::uintptr_t m_nPortTimer = 0;
    BoxShower m_showBox;
    CWindowController m_controller;
};

}  // namespace morvane
