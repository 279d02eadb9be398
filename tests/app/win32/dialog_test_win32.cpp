// The Windows window driven as the user drives it, through the system's dialog manager: one load
// with a scripted loader, and text typed into the port list's field.
#include <gtest/gtest.h>

#include <atomic>
#include <cwchar>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/resource.h"
#include "app/win32/zentrel_dlg_win32.h"
#include "loader/loader_w6.h"
#include "record/loader_state.h"
#include "record/loader_status.h"
#include "serial/comm_calls_win32.h"
#include "tests/app/win32/dialog_fixture_win32.h"
#include "tests/app/window_test_seams.h"
#include "tests/support/fake_power.h"
#include "view/open_error_text.h"

// After windows.h (the fixture's), which it needs.
#include <dbt.h>

namespace morvane::testing_win32 {
namespace {

using testing::CScriptedLoader;
using testing::SHalfwayLoad;

class WindowsDialog : public ::testing::Test {
protected:
    static void SetUpTestSuite() { InitDialogClasses(); }

    // A window on ports, as its initialisation leaves it; startPort -1 means no "-com".
    void Open(std::vector<SSerInfo> ports, int startPort = -1) {
        ports_ = std::move(ports);
        state_.SetStartPort(startPort);
        dialog_ = std::make_unique<CZentrelDlg>(&state_);
        testing::UseTestSeams(dialog_->Controller(), ports_, power_, script_, loadsStarted_);
        // Boxes show on the window's thread; the loader's hold its worker until answered.
        dialog_->SetBoxShower([this, thread = ::GetCurrentThreadId()](const SNotice& box, BoxKind) {
            boxes_.push_back(box);
            boxesOnWindowThread_ = boxesOnWindowThread_ && ::GetCurrentThreadId() == thread;
        });
        window_ = dialog_->Create();
        ASSERT_NE(window_, nullptr);
        ::ShowWindow(window_, SW_SHOW);
    }
    void TearDown() override {
        if (dialog_) dialog_->Controller().WaitForLoadToEnd();
    }

    int Selection() const {
        return static_cast<int>(::SendMessageA(Item(window_, IDC_COMPORT), CB_GETCURSEL, 0, 0));
    }
    bool Enabled(int id) const { return ::IsWindowEnabled(Item(window_, id)) != FALSE; }
    bool ControlsEnabled() const {
        return Enabled(IDC_LOAD) && Enabled(IDC_EXIT) && Enabled(IDC_COMPORT);
    }
    bool ControlsDisabled() const {
        return !Enabled(IDC_LOAD) && !Enabled(IDC_EXIT) && !Enabled(IDC_COMPORT);
    }
    std::string Shown(int id) const { return Text(Item(window_, id)); }
    int Bar() const {
        return static_cast<int>(::SendMessageA(Item(window_, IDC_PROGRESS), PBM_GETPOS, 0, 0));
    }
    bool WaitForIdle() {
        return PumpUntil(
            window_, [this] { return !dialog_->Controller().IsLoadActive(); }, 10000);
    }
    bool WaitFor(const std::function<bool()>& condition) {
        return PumpUntil(window_, condition, 10000);
    }

