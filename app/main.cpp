// morvane: the firmware updater's window.
#include <QApplication>

#include "app/zentrel_app.h"

namespace {
morvane::CZentrelApp theApp;
}

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Morvane"));
    QApplication::setApplicationVersion(QStringLiteral(MORVANE_VERSION));
    theApp.InitInstance(argc, argv);
    return 0;
}
