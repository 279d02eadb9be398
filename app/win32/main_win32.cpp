// morvane.exe: the firmware updater's window on Windows.
#include <windows.h>

#include "app/zentrel_app.h"

namespace {
morvane::CZentrelApp theApp;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    theApp.InitInstance(__argc, __argv);
    return 0;
}
