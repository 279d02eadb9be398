// The window's behaviour, once for both toolkits: the controller driven as the user drives a
// window, against a face that keeps what a screen would show. A load's worker reaches the window's
// thread through the face; the test's thread serves it, as a window's event loop does.
#include "app/window_controller.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "loader/loader_w6.h"
#include "record/loader_state.h"
#include "record/loader_status.h"
#include "res/firmware_image.h"
#include "session/load_record_file.h"
#include "tests/support/fake_power.h"
#include "tests/support/ports.h"
#include "tests/support/scripted_device.h"
#include "tests/support/scripted_loader.h"
#include "tests/support/temp_dir.h"

namespace morvane {
namespace {

using testing::CScriptedLoader;
using testing::Gate;
using testing::Port;

struct Box {
    SNotice notice;
    BoxKind kind = BoxKind::Message;
    bool duringLoad = false;  // the window still locked when the box showed
};

class FakeFace : public IWindowFace {
public:
    void SetText(WindowControl control, const std::string& text) override { texts[control] = text; }
    void SetProgressBar(int percent) override { bar = percent; }
    void Enable(WindowControl control, bool on) override { enabled[control] = on; }
    void FillPortList(const std::vector<SPortItem>& shown) override {
        items = shown;
        selected = -1;
    }
    void SelectPortItem(int index) override { selected = index; }
    [[nodiscard]] bool PortListOpen() const override { return listOpen; }
    void ShowBox(const SNotice& notice, BoxKind kind) override {
        EXPECT_EQ(std::this_thread::get_id(), uiThread_) << notice.text;
        boxes.push_back({notice, kind, controller != nullptr && controller->IsLoadActive()});
    }
    void StartTimer(WindowTimer timer, int periodMs) override { timers[timer] = periodMs; }
    void StopTimer(WindowTimer timer) override { timers.erase(timer); }
    void LoadRunning(bool running, const std::string& why) override {
        loadRunning = running;
        if (running) sessionEndHeldFor = why;
    }
    void RunOnUiThread(const std::function<void()>& task) override {
        std::unique_lock<std::mutex> lock(mutex_);
        const long ticket = ++handedOver_;
        tasks_.push_back(&task);
        wake_.notify_all();
        wake_.wait(lock, [&] { return served_ >= ticket; });
    }
    void ServeEvents() override {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_for(lock, std::chrono::milliseconds(50), [this] { return !tasks_.empty(); });
        while (!tasks_.empty()) {
            const std::function<void()>* task = tasks_.front();
            tasks_.pop_front();
            lock.unlock();
            (*task)();
            lock.lock();
            ++served_;
            wake_.notify_all();
        }
    }

    std::map<WindowControl, std::string> texts;
    std::map<WindowControl, bool> enabled;
    int bar = -1;
    std::vector<SPortItem> items;
    int selected = -1;
    bool listOpen = false;
    std::vector<Box> boxes;
    std::map<WindowTimer, int> timers;
    bool loadRunning = false;
    std::string sessionEndHeldFor;
    const CWindowController* controller = nullptr;

private:
    const std::thread::id uiThread_ = std::this_thread::get_id();
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<const std::function<void()>*> tasks_;
    long handedOver_ = 0;
    long served_ = 0;
};

// What the status area and the controls show.
struct Screen {
    std::string status;
    std::string progress;
    std::string percent;
    int bar = 0;
    std::string remaining;
    bool load = false;
    bool exit = false;
    bool portList = false;

    bool operator==(const Screen&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Screen& s) {
    return out << "{" << s.status << " | " << s.progress << " | " << s.percent << " | " << s.bar
               << " | " << s.remaining << " | load " << s.load << " exit " << s.exit << " list "
               << s.portList << "}";
}

constexpr std::uint32_t kImage = 136352;

// The receiver answered and took the whole image; the loader's box ends the transfer.
void CompleteLoad(SLoaderState& s, LoaderDeps& deps) {
    s.SetReplySeen(true);
    s.SetTotalBytes(kImage);
    s.SetSentBytes(kImage);
    s.SetRemainingSeconds(0);
    s.SetStatus(STATUS_FIRMWARE_COMPLETE);
    deps.prompt->ShowMessage("Load Completed\t");
}

class WindowControllerTest : public ::testing::Test {
public:
    void SetUp() override { CLoader::ResetProgramWideRatesForTesting(); }
    void TearDown() override { controller_.reset(); }

