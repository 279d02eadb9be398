// Windows' wide calls take and give UTF-16 as wchar_t; every text of the program is UTF-8. The
// wide calls show "Serielles USB-Gerät" and open "C:\Users\José" on every Windows version,
// where the ANSI ones depend on the machine's code page.
#pragma once

#include <string>
#include <string_view>

#include "platform/text.h"

namespace morvane {

[[nodiscard]] inline std::wstring WideFromUtf8(std::string_view text) {
    const std::u16string wide = Utf16FromUtf8(text);
    return {wide.begin(), wide.end()};
}

[[nodiscard]] inline std::string Utf8FromWide(std::wstring_view text) {
    return Utf8FromUtf16(std::u16string(text.begin(), text.end()));
}

}  // namespace morvane
