// CZentrelDlg: the updater's only window, in Qt. The user picks the COM port the receiver hangs on
// and presses Load; what follows (the load, the controls locked meanwhile, the status display,
// the boxes) is the window controller's. The dialog builds the controls from the layout table,
// hands the user's actions to the controller and puts on screen what it is told.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <vector>

#include <QDialog>
#include <QIcon>
#include <QSize>

#include "app/window_controller.h"
#include "app/window_destroyed.h"

class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

namespace morvane {

class SLoaderState;

class CZentrelDlg : public QDialog, private IWindowFace {
    Q_OBJECT

public:
    // Shows a box on the window; tests record it instead.
    using BoxShower = std::function<void(const SNotice&, BoxKind)>;

    explicit CZentrelDlg(SLoaderState* state, QWidget* parent = nullptr);
    ~CZentrelDlg() override;
    CZentrelDlg(const CZentrelDlg&) = delete;
    CZentrelDlg& operator=(const CZentrelDlg&) = delete;

    // Fills the port list, starts the timers and sets the texts that depend on the program; the
    // controls exist from construction on.
    bool OnInitDialog();
    // OnInitDialog, then the window runs modally until it is closed.
    int DoModal();

    [[nodiscard]] CWindowController& Controller() { return m_controller; }
    void SetBoxShower(BoxShower show) { m_showBox = std::move(show); }
    // The control with a layout id, or nullptr.
    [[nodiscard]] QWidget* GetDlgItem(int id) const;
    [[nodiscard]] QSize GetBaseUnits() const { return m_baseUnits; }
    [[nodiscard]] const QIcon& GetIcon() const { return m_hIcon; }

    // Closing is refused while a load runs: the worker needs the window and the record until it
    // ends, and a transfer cut off half-way can leave the receiver without firmware.
    void done(int result) override;

private slots:
    void OnLoad();
    void OnExit();
    void OnComPortSelEndOk();
    void OnComPortSelChange(int index);
    void OnTimer();

private:
    void DoDataExchange();
    // The system window was destroyed from outside: nothing can be shown any more, so the
    // dialog ends, once a running load has finished, as with any other way of closing it.
    void OnWindowDestroyed();
    [[nodiscard]] QLabel* Label(WindowControl control) const;
    [[nodiscard]] QWidget* Control(WindowControl control) const;
    [[nodiscard]] QTimer* Timer(WindowTimer timer) const;

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
    // Nothing to do here: on Linux the load's own awake lock (logind) holds off the session's end.
    void LoadRunning(bool /*running*/, const std::string& /*why*/) override {}

    // Members in the order of the window's design; the widgets belong to the dialog.
    QIcon m_hIcon;
    QPushButton* m_btnExit = nullptr;
    QPushButton* m_btnLoad = nullptr;
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

    QSize m_baseUnits;
    std::map<int, QWidget*> m_controls;
    BoxShower m_showBox;
    CWindowController m_controller;
    std::unique_ptr<CWindowDestroyedWatch> m_destroyedWatch;
};

}  // namespace morvane