    // The window as its initialisation leaves it; startPort -1 means no "-com".
    void Open(std::vector<SSerInfo> ports, int startPort = -1) {
        ports_ = std::move(ports);
        state_.SetStartPort(startPort);
        controller_ = std::make_unique<CWindowController>(state_, face_);
        face_.controller = controller_.get();
        controller_->SetPortDiscovery([this](CArray<SSerInfo, SSerInfo&>& list) {
            if (std::this_thread::get_id() == uiThread_) {
                ++discoveredOnUiThread_;
            } else {
                scannedOffUiThread_ = true;
                if (scanHeld_ != nullptr) scanHeld_->Wait();
            }
            ++discoveries_;
            list.clear();
            if (enumError_ != nullptr) throw ComEnumError(enumError_);
            list = ports_;
        });
        controller_->SetLoaderFactory([this](SLoaderState* state, LoaderDeps deps) {
            ++loadsStarted_;
            return std::unique_ptr<CLoaderW6>(
                std::make_unique<CScriptedLoader>(state, std::move(deps), script_));
        });
        controller_->SetLoadLog({true, logFile_});
        controller_->SetPowerService(&power_);
        controller_->Init();
    }
    // The fallback timer fires; its scan runs on a thread of its own and shows at the next pass.
    void PortScanTimer() {
        controller_->OnTimer(WindowTimer::PortScan);
        ScanShown();
    }
    // The system announces a device change, and the scan it starts shows.
    void DeviceChanged() {
        controller_->RescanPorts();
        ScanShown();
    }
    // The scan under way ends, and the next status pass shows it.
    void ScanShown() {
        while (controller_->PortScanRunning()) std::this_thread::yield();
        controller_->OnTimer(WindowTimer::Status);
    }
    void Choose(int index) {
        face_.selected = index;
        controller_->OnSelectionChanged(index);
        controller_->OnSelectionConfirmed();
    }
    std::vector<int> Ports() const {
        std::vector<int> ports;
        for (const SPortItem& item : face_.items) ports.push_back(item.port);
        return ports;
    }
    Screen Shown() {
        return {face_.texts[WindowControl::Status],        face_.texts[WindowControl::Progress],
                face_.texts[WindowControl::Percent],       face_.bar,
                face_.texts[WindowControl::RemainingTime], face_.enabled[WindowControl::Load],
                face_.enabled[WindowControl::Exit],        face_.enabled[WindowControl::PortList]};
    }

