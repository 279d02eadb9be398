// Real time: the window program's whole run against the simulated receiver on a pseudo-terminal.
// A timer plays the user: once the window is open it plugs the receiver in (a new link in the
// MORVANE_DEVICES folder, as a USB adapter appears), waits for the port list to offer it, picks
// it, presses Load, answers the loader's message box, watches the window verify the restarted
// receiver, answers the box after it if one comes, and presses Exit once the window is idle.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "app/resource.h"
#include "app/zentrel_app.h"
#include "app/zentrel_dlg.h"
#include "platform/sha256.h"
#include "res/firmware_image.h"
#include "session/load_outcome.h"
#include "session/load_record_file.h"
#include "tests/support/sim_process.h"
#include "view/status_view.h"

namespace morvane {
namespace {

using testing::JsonValue;
using testing::SimProcess;

QComboBox* PortListOf(const CZentrelDlg* dialog) {
    return static_cast<QComboBox*>(dialog->GetDlgItem(IDC_COMPORT));
}
QPushButton* ButtonOf(const CZentrelDlg* dialog, int id) {
    return static_cast<QPushButton*>(dialog->GetDlgItem(id));
}
QLabel* LabelOf(const CZentrelDlg* dialog, int id) {
    return static_cast<QLabel*>(dialog->GetDlgItem(id));
}

// What the user does and what the user saw.
struct User {
    enum class Step { PlugIn, PickPort, Loading, Done } step = Step::PlugIn;
    std::function<void()> plugIn;
    bool listedBeforePlugging = false;
    std::vector<QString> boxes;
    std::vector<QString> percents;  // the percentages shown during the load, in order
    std::vector<QString> statuses;  // the status lines shown during the load, in order
    QString finalStatus;
    QString finalPercent;
    QString finalFirmware;
    int comPort = 0;
    bool gaveUp = false;

    void Act(const std::function<void()>& stopSim, std::chrono::steady_clock::time_point deadline) {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            boxes.push_back(box->text());
            box->accept();
            return;
        }
        CZentrelDlg* dialog = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* d = qobject_cast<CZentrelDlg*>(w); d != nullptr && d->isVisible()) dialog = d;
        }
        if (dialog == nullptr) return;
        switch (step) {
            case Step::PlugIn:
                listedBeforePlugging = PortListOf(dialog)->findData(comPort) >= 0;
                plugIn();
                step = Step::PickPort;
                break;
            case Step::PickPort: {
                const int index = PortListOf(dialog)->findData(comPort);
                if (index < 0) return;
                PortListOf(dialog)->setCurrentIndex(index);
                ButtonOf(dialog, IDC_LOAD)->click();
                step = Step::Loading;
                break;
            }
            case Step::Loading:
                if (percents.empty() || percents.back() != LabelOf(dialog, IDC_PERCENT)->text())
                    percents.push_back(LabelOf(dialog, IDC_PERCENT)->text());
                if (statuses.empty() || statuses.back() != LabelOf(dialog, IDC_STATUS)->text())
                    statuses.push_back(LabelOf(dialog, IDC_STATUS)->text());
                if (dialog->Controller().IsLoadActive()) {
                    // A load that never ends is stopped by taking its receiver away.
                    if (std::chrono::steady_clock::now() > deadline && !gaveUp) {
                        gaveUp = true;
                        stopSim();
                    }
                    return;
                }
                finalStatus = LabelOf(dialog, IDC_STATUS)->text();
                finalPercent = LabelOf(dialog, IDC_PERCENT)->text();
                finalFirmware = LabelOf(dialog, IDC_FIRMWARE_ON_DEVICE)->text();
                step = Step::Done;
                ButtonOf(dialog, IDC_EXIT)->click();
                break;
            case Step::Done: break;
        }
    }
};

// One load through the window program into a receiver plugged in as COM `comPort`, the
// simulator run with `simOptions`: what the user saw, and the record the load left.
struct SWindowRun {
    User user;
    std::unique_ptr<SimProcess> sim;
    SLoadHistory history;
    std::string folder;
};

