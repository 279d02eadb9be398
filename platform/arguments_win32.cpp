#include "platform/arguments_win32.h"

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include "platform/wide_text_win32.h"

namespace morvane {

std::vector<std::string> ArgumentsUtf8() {
    std::vector<std::string> arguments;
    int count = 0;
    LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide == nullptr) return arguments;
    for (int i = 0; i < count; ++i) arguments.push_back(Utf8FromWide(wide[i]));
    ::LocalFree(wide);
    return arguments;
}

}  // namespace morvane
