// morvane.exe: the firmware updater's window on Windows.
#include <windows.h>

#include <string>
#include <vector>

#include "app/zentrel_app.h"
#include "platform/arguments_win32.h"
#include "platform/system_library_win32.h"

namespace {
morvane::CZentrelApp theApp;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    morvane::UseSystemLibrariesOnly();
    const std::vector<std::string> arguments = morvane::ArgumentsUtf8();
    std::vector<const char*> argv;
    argv.reserve(arguments.size());
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());
    theApp.InitInstance(static_cast<int>(argv.size()), argv.data());
    return 0;
}
