// Draws the window half-way through a load, offscreen, and writes the picture to the PNG file
// named on the command line (the README's picture is docs/window.png). The load is scripted:
// no port is opened.
#include <cstdio>
#include <cstdlib>

#include <QApplication>
#include <QComboBox>
#include <QPixmap>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "record/loader_status.h"
#include "tests/app/dialog_fixture.h"

using namespace morvane;
using namespace morvane::testing_app;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);

    SLoaderState state;
    CZentrelDlg dialog(&state);
    dialog.SetPortEnumerator([](CArray<SSerInfo, SSerInfo&>& list) {
        list = {Port("COM1", "Communications Port (COM1)"), Port("COM5", "USB Serial Port (COM5)")};
    });
    Gate release;
    dialog.SetLoaderFactory(
        [&release](SLoaderState* s, LoaderDeps deps) -> std::unique_ptr<CLoader> {
            return std::make_unique<CScriptedLoader>(
                s, std::move(deps), [&release](SLoaderState&, LoaderDeps&) { release.Wait(); });
        });
    dialog.OnInitDialog();
    dialog.show();
    dialog.m_nTimer->stop();
    dialog.m_cbComPort->setCurrentIndex(2);
    dialog.m_btnLoad->click();

    // What a W6 load has shown by the time half the image is out: the firmware found while the
    // rate was detected, then the transfer's progress.
    state.SetFirmwareText("1.20");
    state.SetFirmwareDetected(true);
    state.SetStatus(STATUS_DETECTING_FIRMWARE);
    dialog.RefreshStatus();
    state.SetFirmwareDetected(false);
    state.SetStatus(STATUS_UPDATING_FIRMWARE);
    state.SetTotalBytes(136352);
    state.SetSentBytes(68200);
    state.SetRemainingSeconds(63);
    dialog.RefreshStatus();
    QTest::qWait(50);  // let the window paint once

    const bool saved = dialog.grab().save(QString::fromLocal8Bit(argv[1]), "PNG");
    release.Open();
    const bool ended = QTest::qWaitFor([&dialog] { return !dialog.IsLoadActive(); }, 10000);
    if (!saved || !ended) {
        std::fprintf(stderr, "could not write %s\n", argv[1]);
        return 1;
    }
    std::printf("%s\n", argv[1]);
    return 0;
}