    SLoaderState state_;
    FakeFace face_;
    testing::CFakePower power_;
    std::vector<SSerInfo> ports_;
    const char* enumError_ = nullptr;
    const std::thread::id uiThread_ = std::this_thread::get_id();
    std::atomic<bool> scannedOffUiThread_{false};
    std::atomic<int> discoveredOnUiThread_{0};
    std::atomic<int> discoveries_{0};
    Gate* scanHeld_ = nullptr;  // a scan off the window's thread waits for it
    CScriptedLoader::Script script_ = [](SLoaderState&, LoaderDeps&) {};
    std::atomic<int> loadsStarted_{0};
    std::unique_ptr<CWindowController> controller_;
    // A file of each test's own: ctest runs them side by side.
    testing::TempDir folder_{"window"};
    std::string logFile_ = (folder_ / "loads.jsonl").string();
};

// The port list, step by step: what it offers, what stays chosen, and when Load may be pressed.
TEST_F(WindowControllerTest, ThePortListFollowsThePortsAndLoadWaitsForAChoice) {
    Open({Port("COM3", "COM3")});
    EXPECT_EQ(face_.timers, (std::map<WindowTimer, int>{{WindowTimer::Status, 10},
                                                        {WindowTimer::PortScan, kPortScanMs}}));
    struct Step {
        const char* what;
        std::function<void()> act;
        std::vector<int> ports;
        int selected;
        bool load;
    };
    const Step steps[] = {
        {"at the start the placeholder is chosen", [] {}, {0, 3}, 0, false},
        {"a port chosen", [&] { Choose(1); }, {0, 3}, 1, true},
        {"ports plugged in: the choice stays on its port",
         [&] {
             ports_ = {Port("COM1", "COM1"), Port("COM3", "COM3"), Port("COM7", "COM7")};
             PortScanTimer();
         },
         {0, 1, 3, 7},
         2,
         true},
        {"text typed into the field is no choice, and goes when the field is left",
         [&] {
             face_.selected = -1;
             controller_->OnSelectionChanged(-1);
             controller_->OnPortFieldLeft();
         },
         {0, 1, 3, 7},
         2,
         true},
        {"nothing moves while the user has the list open",
         [&] {
             face_.listOpen = true;
             ports_ = {Port("COM1", "COM1")};
             PortScanTimer();
             face_.listOpen = false;
         },
         {0, 1, 3, 7},
         2,
         true},
        {"the chosen port went: Load waits for a new choice",
         [&] { DeviceChanged(); },
         {0, 1},
         0,
         false},
        {"the placeholder confirmed enables Load, which then starts nothing",
         [&] {
             controller_->OnSelectionConfirmed();
             controller_->OnLoad();
         },
         {0, 1},
         0,
         true},
        {"no port left",
         [&] {
             ports_ = {};
             DeviceChanged();
         },
         {0},
         0,
         false},
    };
    for (const Step& step : steps) {
        step.act();
        EXPECT_EQ(Ports(), step.ports) << step.what;
        EXPECT_EQ(face_.selected, step.selected) << step.what;
        EXPECT_EQ(controller_->SelectedPort(), face_.items[face_.selected].port) << step.what;
        EXPECT_EQ(face_.enabled[WindowControl::Load], step.load) << step.what;
    }
    EXPECT_EQ(face_.items[0].text, "No Comport Found");
    // The timer's scans kept off the window's thread: the set-up library can stall it.
    EXPECT_TRUE(scannedOffUiThread_);
    EXPECT_EQ(loadsStarted_, 0);
    EXPECT_FALSE(controller_->IsLoadActive());
    EXPECT_TRUE(face_.boxes.empty());
}

// Windows announces one plug several times over. The scans run off the window's thread, and a
// burst makes one scan, and one more after it that sees what the burst announced.
TEST_F(WindowControllerTest, ABurstOfDeviceChangesMakesOneScanAndOneAfterIt) {
    Open({Port("COM3", "COM3")});
    discoveredOnUiThread_ = 0;
    discoveries_ = 0;
    Gate scanning;
    scanHeld_ = &scanning;
    controller_->RescanPorts();
    ports_ = {Port("COM3", "COM3"), Port("COM7", "COM7")};
    for (int i = 0; i < 4; ++i) controller_->RescanPorts();
    scanning.Open();
    ScanShown();
    ScanShown();
    EXPECT_EQ(discoveredOnUiThread_, 0);
    EXPECT_EQ(discoveries_, 2);
    EXPECT_EQ(Ports(), (std::vector<int>{0, 3, 7}));
}

// A port named with "-com" is offered whatever discovery finds, and a discovery that fails says
// why once.
TEST_F(WindowControllerTest, APortOfTheCommandLineStaysOfferedAndAFailedDiscoverySaysWhyOnce) {
    enumError_ = "Port discovery failed: /sys/class/tty: Permission denied";
    Open({Port("COM7", "COM7")}, 7);
    EXPECT_EQ(Ports(), std::vector<int>{7});
    EXPECT_EQ(face_.items[0].text, "COM 7");
    ASSERT_EQ(face_.boxes.size(), 1u);
    EXPECT_EQ(face_.boxes[0].notice, (SNotice{enumError_, ""}));
    EXPECT_EQ(face_.boxes[0].kind, BoxKind::Warning);
    DeviceChanged();
    EXPECT_EQ(face_.boxes.size(), 1u);

    enumError_ = nullptr;
    ports_ = {};
    DeviceChanged();
    EXPECT_EQ(Ports(), std::vector<int>{7});
    EXPECT_EQ(face_.selected, 0);
    EXPECT_TRUE(face_.enabled[WindowControl::Load]);
}

// "-com N" names the port the user means: it is chosen at the start, added as "COM N" where
// discovery did not find it, and Load loads it without another choice.
TEST_F(WindowControllerTest, ThePortOfTheCommandLineIsChosenAndLoaded) {
    struct Row {
        int startPort;
        std::vector<int> ports;
        int selected;
    };
    const Row rows[] = {{7, {1, 3, 7}, 2}, {9, {1, 3, 7, 9}, 3}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.startPort);
        Open({Port("COM1", "COM1"), Port("COM3", "COM3"), Port("COM7", "COM7")}, row.startPort);
        EXPECT_EQ(Ports(), row.ports);
        EXPECT_EQ(face_.selected, row.selected);
        EXPECT_TRUE(face_.enabled[WindowControl::Load]);
        std::atomic<int> loaded{0};
        script_ = [&loaded](SLoaderState& state, LoaderDeps&) { loaded = state.GetComPort(); };
        controller_->OnLoad();
        controller_->WaitForLoadToEnd();
        EXPECT_EQ(loaded, row.startPort);
    }
}

class ALoad;
struct ALoadRow {
    const char* name;
    void (*check)(ALoad&);
};
// gtest prints a row by its name, not its bytes.
void PrintTo(const ALoadRow& row, std::ostream* out) { *out << row.name; }

// A load on COM5 of two ports, held once the receiver answered until the test lets it complete.
class ALoad : public WindowControllerTest, public ::testing::WithParamInterface<ALoadRow> {
public:
    void SetUp() override {
        WindowControllerTest::SetUp();
        Open({Port("COM3", "COM3"), Port("COM5", "USB Serial Port (COM5)")});
        Choose(2);
        script_ = [this](SLoaderState& state, LoaderDeps& deps) {
            portSeen = state.GetComPort();
            state.SetFirmwareText("1.20");
            state.SetFirmwareDetected(true);
            state.SetStatus(STATUS_CONNECTED);
            detected.Open();
            release.Wait();
            CompleteLoad(state, deps);
        };
    }
    void TearDown() override {
        Finish();
        WindowControllerTest::TearDown();
    }
    void Start() {
        controller_->OnLoad();
        detected.Wait();
    }
    void Finish() {
        release.Open();
        controller_->WaitForLoadToEnd();
    }