    SLoaderState state_;
    morvane::testing::CFakePower power_;
    std::vector<SSerInfo> ports_;
    std::vector<SNotice> boxes_;
    bool boxesOnWindowThread_ = true;
    CScriptedLoader::Script script_ = [](SLoaderState&, LoaderDeps&) {};
    std::atomic<int> loadsStarted_{0};
    std::unique_ptr<CZentrelDlg> dialog_;
    HWND window_ = nullptr;
};

// The window as glue: one load through the real dialog, driven with the system's messages (what
// the window does is tested once, against the controller).
TEST_F(WindowsDialog, ALoadRunsThroughTheWindow) {
    Open({Port("COM3", "COM3"), Port("COM5", "Serielles USB-Ger\xc3\xa4t (COM5)")});
    // Discovery hands out UTF-8; the list must show the same letters, not its bytes.
    wchar_t shown[64] = {};
    ::SendMessageW(Item(window_, IDC_COMPORT), CB_GETLBTEXT, 2, reinterpret_cast<LPARAM>(shown));
    EXPECT_EQ(std::wstring(shown), L"Serielles USB-Ger\u00e4t (COM5)");
    SHalfwayLoad load;
    script_ = load.Script();
    SelectItem(window_, 2);
    Click(window_, IDC_LOAD);
    EXPECT_TRUE(ControlsDisabled());
    load.halfway.Wait();
    ASSERT_EQ(loadsStarted_, 1);

    // The timer shows what the loader writes.
    EXPECT_TRUE(WaitFor([&] { return Shown(IDC_PERCENT) == "50%"; }));
    EXPECT_EQ(Shown(IDC_STATUS), "Status: Updating Firmware");
    EXPECT_EQ(Shown(IDC_PROGRESS_TEXT), "Progress: 68176/136352");
    EXPECT_EQ(Bar(), 50);
    EXPECT_EQ(Shown(IDC_REMAINING_TIME), "Remaining Time: 2 minutes 5 seconds");

    // Log-off and shutdown wait for the load, as does the window; the port list does not move
    // (and its timer is stopped, to tell what moves it afterwards).
    ::KillTimer(window_, IDT_PORT_SCAN);
    ports_.push_back(Port("COM7", "COM7"));
    ::SendMessageA(window_, WM_DEVICECHANGE, 0x0007, 0);
    EXPECT_EQ(::SendMessageA(Item(window_, IDC_COMPORT), CB_GETCOUNT, 0, 0), 3);
    // Windows tells the window that the load's port went away: the port's device hears of it.
    const auto beforeRemoval = SystemCommCalls().Now();
    struct {
        DEV_BROADCAST_PORT_W port;
        wchar_t room[8];
    } removed{};
    removed.port.dbcp_size = sizeof removed;
    removed.port.dbcp_devicetype = DBT_DEVTYP_PORT;
    (void)std::wcscpy(removed.port.dbcp_name, L"COM5");
    ::SendMessageW(window_, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
                   reinterpret_cast<LPARAM>(&removed));
    EXPECT_TRUE(SystemCommCalls().RemovedSince("\\\\.\\COM5", beforeRemoval));
    EXPECT_FALSE(SystemCommCalls().RemovedSince("\\\\.\\COM7", beforeRemoval));
    EXPECT_EQ(::SendMessageA(window_, WM_QUERYENDSESSION, 0, 0), FALSE);
    // Escape, the close box, Alt+F4 and Enter change nothing while the load runs; each refused
    // close says why.
    Key(window_, VK_ESCAPE);
    ::SendMessageA(window_, WM_SYSCOMMAND, SC_CLOSE, 0);
    Pump(window_, 30);
    Key(window_, VK_RETURN);
    EXPECT_TRUE(::IsWindow(window_));
    EXPECT_EQ(loadsStarted_, 1);
    EXPECT_EQ(boxes_, std::vector<SNotice>(2, SNotice{kCloseRefusedText, ""}));

    load.release.Open();
    ASSERT_TRUE(WaitForIdle());
    EXPECT_EQ(load.port, 5);
    EXPECT_EQ(boxes_.back(), (SNotice{"Load Completed\t", ""}));
    EXPECT_TRUE(boxesOnWindowThread_);
    EXPECT_TRUE(ControlsEnabled());
    EXPECT_EQ(Selection(), 2);
    EXPECT_EQ(Shown(IDC_STATUS), "Status: Firmware Update Complete");
    EXPECT_EQ(Shown(IDC_PERCENT), "100%");
    EXPECT_EQ(Bar(), 100);
    EXPECT_EQ(::SendMessageA(window_, WM_QUERYENDSESSION, 0, 0), TRUE);
    // Between loads a plugged-in adapter joins the list as Windows announces it.
    EXPECT_EQ(::SendMessageA(Item(window_, IDC_COMPORT), CB_GETCOUNT, 0, 0), 3);
    // Its scan runs off the window's thread and shows at the next status pass.
    ::SendMessageA(window_, WM_DEVICECHANGE, 0x8000, 0);
    EXPECT_TRUE(WaitFor(
        [&] { return ::SendMessageA(Item(window_, IDC_COMPORT), CB_GETCOUNT, 0, 0) == 4; }));

    // Enter now starts the next load on the same port, and Escape closes the idle window.
    load.port = 0;
    Key(window_, VK_RETURN);
    ASSERT_TRUE(WaitForIdle());
    EXPECT_EQ(loadsStarted_, 2);
    EXPECT_EQ(load.port, 5);
    Key(window_, VK_ESCAPE);
    EXPECT_FALSE(::IsWindow(window_));
}

// The list's field is an edit field: what the user types there is never read, and once the
// field is left it shows the chosen port again, beside a Load that still loads that port.
TEST_F(WindowsDialog, TextTypedIntoThePortFieldGoesWhenTheFieldIsLeft) {
    Open({Port("COM3", "COM3"), Port("COM5", "USB Serial Port (COM5)")});
    SelectItem(window_, 2);
    ASSERT_TRUE(Enabled(IDC_LOAD));
    // As Tab into the field leaves it: the focus there, its text selected, typing replaces it.
    ::SetFocus(Item(window_, IDC_COMPORT));
    ::SendMessageA(Item(window_, IDC_COMPORT), CB_SETEDITSEL, 0, MAKELPARAM(0, -1));
    for (const char typed : std::string("COM9")) {
        ::PostMessageA(::GetFocus(), WM_CHAR, static_cast<WPARAM>(typed), 1);
        Pump(window_, 10);
    }
    ASSERT_EQ(Text(Item(window_, IDC_COMPORT)), "COM9");
    Key(window_, VK_TAB);
    EXPECT_EQ(Text(Item(window_, IDC_COMPORT)), "USB Serial Port (COM5)");
    EXPECT_TRUE(Enabled(IDC_LOAD));
    std::atomic<int> portSeen{0};
    script_ = [&](SLoaderState& state, LoaderDeps&) { portSeen = state.GetComPort(); };
    Click(window_, IDC_LOAD);
    ASSERT_TRUE(WaitForIdle());
    EXPECT_EQ(portSeen, 5);
}

}  // namespace
}  // namespace morvane::testing_win32
