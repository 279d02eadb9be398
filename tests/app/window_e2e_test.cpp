// Real time: the window program's whole run against the simulated receiver on a pseudo-terminal.
// A timer plays the user: it picks the port named with "-com", presses Load, answers the
// loader's message box and presses Exit once the window is idle again.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/zentrel_app.h"
#include "app/zentrel_dlg.h"
#include "loader/firmware_image.h"
#include "sim/sha256.h"

extern char** environ;

namespace morvane {
namespace {

constexpr int kComPort = 203;

// morvane-sim as a child, linked as COM kComPort in a devices folder of its own.
class SimReceiver {
public:
    explicit SimReceiver(std::vector<std::string> options) {
        char pattern[] = "/tmp/morvane-window-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return;
        dir_ = pattern;
        setenv("MORVANE_DEVICES", (dir_ + "/devices").c_str(), 1);
        std::vector<std::string> args = {MORVANE_SIM_PATH, "--com", std::to_string(kComPort), "--report",
                                         ReportPath()};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);

        int out[2];
        if (pipe(out) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        const bool spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) == 0;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        // The first line is the device's path: from then on the receiver listens.
        std::string path;
        char c = 0;
        while (spawned && read(out[0], &c, 1) == 1 && c != '\n') path += c;
        close(out[0]);
        if (!spawned) pid_ = -1;
        ready_ =
            !path.empty() && std::filesystem::is_symlink(dir_ + "/devices/com" + std::to_string(kComPort));
    }
    ~SimReceiver() {
        Stop();
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }
    SimReceiver(const SimReceiver&) = delete;
    SimReceiver& operator=(const SimReceiver&) = delete;

    [[nodiscard]] bool Ready() const { return ready_; }
    std::string ReportPath() const { return dir_ + "/report.json"; }
    // Ends the receiver if it has not ended by itself; its exit status.
    int Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
            pid_ = -1;
            exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return exitStatus_;
    }
    std::string Report() const {
        std::ifstream in(ReportPath(), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

private:
    std::string dir_;
    pid_t pid_ = -1;
    bool ready_ = false;
    int exitStatus_ = -1;
};

std::string JsonValue(const std::string& json, const std::string& key) {
    std::smatch match;
    const std::regex pattern("\"" + key + "\"\\s*:\\s*\"?([^\",}]*)");
    return std::regex_search(json, match, pattern) ? match[1].str() : std::string("<missing>");
}

// What the user does and what the user saw.
struct User {
    enum class Step { PickPort, Loading, Done } step = Step::PickPort;
    std::vector<QString> boxes;
    std::vector<QString> percents;  // the percentages shown during the load, in order
    QString finalStatus;
    QString finalPercent;
    bool gaveUp = false;

    void Act(SimReceiver& sim, std::chrono::steady_clock::time_point deadline) {
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
            case Step::PickPort: {
                const int index = dialog->m_cbComPort->findData(kComPort);
                if (index < 0) return;
                dialog->m_cbComPort->setCurrentIndex(index);
                dialog->m_btnLoad->click();
                step = Step::Loading;
                break;
            }
            case Step::Loading:
                if (percents.empty() || percents.back() != dialog->m_stPercent->text())
                    percents.push_back(dialog->m_stPercent->text());
                if (dialog->IsLoadActive()) {
                    // A load that never ends is stopped by taking its receiver away.
                    if (std::chrono::steady_clock::now() > deadline && !gaveUp) {
                        gaveUp = true;
                        sim.Stop();
                    }
                    return;
                }
                finalStatus = dialog->m_stStatus->text();
                finalPercent = dialog->m_stPercent->text();
                step = Step::Done;
                dialog->m_btnExit->click();
                break;
            case Step::Done:
                break;
        }
    }
};

TEST(WindowE2E, LoadsTheImageIntoTheSimulatedReceiver) {
    SimReceiver sim({"--rate", "19200", "--exit-after-transfer"});
    ASSERT_TRUE(sim.Ready());

    User user;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(6);
    QTimer hands;
    QObject::connect(&hands, &QTimer::timeout, [&] { user.Act(sim, deadline); });
    hands.start(50);

    const std::string port = std::to_string(kComPort);
    const char* argv[] = {"/opt/Morvane Updater/morvane", "-com", port.c_str()};
    CZentrelApp app;
    EXPECT_FALSE(app.InitInstance(3, argv));
    hands.stop();

    EXPECT_FALSE(user.gaveUp);
    EXPECT_EQ(user.step, User::Step::Done);
    EXPECT_EQ(user.boxes, std::vector<QString>{"Load Completed\t"});
    EXPECT_EQ(user.finalStatus, "Status: Firmware Update Complete");
    EXPECT_EQ(user.finalPercent, "100%");
    EXPECT_GT(user.percents.size(), 3u) << "the percentage should move during the transfer";

    EXPECT_EQ(sim.Stop(), 0);
    const std::string report = sim.Report();
    EXPECT_EQ(JsonValue(report, "complete"), "true");
    EXPECT_EQ(JsonValue(report, "sha256"), Sha256Hex(EmbeddedFirmwareImage()));
    EXPECT_EQ(JsonValue(report, "image_matches"), "true");
}

}  // namespace
}  // namespace morvane