    Gate detected;
    Gate release;
    std::atomic<int> portSeen{0};
};

// The window locked while a load runs, every way of closing refused with a reason, the list left
// alone, the loader's box shown while the worker waits, the window back afterwards on the same
// port; a row each, so that each fails alone.
const ALoadRow kALoadRows[] = {
    {"IsRefusedOnALowBatteryAndStartsOnMains",
     [](ALoad& t) {
         t.power_.SetBattery({true, true, 9});
         t.controller_->OnLoad();
         EXPECT_FALSE(t.controller_->IsLoadActive());
         ASSERT_EQ(t.face_.boxes.size(), 1u);
         EXPECT_EQ(t.face_.boxes[0].notice, (SNotice{kLowBatteryText, "The battery is at 9 %."}));
         t.power_.SetBattery({true, false, 9});
         t.Start();
         EXPECT_TRUE(t.controller_->IsLoadActive());
     }},
    {"LocksTheWindowWhileItRuns",
     [](ALoad& t) {
         t.Start();
         EXPECT_TRUE(t.controller_->IsLoadActive());
         EXPECT_EQ(t.Shown(), (Screen{"Status: Not Connected", "Progress: N/A", "0%", 0,
                                      "Remaining Time: N/A", false, false, false}));
     }},
    {"KeepsThePcAwakeAndTheSessionFromEndingUntilItEnds",
     [](ALoad& t) {
         t.Start();
         EXPECT_EQ(t.power_.held, 1);
         EXPECT_EQ(t.power_.Why(), kDamageWarning);
         EXPECT_TRUE(t.face_.loadRunning);
         EXPECT_EQ(t.face_.sessionEndHeldFor, kDamageWarning);
         t.Finish();
         EXPECT_EQ(t.power_.held, 0);
         EXPECT_FALSE(t.face_.loadRunning);
     }},
    {"ShowsWhatTheReceiverSaid",
     [](ALoad& t) {
         t.Start();
         t.controller_->OnTimer(WindowTimer::Status);
         EXPECT_EQ(t.face_.texts[WindowControl::Status], "Status: Connected");
         EXPECT_EQ(t.face_.texts[WindowControl::FirmwareOnDevice], "Firmware on Device: 1.20");
     }},
    {"StartsNoSecondLoadWhenLoadIsPressedAgain",
     [](ALoad& t) {
         t.Start();
         t.controller_->OnLoad();
         t.Finish();
         EXPECT_EQ(t.loadsStarted_, 1);
     }},
    {"RefusesEveryCloseWithAReason",
     [](ALoad& t) {
         t.Start();
         EXPECT_FALSE(t.controller_->MayClose());
         EXPECT_FALSE(t.controller_->MayClose());
         t.Finish();
         ASSERT_EQ(t.face_.boxes.size(), 3u);
         EXPECT_EQ(t.face_.boxes[0].notice, (SNotice{kCloseRefusedText, ""}));
         EXPECT_EQ(t.face_.boxes[1].notice, (SNotice{kCloseRefusedText, ""}));
     }},
    {"LeavesThePortListAlone",
     [](ALoad& t) {
         t.Start();
         t.ports_ = {Port("COM1", "COM1")};
         t.controller_->RescanPorts();
         t.PortScanTimer();
         EXPECT_EQ(t.Ports(), (std::vector<int>{0, 3, 5}));
     }},
    {"ShowsTheLoadersBoxWhileTheWorkerWaits",
     [](ALoad& t) {
         t.Start();
         t.Finish();
         ASSERT_FALSE(t.face_.boxes.empty());
         EXPECT_EQ(t.face_.boxes.back().notice, (SNotice{"Load Completed\t", ""}));
         EXPECT_EQ(t.face_.boxes.back().kind, BoxKind::Message);
         EXPECT_TRUE(t.face_.boxes.back().duringLoad);
     }},
    {"GivesTheWindowBackOnTheSamePort",
     [](ALoad& t) {
         t.Start();
         t.Finish();
         EXPECT_EQ(t.portSeen, 5);
         EXPECT_EQ(t.Shown(), (Screen{"Status: Firmware Update Complete", "Progress: 136352/136352",
                                      "100%", 100, "Remaining Time: 0 seconds", true, true, true}));
         EXPECT_EQ(t.face_.selected, 2);
         EXPECT_TRUE(t.controller_->MayClose());
     }},
    // The receiver on the port may be another one by the next load: its figures start blank, the
    // firmware found included.
    {"LeavesTheNextLoadBlankFigures",
     [](ALoad& t) {
         t.Start();
         t.Finish();
         Gate started;
         Gate finish;
         t.script_ = [&](SLoaderState& state, LoaderDeps&) {
             t.portSeen = state.GetComPort();
             started.Open();
             finish.Wait();
         };
         t.portSeen = 0;
         t.controller_->OnLoad();
         started.Wait();
         EXPECT_EQ(t.face_.texts[WindowControl::FirmwareOnDevice], "Firmware on Device: N/A");
         EXPECT_EQ(t.face_.texts[WindowControl::Percent], "0%");
         finish.Open();
         t.controller_->WaitForLoadToEnd();
         EXPECT_EQ(t.loadsStarted_, 2);
         EXPECT_EQ(t.portSeen, 5);
     }},
    {"LeavesItsRecordAsTheWindows",
     [](ALoad& t) {
         t.Start();
         t.Finish();
         const SLoadHistory history = ReadLoadHistory(t.logFile_, 10);
         ASSERT_EQ(history.records.size(), 1u);
         EXPECT_EQ(history.records[0].program, "morvane");
         EXPECT_EQ(history.records[0].port, "COM5");
         EXPECT_EQ(history.records[0].result, "verified");
     }},
};

TEST_P(ALoad, Behaves) { GetParam().check(*this); }

INSTANTIATE_TEST_SUITE_P(WindowController, ALoad, ::testing::ValuesIn(kALoadRows),
                         [](const ::testing::TestParamInfo<ALoadRow>& row) {
                             return std::string(row.param.name);
                         });

// How a load ends, and the one box that follows: none after a complete load (the loader said so
// itself), otherwise what was heard and what to do, pointing at the window's own port list.
TEST_F(WindowControllerTest, AfterALoadOneBoxSaysWhatWasHeardAndWhatToDo) {
    const Screen blank{"", "Progress: N/A", "0%", 0, "Remaining Time: N/A", true, true, true};
    auto ended = [&](const char* status) {
        Screen screen = blank;
        screen.status = status;
        return screen;
    };
    OpenError busy;
    busy.kind = OpenErrorKind::Busy;
    busy.devicePath = "/nonexistent/ttyUSB4";
    busy.osText = "Device or resource busy";
    struct Row {
        const char* what;
        CScriptedLoader::Script script;  // none: the W6 loader on a port another program holds
        Screen screen;
        const char* headline;  // nullptr: no box after the load
        std::vector<const char*> detailSays;
    };
    const Row rows[] = {
        {"nothing heard",
         [](SLoaderState& s, LoaderDeps&) {
             s.SetStatus(STATUS_DETECTING_BAUD);
             s.SetStatus(STATUS_DEVICE_NOT_DETECTED);
         },
         ended("Status: Device Not Detected"),
         "The load did not complete: Device Not Detected.",
         {"Nothing at all came back on COM5", "powered", "(the Com Port list)"}},
        {"the transfer broke off",
         [](SLoaderState& s, LoaderDeps&) {
             s.SetReplySeen(true);
             s.SetTotalBytes(kImage);
             s.SetSentBytes(20000);
             s.SetRemainingSeconds(100);
             s.SetStatus(STATUS_BLOCK_FAILED);
         },
         ended("Status: Firmware Block Failed"),
         "The load did not complete: Firmware Block Failed.",
         {"broke off after 20000 of 136352 bytes", "does not hold a whole image"}},
        {"the loader threw",
         [](SLoaderState& s, LoaderDeps&) {
             s.SetReplySeen(true);
             s.SetStatus(STATUS_WAITING);
             throw std::runtime_error("wait interrupted");
         },
         ended("Status: Waiting.."),
         "The load did not complete: Waiting...",
         {"The receiver answered, but the load ended without sending the whole image"}},
        {"the port would not open",
         nullptr,
         ended("Status: Can't Connect, Invalid COM Port"),
         "Invalid Comport, or Comport in use!",
         {"Cannot open COM5", "the port is in use"}},
        {"complete",
         CompleteLoad,
         {"Status: Firmware Update Complete", "Progress: 136352/136352", "100%", 100,
          "Remaining Time: 0 seconds", true, true, true},
         nullptr,
         {}},
    };
    Open({Port("COM5", "COM5")});
    Choose(1);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        face_.boxes.clear();
        state_.SetReplySeen(false);
        controller_->SetLoaderFactory([&](SLoaderState* state, LoaderDeps deps) {
            if (row.script) {
                return std::unique_ptr<CLoaderW6>(
                    std::make_unique<CScriptedLoader>(state, std::move(deps), row.script));
            }
            deps.device = std::make_unique<testing::ScriptedDevice>(testing::RefusesOpen(busy));
            return std::make_unique<CLoaderW6>(state, std::move(deps));
        });
        controller_->OnLoad();
        controller_->WaitForLoadToEnd();
        EXPECT_EQ(Shown(), row.screen);
        std::vector<Box> afterLoad;
        for (const Box& box : face_.boxes)
            if (box.kind == BoxKind::Warning) afterLoad.push_back(box);
        if (row.headline == nullptr) {
            EXPECT_TRUE(afterLoad.empty());
            continue;
        }
        ASSERT_EQ(face_.boxes.size(), 1u);
        ASSERT_EQ(afterLoad.size(), 1u);
        EXPECT_FALSE(afterLoad[0].duringLoad);
        EXPECT_EQ(afterLoad[0].notice.text, row.headline);
        const std::string& detail = afterLoad[0].notice.detail;
        for (const char* says : row.detailSays)
            EXPECT_NE(detail.find(says), std::string::npos) << says << " in:\n" << detail;
        EXPECT_EQ(detail.find("morvane-cli"), std::string::npos) << detail;
        // Rewrapped for a box: no terminal indent left.
        EXPECT_EQ(detail.find("\n  "), std::string::npos) << detail;
    }

