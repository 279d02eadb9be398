// CWindowController: everything the updater's window does, without a toolkit. It fills the port
// list and keeps it up to date, runs one load at a time (one CLoadSession per load), shows the
// record through the status view, locks the controls while a load runs, refuses to close the
// window while the image goes out, and after a load that did not succeed says in a box what was
// heard and what to do.
//
// Once the user closed "Load Completed", the window waits for the restarted receiver and shows
// the firmware it now reports, as morvane-cli --verify does (the same session code); a receiver
// that does not report the new firmware gets a box in morvane-cli's words. The user may leave
// meanwhile: nothing is cut off then.
//
// Each toolkit's dialog implements the small face below and hands the user's actions to the
// controller; both windows thus behave the same, and the behaviour is tested once. Every load
// leaves its record in the record of loads, as morvane-cli's do.
//
// Before a load it reads the battery (a PC about to run flat does not start one); during a load
// the session keeps the PC awake and the window holds off the end of the user's session.
//
// Threads: everything runs on the window's thread except a load's worker, which reaches the
// window only through IWindowFace::RunOnUiThread (the loader's boxes, the end of the load), and
// the port scan of the fallback timer: Windows' set-up library can take long enough to stall the
// window, so that scan runs on a thread of its own and the next status pass shows what it found.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "loader/load_seams.h"
#include "platform/power.h"
#include "session/load_record_file.h"
#include "session/load_session.h"
#include "view/open_error_text.h"
#include "view/port_list.h"
#include "view/status_view.h"

namespace morvane {

class SLoaderState;

// The controls the controller writes to; Caption is the window's own title.
enum class WindowControl : std::uint8_t {
    Caption,
    Instructions,
    Warning,
    FirmwareToLoad,
    Load,
    Exit,
    PortList,
    Status,
    FirmwareOnDevice,
    Applications,  // no place in the layout: kept up to date where a toolkit keeps it at all
    WaasPrns,      // likewise
    Progress,
    Percent,
    RemainingTime,
};

enum class WindowTimer : std::uint8_t {
    Status,    // one status pass; restarted after each, so the period counts from a pass's end
    PortScan,  // brings the port list up to date
};

enum class BoxKind : std::uint8_t {
    Message,  // the loader's own boxes ("Load Completed\t"), as plain as the loader wrote them
    Warning,  // what went wrong, and what to do
};

// What the window says when the record of a load was not written. The load stands all the same;
// the window names no other file for the record, so it says what went wrong and no more.
[[nodiscard]] std::string UnrecordedLoadText(const RecordError& error);

// What a toolkit does for the controller. Everything but RunOnUiThread is called on the
// window's thread.
class IWindowFace {
public:
    virtual ~IWindowFace() = default;

    virtual void SetText(WindowControl control, const std::string& text) = 0;
    virtual void SetProgressBar(int percent) = 0;
    virtual void Enable(WindowControl control, bool enabled) = 0;
    // Replaces the port list's items, then selects one. Neither is the user's choice: the face
    // reports no selection to the controller for them.
    virtual void FillPortList(const std::vector<SPortItem>& items) = 0;
    virtual void SelectPortItem(int index) = 0;
    // True while the user has the list dropped down: refilling it then would pull it away.
    [[nodiscard]] virtual bool PortListOpen() const = 0;
    // A modal box on the window; returns once the user closed it.
    virtual void ShowBox(const SNotice& notice, BoxKind kind) = 0;
    virtual void StartTimer(WindowTimer timer, int periodMs) = 0;
    virtual void StopTimer(WindowTimer timer) = 0;
    // From a load's worker: runs `task` on the window's thread and returns once it has run.
    // Where the window is gone and nothing serves it any more, returns without running it.
    virtual void RunOnUiThread(const std::function<void()>& task) = 0;
    // Serves the window's thread once: the tasks handed over and any other event, waiting a
    // short while for one when there is none.
    virtual void ServeEvents() = 0;
    // A load starts (true) or has ended (false). Where the system asks the window before the
    // user's session ends (Windows), the window holds the end off meanwhile, with `why` as the
    // reason the system shows; elsewhere the load's own awake lock does that.
    virtual void LoadRunning(bool running, const std::string& why) = 0;
};

class CWindowController {
public:
    // `state` is the program's record; "-com" left its start port there.
    CWindowController(SLoaderState& state, IWindowFace& face);
    // Lets a load still running finish first: the worker needs the record and the window.
    ~CWindowController();
    CWindowController(const CWindowController&) = delete;
    CWindowController& operator=(const CWindowController&) = delete;

