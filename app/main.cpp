// morvane: the firmware updater's window.
#include <cstdio>
#include <cstring>

#include <QApplication>

#include "app/zentrel_app.h"
#include "res/firmware_image.h"

namespace {
morvane::CZentrelApp theApp;

// The window reads "-com N" and "-verify 0" pairs and ignores the rest; --help and --version are
// answered before any window exists, so they work without a display, in a terminal or a script.
bool AnswerInfoRequest(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("Morvane Firmware Updater %s\nCarries %s firmware %s\n", MORVANE_VERSION,
                        morvane::kModelName, morvane::kFirmwareVersion);
            return true;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf(
                "Usage: morvane [-com N] [-verify 0]\n"
                "Opens the window that updates the firmware of a %s receiver on a serial\n"
                "port with the image this program carries (firmware %s).\n"
                "\n"
                "  -com N      add COM port N to the port list, even when it was not found\n"
                "  -verify 0   after a load, do not wait for the receiver to report the new\n"
                "              firmware (it is asked by default)\n"
                "  --help      print this help, then exit\n"
                "  --version   print the version and the firmware carried, then exit\n"
                "\n"
                "morvane-cli runs the same load from a terminal.\n",
                morvane::kModelName, morvane::kFirmwareVersion);
            return true;
        }
    }
    return false;
}
}  // namespace

int main(int argc, char** argv) {
    if (AnswerInfoRequest(argc, argv)) return 0;
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Morvane"));
    QApplication::setApplicationVersion(QStringLiteral(MORVANE_VERSION));
    // Ties the window to its menu entry, so the desktop shows the entry's name and icon for it.
    QGuiApplication::setDesktopFileName(QStringLiteral("morvane"));
    theApp.InitInstance(argc, argv);
    return 0;
}
