// Draws the window offscreen and writes the picture to the PNG file named on the command line.
//   window_screenshot OUTPUT.png              half-way through a scripted load (docs/window.png);
//                                             no port is opened
//   window_screenshot --busy-port OUTPUT.png  a real load on a port another program holds: the
//                                             window with the box that says why
//                                             (docs/window-busy-port.png)
#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <QApplication>
#include <QComboBox>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "record/loader_status.h"
#include "tests/app/dialog_fixture.h"

using namespace morvane;
using namespace morvane::testing_app;

namespace {

int MidLoad(const QString& output) {
    SLoaderState state;
    CZentrelDlg dialog(&state);
    dialog.Controller().SetLoadLog({false, {}});
    dialog.Controller().SetPortDiscovery([](CArray<SSerInfo, SSerInfo&>& list) {
        list = {Port("COM1", "Communications Port (COM1)"), Port("COM5", "USB Serial Port (COM5)")};
    });
    Gate release;
    dialog.Controller().SetLoaderFactory(
        [&release](SLoaderState* s, LoaderDeps deps) -> std::unique_ptr<CLoaderW6> {
            return std::make_unique<CScriptedLoader>(
                s, std::move(deps), [&release](SLoaderState&, LoaderDeps&) { release.Wait(); });
        });
    dialog.OnInitDialog();
    dialog.show();
    static_cast<QComboBox*>(dialog.GetDlgItem(IDC_COMPORT))->setCurrentIndex(2);
    static_cast<QPushButton*>(dialog.GetDlgItem(IDC_LOAD))->click();

    // What a W6 load has shown by the time half the image is out: the firmware found while the
    // rate was detected, then the transfer's progress.
    state.SetFirmwareText("1.20");
    state.SetFirmwareDetected(true);
    state.SetStatus(STATUS_DETECTING_FIRMWARE);
    dialog.Controller().RefreshStatus();
    state.SetFirmwareDetected(false);
    state.SetStatus(STATUS_UPDATING_FIRMWARE);
    state.SetTotalBytes(136352);
    state.SetSentBytes(68200);
    state.SetRemainingSeconds(63);
    dialog.Controller().RefreshStatus();
    QTest::qWait(50);  // let the window paint once

    const bool saved = dialog.grab().save(output, "PNG");
    release.Open();
    const bool ended =
        QTest::qWaitFor([&dialog] { return !dialog.Controller().IsLoadActive(); }, 10000);
    return saved && ended ? 0 : 1;
}

// COM5 is a pseudo-terminal that the flock program holds locked, as a terminal program would;
// the window's real load finds it busy.
int BusyPort(const QString& output) {
    int master = -1;
    int slave = -1;
    char name[128] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return 1;
    close(slave);
    std::string devices = (std::filesystem::temp_directory_path() / "morvane-shot-XXXXXX").string();
    if (mkdtemp(devices.data()) == nullptr) return 1;
    std::filesystem::create_symlink(name, devices + "/com5");
    setenv("MORVANE_DEVICES", devices.c_str(), 1);

    const pid_t holder = fork();
    if (holder == 0) {
        execlp("flock", "flock", "--nonblock", name, "sleep", "60", static_cast<char*>(nullptr));
        _exit(127);
    }
    QTest::qWait(500);  // until the lock is taken

    SLoaderState state;
    CZentrelDlg dialog(&state);
    dialog.Controller().SetLoadLog({false, {}});
    bool saved = false;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) return;
        look.stop();
        QTest::qWait(50);
        // The window with the box over its lower half, so the status line shows beside it.
        QPixmap picture = dialog.grab();
        const QPixmap boxPicture = box->grab();
        const int x = (picture.width() - boxPicture.width()) / 2;
        const int y = picture.height() - boxPicture.height() - 12;
        QPainter painter(&picture);
        painter.drawPixmap(x, y, boxPicture);
        painter.setPen(Qt::darkGray);
        painter.drawRect(x, y, boxPicture.width() - 1, boxPicture.height() - 1);
        painter.end();
        saved = picture.save(output, "PNG");
        std::fputs(box->informativeText().toLocal8Bit().constData(), stdout);
        box->accept();
    });
    dialog.OnInitDialog();
    dialog.show();
    auto* portList = static_cast<QComboBox*>(dialog.GetDlgItem(IDC_COMPORT));
    portList->setCurrentIndex(portList->findData(5));
    look.start(50);
    static_cast<QPushButton*>(dialog.GetDlgItem(IDC_LOAD))->click();
    const bool shown = QTest::qWaitFor([&] { return saved; }, 20000);
    dialog.Controller().WaitForLoadToEnd();

    kill(holder, SIGTERM);
    waitpid(holder, nullptr, 0);
    close(master);
    std::filesystem::remove_all(devices);
    return shown ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const bool busy = argc == 3 && std::strcmp(argv[1], "--busy-port") == 0;
    if (argc != 2 && !busy) {
        std::fprintf(stderr, "usage: %s [--busy-port] OUTPUT.png\n", argv[0]);
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    const QString output = QString::fromLocal8Bit(argv[argc - 1]);
    const int result = busy ? BusyPort(output) : MidLoad(output);
    if (result != 0) {
        std::fprintf(stderr, "could not write %s\n", argv[argc - 1]);
        return 1;
    }
    std::printf("%s\n", argv[argc - 1]);
    return 0;
}