    // A record that cannot be written is said too, even after a load that went well, in the
    // window's words.
    face_.boxes.clear();
    const SLoadLogTarget unwritable{true, logFile_ + "/loads.jsonl"};
    controller_->SetLoadLog(unwritable);
    std::FILE* notAFolder = std::fopen(logFile_.c_str(), "w");
    ASSERT_NE(notAFolder, nullptr);
    std::fclose(notAFolder);
    const std::optional<RecordError> error = AppendLoadRecord(unwritable, SLoadRecord{});
    ASSERT_TRUE(error);
    controller_->OnLoad();
    controller_->WaitForLoadToEnd();
    ASSERT_EQ(face_.boxes.size(), 2u);
    EXPECT_EQ(face_.boxes[1].kind, BoxKind::Warning);
    EXPECT_EQ(face_.boxes[1].notice.text, UnrecordedLoadText(*error));
}

// The window names no other file for the record: it never sends the user to morvane-cli's --log.
TEST(UnrecordedLoadText, NeverNamesACommandLineOption) {
    for (const auto kind :
         {RecordErrorKind::NoFolder, RecordErrorKind::CannotMakeFolder, RecordErrorKind::CannotOpen,
          RecordErrorKind::CannotWrite, RecordErrorKind::PartlyWritten})
        EXPECT_EQ(UnrecordedLoadText({kind, "/srv/loads.jsonl", "Denied"}).find("--"),
                  std::string::npos);
}

// Once "Load Completed" is closed the window waits for the restarted receiver: "Status: Verifying"
// whatever the detection writes, the firmware measured before the load gone, Exit free again.
// Then the firmware the receiver reports, and a box in the verdict's words when it is not the new
// one; a user who leaves meanwhile stops only the look at the receiver.
TEST_F(WindowControllerTest, AfterALoadTheWindowShowsWhatTheRestartedReceiverReports) {
    using RestartPort = CLoaderW6::RestartPort;
    struct Row {
        const char* what;
        CScriptedLoader::AfterRestart receiver;
        bool userLeaves;
        const char* status;  // then; the image's figures stay, and the controls take input again
        const char* firmwareLine;
        const DetectionFacts* boxOf;  // the box says the verdict on these facts; null: no box
        const char* result;           // in the record
    };
    DetectionFacts inBootLoader;
    inBootLoader.answered = true;
    inBootLoader.bootLoader = "2.05";
    DetectionFacts gone;
    gone.port = VerifyPort::Gone;
    const Row rows[] = {
        {"verified",
         [](SLoaderState& s, LoaderDeps&) {
             s.SetFirmwareText(kFirmwareVersion);
             s.SetFirmwareDetected(true);
             s.SetStatus(STATUS_CONNECTED);
             return RestartPort::Stayed;
         },
         false, "Status: Firmware Update Complete", "Firmware on Device: 1.22", nullptr,
         "verified"},
        {"not verified: it stayed in its boot loader",
         [](SLoaderState& s, LoaderDeps&) {
             s.SetLoaderVersion("2.05");
             s.SetLoaderVersionSeen(true);
             s.SetStatus(STATUS_CONNECTED);
             return RestartPort::Stayed;
         },
         false, "Status: Connected", "Firmware on Device: N/A", &inBootLoader, "not-verified"},
        {"the port never came back",
         [](SLoaderState& s, LoaderDeps&) {
             s.SetStatus(STATUS_INVALID_PORT);
             return RestartPort::Gone;
         },
         false, "Status: Can't Connect, Invalid COM Port", "Firmware on Device: N/A", &gone,
         "not-verified"},
        {"the user leaves", nullptr, true, nullptr, nullptr, nullptr, "stopped"},
    };
    Open({Port("COM5", "COM5")});
    Choose(1);
    script_ = [](SLoaderState& s, LoaderDeps& deps) {
        s.SetFirmwareText("1.21");
        s.SetFirmwareDetected(true);
        CompleteLoad(s, deps);
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        face_.boxes.clear();
        std::atomic<bool> verifying{false};
        Gate answer;
        controller_->SetLoaderFactory([&](SLoaderState* state, LoaderDeps deps) {
            auto restarted = [&](SLoaderState& s, LoaderDeps& d) {
                s.SetStatus(STATUS_REBOOTING);
                verifying = true;
                // The session's own wait: leaving the window cuts it short.
                if (row.userLeaves) d.waits->WaitPumping(600000);
                answer.Wait();
                return row.receiver(s, d);
            };
            return std::unique_ptr<CLoaderW6>(
                std::make_unique<CScriptedLoader>(state, std::move(deps), script_, restarted));
        });
        controller_->OnLoad();
        while (!verifying) face_.ServeEvents();
        controller_->OnTimer(WindowTimer::Status);
        EXPECT_EQ(Shown(), (Screen{"Status: Verifying", "Progress: 136352/136352", "100%", 100,
                                   "Remaining Time: 0 seconds", false, true, false}));
        EXPECT_EQ(face_.texts[WindowControl::FirmwareOnDevice], "Firmware on Device: N/A");
        EXPECT_TRUE(controller_->IsLoadActive());
        EXPECT_FALSE(controller_->ImageGoingOut());
        EXPECT_FALSE(face_.loadRunning);
        if (row.userLeaves) {
            EXPECT_TRUE(controller_->MayClose());
            EXPECT_FALSE(controller_->IsLoadActive());
        } else {
            answer.Open();
            controller_->WaitForLoadToEnd();
            EXPECT_EQ(Shown(), (Screen{row.status, "Progress: 136352/136352", "100%", 100,
                                       "Remaining Time: 0 seconds", true, true, true}));
            EXPECT_EQ(face_.texts[WindowControl::FirmwareOnDevice], row.firmwareLine);
        }
        answer.Open();
        EXPECT_EQ(power_.held, 0);
        ASSERT_FALSE(face_.boxes.empty());
        EXPECT_EQ(face_.boxes[0].notice, (SNotice{"Load Completed\t", ""}));
        std::vector<Box> afterLoad(face_.boxes.begin() + 1, face_.boxes.end());
        if (row.boxOf == nullptr) {
            EXPECT_TRUE(afterLoad.empty());
        } else {
            ASSERT_EQ(afterLoad.size(), 1u);
            const std::string verdict = VerifyVerdict(*row.boxOf, "COM5", kFirmwareVersion);
            EXPECT_EQ(afterLoad[0].kind, BoxKind::Warning);
            EXPECT_EQ(verdict.substr(0, verdict.find('\n')), afterLoad[0].notice.text);
            EXPECT_EQ(BoxText(verdict.substr(verdict.find('\n') + 1)), afterLoad[0].notice.detail);
        }
        const SLoadHistory history = ReadLoadHistory(logFile_, 1);
        ASSERT_EQ(history.records.size(), 1u);
        EXPECT_EQ(history.records[0].result, row.result);
    }
}

}  // namespace
}  // namespace morvane
