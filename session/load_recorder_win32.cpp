#include <windows.h>

#include <string>

#include "platform/wide_text_win32.h"
#include "session/load_recorder.h"

namespace morvane {

// The name people know the PC by: the host name of its DNS name, not the NetBIOS name, which
// Windows cuts to 15 characters.
std::string HostName() {
    DWORD size = 0;
    (void)::GetComputerNameExW(ComputerNameDnsHostname, nullptr, &size);
    if (size == 0) return {};
    std::wstring name(size, L'\0');
    if (!::GetComputerNameExW(ComputerNameDnsHostname, name.data(), &size)) return {};
    name.resize(size);
    return Utf8FromWide(name);
}

}  // namespace morvane