void RunWindowLoad(SWindowRun& run, int comPort, const std::vector<std::string>& simOptions) {
    // The window starts on a devices folder without the receiver's port.
    run.folder = (std::filesystem::temp_directory_path() / "morvane-window-XXXXXX").string();
    ASSERT_NE(mkdtemp(run.folder.data()), nullptr);
    const std::string& folder = run.folder;
    setenv("MORVANE_DEVICES", folder.c_str(), 1);
    // The record of loads goes to the test's folder, not the user's.
    setenv("XDG_STATE_HOME", (folder + "/state").c_str(), 1);

    User& user = run.user;
    user.comPort = comPort;
    user.plugIn = [&] {
        run.sim = std::make_unique<SimProcess>(MORVANE_SIM_PATH, comPort, simOptions);
        // The simulator links itself in a folder of its own; the window's folder gets the new
        // port now, while the window is open.
        setenv("MORVANE_DEVICES", folder.c_str(), 1);
        std::filesystem::create_symlink(run.sim->DevicePath(),
                                        folder + "/com" + std::to_string(comPort));
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(6);
    QTimer hands;
    QObject::connect(&hands, &QTimer::timeout,
                     [&] { user.Act([&] { run.sim->Stop(); }, deadline); });
    hands.start(50);

    const char* argv[] = {"/opt/Morvane Updater/morvane"};
    CZentrelApp app;
    EXPECT_FALSE(app.InitInstance(1, argv));
    hands.stop();

    ASSERT_TRUE(run.sim && run.sim->Ready());
    EXPECT_FALSE(user.listedBeforePlugging);
    EXPECT_FALSE(user.gaveUp);
    EXPECT_EQ(user.step, User::Step::Done);
    EXPECT_EQ(user.finalPercent, "100%");
    EXPECT_GT(user.percents.size(), 3u) << "the percentage should move during the transfer";
    // The status line waits for the receiver once the image is out, and then tells how it is.
    ASSERT_GE(user.statuses.size(), 2u);
    EXPECT_EQ(user.statuses[user.statuses.size() - 2], "Status: Verifying");
    EXPECT_EQ(user.statuses.back(), user.finalStatus);
    run.history = ReadLoadHistory(folder + "/state/morvane/loads.jsonl", 5);
    ASSERT_EQ(run.history.records.size(), 1u);
    EXPECT_EQ(run.history.records[0].program, "morvane");
    EXPECT_EQ(run.history.records[0].port, "COM" + std::to_string(comPort));
}

TEST(WindowE2E, LoadsTheImageIntoAReceiverPluggedInWhileTheWindowIsOpen) {
    constexpr int kComPort = 203;
    SWindowRun run;
    RunWindowLoad(run, kComPort, {"--rate", "19200"});
    if (HasFatalFailure()) return;
    const User& user = run.user;
    EXPECT_EQ(user.boxes, std::vector<QString>{"Load Completed\t"});
    EXPECT_EQ(user.finalStatus, "Status: Firmware Update Complete");
    EXPECT_EQ(user.finalFirmware, QString::fromStdString(FirmwareOnDeviceText(kFirmwareVersion)));

    EXPECT_EQ(run.sim->Stop(), 0);
    const std::string report = run.sim->Report();
    EXPECT_EQ(JsonValue(report, "complete"), "true");
    EXPECT_EQ(JsonValue(report, "sha256"), Sha256Hex(EmbeddedFirmwareImage()));
    EXPECT_EQ(JsonValue(report, "image_matches"), "true");
    EXPECT_EQ(run.history.records[0].result, "verified");
    EXPECT_EQ(run.history.records[0].firmwareAfter, kFirmwareVersion);
    // morvane-cli's history table shows the window's load as it shows its own.
    std::string table;
    if (FILE* cli = popen(MORVANE_CLI_PATH " --history 5", "r")) {
        char chunk[256];
        while (fgets(chunk, sizeof chunk, cli) != nullptr) table += chunk;
        EXPECT_EQ(pclose(cli), 0) << table;
    }
    EXPECT_NE(table.find("COM" + std::to_string(kComPort)), std::string::npos) << table;
    EXPECT_NE(table.find("verified"), std::string::npos) << table;
    std::error_code ec;
    std::filesystem::remove_all(run.folder, ec);
}

// A digit of the image altered on the line: the receiver stays in its boot loader, and the
// window says so in a box instead of reading as a good load.
TEST(WindowE2E, AReceiverThatDidNotTakeTheImageEndsWithTheNotVerifiedBox) {
    SWindowRun run;
    RunWindowLoad(run, 204, {"--rate", "19200", "--corrupt-after-bytes", "50000"});
    if (HasFatalFailure()) return;
    DetectionFacts inBootLoader;
    inBootLoader.answered = true;
    inBootLoader.bootLoader = "2.05";
    const std::string verdict = VerifyVerdict(inBootLoader, "COM204", kFirmwareVersion);
    EXPECT_EQ(run.user.boxes,
              (std::vector<QString>{"Load Completed\t", QString::fromStdString(verdict.substr(
                                                            0, verdict.find('\n')))}));
    EXPECT_EQ(run.user.finalFirmware, "Firmware on Device: N/A");
    EXPECT_EQ(run.history.records[0].result, "not-verified");
    run.sim->Stop();
    std::error_code ec;
    std::filesystem::remove_all(run.folder, ec);
}

}  // namespace
}  // namespace morvane