    void SetPortDiscovery(PortDiscovery discover) { m_discover = std::move(discover); }
    // Tests put a scripted loader in place of the W6 loader.
    void SetLoaderFactory(LoaderFactory factory) { m_makeLoader = std::move(factory); }
    // Where the record of each load goes: the system's default file unless set.
    void SetLoadLog(SLoadLogTarget target) { m_log = std::move(target); }
    // The battery before a load, and the PC kept awake during one: the system's unless set.
    void SetPowerService(IPowerService* power) { m_power = power; }
    // Whether a complete load is verified once the receiver restarted: on unless turned off.
    void SetVerifyAfterLoad(bool verify) { m_verifyAfterLoad = verify; }

    // The window is up: the port list filled, with the start port chosen when there is one (else
    // Load waits for the user's choice), the status area and the controls shown, both timers
    // started.
    void Init();

    // The user's actions, as the toolkit reports them.
    void OnLoad();
    // The selection moved to item `index`; an index outside the list (text typed into the
    // list's field) changes nothing: only a chosen item is ever loaded.
    void OnSelectionChanged(int index);
    void OnSelectionConfirmed();
    // The port list's field lost the focus: it shows the chosen item again, whatever was typed.
    void OnPortFieldLeft();
    void OnTimer(WindowTimer timer);
    // Any way of closing the window: true when it may close (no load runs; the last worker is
    // gone). While the image goes out a box says why not, once however many ways tried at once;
    // a verification is stopped, and the window may close once it has ended.
    [[nodiscard]] bool MayClose();

    // One pass of the status display.
    void RefreshStatus();
    // Discovery again, and the list brought up to date: ports that came appear, ports that went
    // disappear, and the selection stays on its port while that port is there. Nothing while a
    // load runs or while the list is open. For a change the system announced: the scan runs on
    // a thread, as the fallback timer's does (the set-up library can stall the window), and a
    // change announced while one runs makes one more after it.
    void RescanPorts();
    // True while a scan runs; its result shows at the next status pass.
    [[nodiscard]] bool PortScanRunning() const {
        return m_scanThread.joinable() && !m_scanDone.load(std::memory_order_acquire);
    }
    // Serves the window's thread until no load is left, then lets the last worker finish. For
    // the program's end and for tests; the window's own loop needs no such wait.
    void WaitForLoadToEnd();
    // The user's session ends all the same: a running load is stopped where it stands, so its
    // port is closed before the system ends the program.
    void StopLoad();

    // True from Load until the end of the load, its verification included, has reached the
    // window's thread.
    [[nodiscard]] bool IsLoadActive() const { return m_loadActive; }
    // True while stopping the load could leave the receiver without firmware: from Load until
    // the image is out (the verification after it may be left).
    [[nodiscard]] bool ImageGoingOut() const { return m_loadActive && !m_verifying; }
    // The COM number of the chosen item; 0 for none or the placeholder.
    [[nodiscard]] int SelectedPort() const;

private:
    // The loader's boxes, shown on the window's thread while the worker waits for them.
    class CPrompt final : public IPrompt {
    public:
        explicit CPrompt(CWindowController& owner) : m_owner(owner) {}
        void ShowMessage(const CString& text) override;

    private:
        CWindowController& m_owner;
    };

    void FillPorts();
    void ShowRescan(const std::optional<std::vector<SPortItem>>& items);
    void StartPortScan();
    void TakePortScan();
    void ShowPorts(const std::vector<SPortItem>& items, int selected);
    void ShowControls();
    void ShowStatusArea();
    // On the window's thread while the worker waits: the loader's box, and after the last one
    // of a complete load, the verification's start.
    void ShowLoaderBox(const CString& text);
    void OnLoadEnded(const LoadOutcome& outcome);
    // The one box after a load that did not succeed, if there is anything to say.
    [[nodiscard]] std::optional<SNotice> NoticeAfterLoad(const LoadOutcome& outcome) const;
    // The box after a verification that did not find the new firmware.
    [[nodiscard]] SNotice NotVerifiedNotice(const LoadOutcome& outcome) const;

    SLoaderState& m_state;
    IWindowFace& m_face;
    CPrompt m_prompt;
    PortDiscovery m_discover;
    LoaderFactory m_makeLoader;
    SLoadLogTarget m_log{true, {}, true};
    IPowerService* m_power;
    CStatusView m_view;
    int m_startPort = -1;  // the port of "-com", or -1
    std::vector<SPortItem> m_items;
    int m_selected = 0;  // the chosen item's index
    bool m_loadActive = false;
    bool m_verifyAfterLoad = true;
    bool m_verifying = false;      // the image is out; the restarted receiver is looked for
    bool m_refusingClose = false;  // the box that says why is open
    std::unique_ptr<CLoadSession> m_session;  // the latest load's, until the next or the end
    // The running scan: the thread writes m_scanned, then sets m_scanDone; the window's thread
    // reads it only after joining the thread.
    std::thread m_scanThread;
    std::atomic<bool> m_scanDone{false};
    std::optional<std::vector<SPortItem>> m_scanned;
    bool m_rescanAfterScan = false;  // the system announced a change while the scan ran
};

}  // namespace morvane
