// The Windows window driven as the user drives it: the port list, Load, the display while a
// scripted load writes the record, the controls across a load, closing.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/resource.h"
#include "app/win32/zentrel_dlg_win32.h"
#include "loader/loader_w6.h"
#include "record/loader_state.h"
#include "record/loader_status.h"
#include "tests/app/win32/dialog_fixture_win32.h"
#include "tests/support/refusing_device.h"
#include "view/open_error_text.h"

namespace morvane::testing_win32 {
namespace {

using testing_support::CRefusingDevice;
using testing_support::CScriptedLoader;
using testing_support::Gate;

class WindowsDialog : public testing::Test {
protected:
    static void SetUpTestSuite() { InitDialogClasses(); }

    // A window on ports, as its initialisation leaves it; startPort -1 means no "-com".
    void Open(std::vector<SSerInfo> ports, int startPort = -1) {
        ports_ = std::move(ports);
        state_.SetStartPort(startPort);
        dialog_ = std::make_unique<CZentrelDlg>(&state_);
        dialog_->SetPortEnumerator([this](CArray<SSerInfo, SSerInfo&>& list) {
            list.clear();
            if (enumError_ != nullptr) throw ComEnumError(enumError_);
            list = ports_;
        });
        dialog_->SetNoticeReporter([this](const SNotice& notice) {
            notices_.push_back(notice);
            noticesWhileLoading_ = noticesWhileLoading_ || dialog_->IsLoadActive();
        });
        // The loader's boxes show on the window's thread while the worker waits for them.
        dialog_->SetMessageBox([this, thread = ::GetCurrentThreadId()](const CString& text) {
            boxes_.push_back(text);
            boxesWhileLoading_ = boxesWhileLoading_ && ::GetCurrentThreadId() == thread &&
                                 dialog_->IsLoadActive() && state_.GetLoadRunning();
        });
        dialog_->SetLoaderFactory(
            [this](SLoaderState* state, LoaderDeps deps) -> std::unique_ptr<CLoader> {
                ++loadsStarted_;
                return std::make_unique<CScriptedLoader>(state, std::move(deps), script_);
            });
        window_ = dialog_->Create();
        ASSERT_NE(window_, nullptr);
        ::ShowWindow(window_, SW_SHOW);
    }
    void TearDown() override {
        if (dialog_) dialog_->WaitForLoadToEnd();
    }

    std::vector<int> ItemData() const {
        std::vector<int> data;
        HWND list = Item(window_, IDC_COMPORT);
        const auto count = static_cast<int>(::SendMessageA(list, CB_GETCOUNT, 0, 0));
        for (int i = 0; i < count; ++i)
            data.push_back(
                static_cast<int>(::SendMessageA(list, CB_GETITEMDATA, static_cast<WPARAM>(i), 0)));
        return data;
    }
    std::string ItemText(int index) const {
        char text[256] = {};
        ::SendMessageA(Item(window_, IDC_COMPORT), CB_GETLBTEXT, static_cast<WPARAM>(index),
                       reinterpret_cast<LPARAM>(text));
        return text;
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
            window_, [this] { return !dialog_->IsLoadActive(); }, 10000);
    }
    bool WaitFor(const std::function<bool()>& condition) {
        return PumpUntil(window_, condition, 10000);
    }

