#include <windows.h>

#include <string>

#include "platform/wide_text_win32.h"
#include "session/load_recorder.h"

namespace morvane {

std::string HostName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(name, &size)) return {};
    return Utf8FromWide(std::wstring_view(name, size));
}

}  // namespace morvane
