// What Windows says about an error code, as the programs pass every text on: in UTF-8. The
// system's ANSI texts are in the machine's code page (1252, 1251, ...), which the console and
// JSON output would show as other letters than "Gerät".
#pragma once

#include <windows.h>

#include <string>

namespace morvane {

// The system's message for `error` in `language` (0: the user's), without its closing period
// and line end; "system error N" when the system has none.
[[nodiscard]] std::string SystemErrorText(DWORD error, LANGID language = 0);

}  // namespace morvane