    SLoaderState state_;
    std::vector<SSerInfo> ports_;
    const char* enumError_ = nullptr;
    std::vector<SNotice> notices_;
    bool noticesWhileLoading_ = false;
    std::vector<CString> boxes_;
    bool boxesWhileLoading_ = true;
    CScriptedLoader::Script script_ = [](SLoaderState&, LoaderDeps&) {};
    std::atomic<int> loadsStarted_{0};
    std::unique_ptr<CZentrelDlg> dialog_;
    HWND window_ = nullptr;
};

TEST_F(WindowsDialog, PortListOffersWhatDiscoveryFoundAndLoadWaitsForTheUsersChoice) {
    Open({Port("COM1", "Communications Port (COM1)"),
          Port("COM10", "Serielles USB-Ger\xc3\xa4t (COM10)")});
    EXPECT_EQ(ItemData(), (std::vector<int>{0, 1, 10}));
    EXPECT_EQ(ItemText(0), "Select Comport");
    // Discovery hands out UTF-8; the list must show the same letters, not its bytes.
    wchar_t shown[64] = {};
    ::SendMessageW(Item(window_, IDC_COMPORT), CB_GETLBTEXT, 2, reinterpret_cast<LPARAM>(shown));
    EXPECT_EQ(std::wstring(shown), L"Serielles USB-Ger\u00e4t (COM10)");
    EXPECT_EQ(Selection(), 0);
    EXPECT_FALSE(Enabled(IDC_LOAD));
    SelectItem(window_, 2);
    EXPECT_TRUE(Enabled(IDC_LOAD));
    // Moving back to the placeholder disables Load again; confirming it enables Load, but a
    // press then does nothing.
    HWND list = Item(window_, IDC_COMPORT);
    ::SendMessageA(list, CB_SETCURSEL, 0, 0);
    ::SendMessageA(window_, WM_COMMAND, MAKEWPARAM(IDC_COMPORT, CBN_SELCHANGE),
                   reinterpret_cast<LPARAM>(list));
    EXPECT_FALSE(Enabled(IDC_LOAD));
    ::SendMessageA(window_, WM_COMMAND, MAKEWPARAM(IDC_COMPORT, CBN_SELENDOK),
                   reinterpret_cast<LPARAM>(list));
    EXPECT_TRUE(Enabled(IDC_LOAD));
    Click(window_, IDC_LOAD);
    EXPECT_EQ(loadsStarted_, 0);
    EXPECT_FALSE(dialog_->IsLoadActive());
}

TEST_F(WindowsDialog, APortNamedOnTheCommandLineIsOfferedWithoutAPlaceholder) {
    Open({Port("COM1", "Communications Port (COM1)")}, 7);
    EXPECT_EQ(ItemData(), (std::vector<int>{1, 7}));
    EXPECT_EQ(ItemText(1), "COM 7");
    EXPECT_EQ(Selection(), 0);
    EXPECT_FALSE(Enabled(IDC_LOAD));

    enumError_ = "Port discovery failed";
    Open({}, 4);
    EXPECT_EQ(ItemData(), (std::vector<int>{4}));
    EXPECT_EQ(notices_, (std::vector<SNotice>{{"Port discovery failed", ""}}));
}

TEST_F(WindowsDialog, ALoadLocksTheControlsShowsTheRecordAndGivesTheWindowBack) {
    Open({Port("COM3", "COM3"), Port("COM5", "USB Serial Port (COM5)")});
    Gate halfway;
    Gate release;
    std::atomic<int> portSeen{0};
    script_ = [&](SLoaderState& state, LoaderDeps& deps) {
        portSeen = state.GetComPort();
        state.SetFirmwareText("1.20");
        state.SetFirmwareDetected(true);
        state.SetStatus(STATUS_DETECTING_FIRMWARE);
        halfway.Wait();
        state.SetStatus(STATUS_UPDATING_FIRMWARE);
        state.SetTotalBytes(136352);
        state.SetSentBytes(68176);
        state.SetRemainingSeconds(91);
        release.Wait();
        state.SetSentBytes(136352);
        state.SetRemainingSeconds(0);
        state.SetStatus(STATUS_FIRMWARE_COMPLETE);
        deps.prompt->ShowMessage("Load Completed\t");
    };
    SelectItem(window_, 2);
    Click(window_, IDC_LOAD);
    ASSERT_EQ(loadsStarted_, 1);
    EXPECT_TRUE(dialog_->IsLoadActive());
    EXPECT_TRUE(ControlsDisabled());
    EXPECT_EQ(Bar(), 0);

    // The timer shows what the loader writes.
    EXPECT_TRUE(WaitFor([&] { return Shown(IDC_STATUS) == "Status: Detecting Firmware"; }));
    EXPECT_EQ(Shown(IDC_FIRMWARE_ON_DEVICE), "Firmware on Device: 1.20");
    halfway.Open();
    EXPECT_TRUE(WaitFor([&] { return Shown(IDC_PERCENT) == "50%"; }));
    EXPECT_EQ(Shown(IDC_STATUS), "Status: Updating Firmware");
    EXPECT_EQ(Shown(IDC_PROGRESS_TEXT), "Progress: 68176/136352");
    EXPECT_EQ(Bar(), 50);
    EXPECT_EQ(Shown(IDC_REMAINING_TIME), "Remaining Time: 1 minutes 31 seconds");

    // Escape, the close box, Alt+F4 and Enter change nothing while the load runs; each refused
    // close says why.
    Key(window_, VK_ESCAPE);
    ::SendMessageA(window_, WM_SYSCOMMAND, SC_CLOSE, 0);
    Pump(window_, 30);
    Key(window_, VK_RETURN);
    EXPECT_TRUE(::IsWindow(window_));
    EXPECT_EQ(loadsStarted_, 1);
    EXPECT_EQ(notices_, std::vector<SNotice>(2, SNotice{kCloseRefusedText, ""}));
    EXPECT_TRUE(boxes_.empty());

    release.Open();
    ASSERT_TRUE(WaitForIdle());
    EXPECT_EQ(portSeen, 5);
    EXPECT_EQ(boxes_, (std::vector<CString>{"Load Completed\t"}));
    EXPECT_TRUE(boxesWhileLoading_);
    EXPECT_TRUE(ControlsEnabled());
    EXPECT_EQ(Selection(), 2);
    EXPECT_EQ(Shown(IDC_STATUS), "Status: Firmware Update Complete");
    EXPECT_EQ(Shown(IDC_PROGRESS_TEXT), "Progress: 136352/136352");
    EXPECT_EQ(Shown(IDC_PERCENT), "100%");
    EXPECT_EQ(Bar(), 100);
    EXPECT_FALSE(state_.GetLoadRunning());

    // Enter now starts the next load on the same port, and Escape closes the idle window.
    portSeen = 0;
    script_ = [&](SLoaderState& state, LoaderDeps&) { portSeen = state.GetComPort(); };
    Key(window_, VK_RETURN);
    ASSERT_TRUE(WaitForIdle());
    EXPECT_EQ(loadsStarted_, 2);
    EXPECT_EQ(portSeen, 5);
    Key(window_, VK_ESCAPE);
    EXPECT_FALSE(::IsWindow(window_));
}

// A port that will not open keeps its status line; once the window is back, a box says why and
// what to do, in the words morvane-cli.exe uses.
TEST_F(WindowsDialog, APortThatWillNotOpenSaysWhyAndALoadThatThrowsStillEnds) {
    Open({Port("COM3", "COM3")});
    SelectItem(window_, 1);
    ::KillTimer(window_, IDT_STATUS);  // only the worker's last pass may show the outcome
    const OpenError busy{OpenErrorKind::Busy, "\\\\.\\COM3", "Access is denied.", 5, {}};
    dialog_->SetLoaderFactory([&](SLoaderState* state, LoaderDeps deps) {
        deps.device = std::make_unique<CRefusingDevice>(busy);
        return std::unique_ptr<CLoader>(std::make_unique<CLoaderW6>(state, std::move(deps)));
    });
    Click(window_, IDC_LOAD);
    ASSERT_TRUE(WaitForIdle());
    ASSERT_TRUE(WaitFor([&] { return !notices_.empty(); }));
    EXPECT_EQ(Shown(IDC_STATUS), "Status: Can't Connect, Invalid COM Port");
    EXPECT_TRUE(ControlsEnabled());
    EXPECT_TRUE(boxes_.empty());  // the W6 loader leaves the telling to the window
    ASSERT_EQ(notices_, (std::vector<SNotice>{OpenFailureNotice(busy, 3, OpenErrorFacts{})}));
    EXPECT_EQ(notices_[0].text, "Invalid Comport, or Comport in use!");
    EXPECT_TRUE(
        notices_[0].detail.starts_with("Cannot open COM3: access denied, the port is in use"))
        << notices_[0].detail;
    EXPECT_FALSE(noticesWhileLoading_);

    dialog_->SetLoaderFactory([this](SLoaderState* state, LoaderDeps deps) {
        return std::unique_ptr<CLoader>(
            std::make_unique<CScriptedLoader>(state, std::move(deps), script_));
    });

    script_ = [](SLoaderState& state, LoaderDeps&) {
        state.SetStatus(STATUS_DETECTING_BAUD);
        throw std::runtime_error("wait interrupted");
    };
    Click(window_, IDC_LOAD);
    ASSERT_TRUE(WaitForIdle());
    EXPECT_EQ(Shown(IDC_STATUS), "Status: Detecting Baud Rate");
    EXPECT_TRUE(ControlsEnabled());
}

TEST_F(WindowsDialog, TextTypedIntoThePortFieldNeverStaysOnScreen) {
    Open({Port("COM3", "COM3"), Port("COM5", "USB Serial Port (COM5)")});
    SelectItem(window_, 2);
    ::SetWindowTextA(Item(window_, IDC_COMPORT), "COM 9");
    std::atomic<int> portSeen{0};
    script_ = [&](SLoaderState& state, LoaderDeps&) { portSeen = state.GetComPort(); };
    Click(window_, IDC_LOAD);
    EXPECT_EQ(Text(Item(window_, IDC_COMPORT)), "USB Serial Port (COM5)");
    ASSERT_TRUE(WaitForIdle());
    EXPECT_EQ(portSeen, 5);
}

TEST_F(WindowsDialog, TheListFollowsThePortsThatComeAndGo) {
    Open({Port("COM3", "COM3")});
    SelectItem(window_, 1);
    ASSERT_TRUE(Enabled(IDC_LOAD));

    // The port timer finds a port plugged in; the selection stays on its port.
    ports_ = {Port("COM1", "COM1"), Port("COM3", "COM3"), Port("COM7", "USB Serial Port (COM7)")};
    EXPECT_TRUE(WaitFor([this] { return ItemData().size() == 4; }));
    EXPECT_EQ(ItemData(), (std::vector<int>{0, 1, 3, 7}));
    EXPECT_EQ(Text(Item(window_, IDC_COMPORT)), "COM3");
    EXPECT_TRUE(Enabled(IDC_LOAD));

    // Nothing moves under a running load.
    Gate release;
    script_ = [&](SLoaderState&, LoaderDeps&) { release.Wait(); };
    Click(window_, IDC_LOAD);
    ports_ = {Port("COM1", "COM1")};
    dialog_->RescanPorts();
    EXPECT_EQ(ItemData(), (std::vector<int>{0, 1, 3, 7}));
    release.Open();
    ASSERT_TRUE(WaitForIdle());

    // The chosen port went: back to the placeholder, and Load waits for a new choice.
    dialog_->RescanPorts();
    EXPECT_EQ(ItemData(), (std::vector<int>{0, 1}));
    EXPECT_EQ(Selection(), 0);
    EXPECT_FALSE(Enabled(IDC_LOAD));

    ports_ = {};
    dialog_->RescanPorts();
    EXPECT_EQ(ItemData(), std::vector<int>{0});
    EXPECT_EQ(ItemText(0), "No Comport Found");

    // A port named with "-com" stays on the list when it goes.
    dialog_.reset();
    Open({Port("COM7", "COM7")}, 7);
    ports_ = {};
    dialog_->RescanPorts();
    EXPECT_EQ(ItemData(), std::vector<int>{7});
    EXPECT_EQ(ItemText(0), "COM 7");
}

}  // namespace
}  // namespace morvane::testing_win32
